#include <sys/wait.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "customs_support.hpp"
#include "vesk_customs_core.hpp"
#include "vesk_shm.hpp"

// The segment's mode and size, and its removal at the stop, are checked on the real
// agent (customs_test.sh).
namespace {

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
        config.shm_key = 4242;
    }
    void TearDown() override
    {
        clear_shm();
        for (int i = 0; i < stats.ncustom_counters; i++) custom_free(&stats.custom_counters[i]);
    }
    static void add_custom(const std::string &c)
    {
        mycustom_set(&stats.custom_counters[stats.ncustom_counters++], c.c_str(), kCustom);
    }
    static void add_multi(const std::string &c)
    {
        mymulticustom_set(&stats.multicustom_counters[stats.nmulticustom_counters++], c.c_str(), kMulti);
    }
    static void init()
    {
        for (int i = 0; i < stats.ncustom_counters; i++) custom_init(&stats.custom_counters[i]);
        for (int i = 0; i < stats.nmulticustom_counters; i++) multicustom_init(&stats.multicustom_counters[i]);
    }
    // The element names of the "custom" array the parent would report now.
    static std::vector<std::string> reported()
    {
        return custom_names([](bson *b) {
            for (int i = 0; i < stats.ncustom_counters; i++) custom_tobson(&stats.custom_counters[i], b);
            for (int i = 0; i < stats.nmulticustom_counters; i++) multicustom_tobson(&stats.multicustom_counters[i], b);
        });
    }
};

// One cycle of the customs child in a process of its own: only the segment carries
// its results back.
void child_cycle(uint64_t iteration)
{
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        customs_cycle(iteration);
        fflush(nullptr);
        _exit(0);
    }
    int status = -1;
    waitpid(pid, &status, 0);
    EXPECT_EQ(status, 0);
}

TEST_F(CustomsCore, EachResultReachesOneReport)
{
    REQUIRE_ROOT();
    add_custom(" a one interval=4 uid=0 gid=0 echo 1");
    add_custom(" b two interval=1 uid=0 gid=0 echo 2; echo warn >&2");
    add_multi(" m interval=1 uid=0 gid=0 printf 'x 3\\n'");
    init();
    // Cycle 0 writes only multicustom slots; the period-4 counter waits for cycle 4.
    const std::vector<std::vector<std::string>> want = {
        {"m_x"}, {"b_two", "m_x"}, {"b_two", "m_x"}, {"b_two", "m_x"}, {"a_one", "b_two", "m_x"}};
    testing::internal::CaptureStderr();
    for (size_t it = 0; it < want.size(); it++) {
        child_cycle(it);
        customs_read_back();
        EXPECT_EQ(reported(), want[it]) << "cycle " << it;
        EXPECT_EQ(countCustomErrors(&stats), it == 0 ? 0 : 1) << "cycle " << it;
    }
    testing::internal::GetCapturedStderr();
    // Read again without a new run: nothing new to report.
    customs_read_back();
    EXPECT_EQ(reported(), std::vector<std::string>{});
}

TEST_F(CustomsCore, ReadBackDistrustsTheSegment)
{
    add_custom(" c one x");
    add_multi(" m x");
    init();
    int id = vesk_shm_create(config.shm_key, customs_segment_size());
    ASSERT_GE(id, 0);
    shm_attachment seg = vesk_shm_attach(id);
    ASSERT_TRUE(seg);
    // Every text unterminated and not UTF-8, every count out of range.
    memset(seg.get(), 0xC3, customs_segment_size());
    auto *rec = static_cast<vesk_mycustom_data_custom *>(seg.get());
    rec->agent_alerts_count = 1000;
    auto *mc = reinterpret_cast<vesk_multicustom_shared_data *>(rec + 1);
    mc->count = 65535;
    mc->updated = 1;
    for (auto &v : mc->counters) v.agent_alerts_count = 77;
    customs_read_back();

    auto *d = static_cast<vesk_mycustom_data_custom *>(stats.custom_counters[0].data_delta);
    EXPECT_EQ(d->agent_alerts_count, 10);
    EXPECT_EQ(d->errors, 1);
    // The report takes every text (custom_names checks them), and both results are consumed.
    EXPECT_EQ(reported().size(), 1u + 512u);
    EXPECT_EQ(rec->mustBeUpdated, 0);
    EXPECT_EQ(mc->updated, 0);
}

TEST_F(CustomsCore, QuickCountersRunFirst)
{
    REQUIRE_ROOT();
    temp_dir dir;
    std::string log = (dir.path() / "order").string();
    add_custom(" s slow interval=1 uid=0 gid=0 sleep 0.3; echo slow >> " + log + "; echo 1");
    add_custom(" f fast interval=1 uid=0 gid=0 echo fast >> " + log + "; echo 1");
    ASSERT_EQ(initCustomsCounters(0), 0);
    customs_cycle(0); // slot order
    customs_cycle(1); // measured order
    freeCustomsCounters();
    std::ifstream f(log);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(f), {}), "slow\nfast\nfast\nslow\n");
}

} // namespace
