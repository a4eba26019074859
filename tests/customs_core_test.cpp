#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/wait.h>

#include <cstring>
#include <string>
#include <vector>

#include "customs_support.hpp"
#include "encoding.hpp"
#include "vesk_customs_core.hpp"
#include "vesk_shm.hpp"

namespace {

constexpr key_t kKey = 4242;

const mycustom_ops kCustom{.init = custom_init, .update = custom_update, .delta = custom_delta,
                           .tobson = custom_tobson, .dump = custom_dump, .free = custom_free};
const mycustom_ops kMulti{.init = multicustom_init, .update = multicustom_update, .delta = multicustom_delta,
                          .tobson = multicustom_tobson, .dump = multicustom_dump, .free = multicustom_free};

class CustomsCore : public testing::Test {
protected:
    void SetUp() override
    {
        if (!vesk_test_private_ipc) GTEST_SKIP() << "needs an IPC namespace of its own: root";
        reset_agent_state();
        config.shm_key = kKey;
    }
    void TearDown() override
    {
        clear_shm();
        for (int i = 0; i < stats.ncustom_counters; i++) custom_free(&stats.custom_counters[i]);
    }

    static void add_custom(const char *cfg) { mycustom_set(&stats.custom_counters[stats.ncustom_counters++], cfg, kCustom); }
    static void add_multi(const char *cfg)
    {
        mymulticustom_set(&stats.multicustom_counters[stats.nmulticustom_counters++], cfg, kMulti);
    }
    // The parent's init of the script counters.
    static void init_parent()
    {
        for (int i = 0; i < stats.ncustom_counters; i++) custom_init(&stats.custom_counters[i]);
        for (int i = 0; i < stats.nmulticustom_counters; i++) multicustom_init(&stats.multicustom_counters[i]);
    }
    // The element names of the "custom" array the parent would report now.
    static std::vector<std::string> reported()
    {
        auto doc = custom_document([](bson *b) {
            for (int i = 0; i < stats.ncustom_counters; i++) custom_tobson(&stats.custom_counters[i], b);
            for (int i = 0; i < stats.nmulticustom_counters; i++)
                multicustom_tobson(&stats.multicustom_counters[i], b);
        });
        std::vector<std::string> names;
        for (auto &e : custom_elements(doc)) names.push_back(e.first);
        return names;
    }
};

// A customs child in a process of its own, one cycle per request.
struct child_process {
    int go[2], done[2];
    pid_t pid;

    child_process()
    {
        if (pipe(go) != 0 || pipe(done) != 0) abort();
        fflush(nullptr);
        pid = fork();
        if (pid == 0) {
            if (initCustomsCounters(0) != 0) _exit(2);
            char op;
            for (uint64_t it = 0; read(go[0], &op, 1) == 1; it++) {
                if (op == 'c') customs_cycle(it);
                if (op == 's') clear_shm();
                fflush(nullptr);
                if (write(done[1], &op, 1) != 1) break;
                if (op == 's') break;
            }
            freeCustomsCounters();
            _exit(0);
        }
        close(go[0]);
        close(done[1]);
    }
    void request(char op)
    {
        char back = 0;
        ASSERT_EQ(write(go[1], &op, 1), 1);
        ASSERT_EQ(read(done[0], &back, 1), 1);
    }
    int finish()
    {
        close(go[1]);
        close(done[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        return status;
    }
};

TEST_F(CustomsCore, EachResultReachesOneReport)
{
    REQUIRE_ROOT();
    add_custom(" a one interval=4 uid=0 gid=0 echo 1");
    add_custom(" b two interval=1 uid=0 gid=0 echo 2; echo warn >&2");
    add_multi(" m interval=1 uid=0 gid=0 printf 'x 3\\n'");
    child_process child;
    init_parent();

    // Cycle 0 writes only multicustom slots; the period-4 counter waits for cycle 4.
    const std::vector<std::vector<std::string>> want = {
        {"m_x"}, {"b_two", "m_x"}, {"b_two", "m_x"}, {"b_two", "m_x"}, {"a_one", "b_two", "m_x"}};
    testing::internal::CaptureStderr();
    for (size_t it = 0; it < want.size(); it++) {
        SCOPED_TRACE("cycle " + std::to_string(it));
        child.request('c');
        customs_read_back();
        EXPECT_EQ(reported(), want[it]);
        EXPECT_EQ(countCustomErrors(&stats), it == 0 ? 0 : 1);
        if (it == 0) {
            int id = shmget(kKey, 0, 0);
            ASSERT_GE(id, 0);
            struct shmid_ds ds {};
            ASSERT_EQ(shmctl(id, IPC_STAT, &ds), 0);
            EXPECT_EQ(ds.shm_segsz, 2 * 2640u + 1470472u);
            EXPECT_EQ(ds.shm_perm.mode & 0777, 0600u);
        }
    }
    testing::internal::GetCapturedStderr();
    // Read again without a new run: nothing new to report.
    customs_read_back();
    EXPECT_EQ(reported(), std::vector<std::string>{});

    child.request('s');
    EXPECT_LT(shmget(kKey, 0, 0), 0);
    EXPECT_EQ(child.finish(), 0);
}

TEST_F(CustomsCore, ReadBackDistrustsTheSegment)
{
    add_custom(" c one x");
    add_multi(" m x");
    init_parent();
    int id = vesk_shm_create(kKey, customs_segment_size());
    ASSERT_GE(id, 0);
    {
        shm_attachment seg = vesk_shm_attach(id);
        ASSERT_TRUE(seg);
        // Every text unterminated and not UTF-8, every count out of range.
        memset(seg.get(), 0xC3, customs_segment_size());
        auto *rec = static_cast<vesk_mycustom_data_custom *>(seg.get());
        rec->value = 1;
        rec->agent_alerts_count = 1000;
        auto *mc = reinterpret_cast<vesk_multicustom_shared_data *>(static_cast<char *>(seg.get()) + 2640);
        mc->count = 65535;
        mc->updated = 1;
        for (auto &v : mc->counters) {
            v.value = 2;
            v.agent_alerts_count = 77;
        }
    }
    customs_read_back();

    auto *d = static_cast<vesk_mycustom_data_custom *>(stats.custom_counters[0].data_delta);
    EXPECT_EQ(d->agent_alerts_count, 10);
    EXPECT_EQ(d->errors, 1);
    for (auto &a : d->agent_alerts) EXPECT_TRUE(vesk_utf8_valid(a.text, strnlen(a.text, sizeof a.text - 1)));
    EXPECT_EQ(stats.multicustom_counters[0].mc_count, 512u);
    auto names = reported();
    EXPECT_EQ(names.size(), 1u + 512u); // and the document is valid: checked while decoding

    // Both results are marked consumed in the segment.
    shm_attachment seg = vesk_shm_attach(id);
    ASSERT_TRUE(seg);
    EXPECT_EQ(static_cast<vesk_mycustom_data_custom *>(seg.get())->mustBeUpdated, 0);
    EXPECT_EQ(reinterpret_cast<vesk_multicustom_shared_data *>(static_cast<char *>(seg.get()) + 2640)->updated, 0);
}

TEST_F(CustomsCore, QuickCountersRunFirst)
{
    REQUIRE_ROOT();
    temp_dir dir;
    std::string log = (dir.path() / "order").string();
    std::string slow = " s slow interval=1 uid=0 gid=0 sleep 0.3; echo slow >> " + log + "; echo 1";
    std::string fast = " f fast interval=1 uid=0 gid=0 echo fast >> " + log + "; echo 1";
    add_custom(slow.c_str());
    add_custom(fast.c_str());
    ASSERT_EQ(initCustomsCounters(0), 0);
    customs_cycle(0); // slot order
    customs_cycle(1); // measured order
    freeCustomsCounters();
    EXPECT_EQ(read_file(log), "slow\nfast\nfast\nslow\n");
}

} // namespace
