// Report assembly, local-address mask, name-server choice and the packet dump,
// read back with libbson and the file system.
#include <arpa/inet.h>
#include <bson/bson.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bson.hpp"
#include "encoding.hpp"
#include "test_support.hpp"
#include "vesk_bson.hpp"
#include "vesk_docker_core.hpp"
#include "vesk_networking.hpp"

namespace {

using lines = std::vector<std::string>;

// One "path type value" line per element, depth first.
void walk(bson_iter_t *it, const std::string &prefix, lines &out)
{
    while (bson_iter_next(it)) {
        std::string path = prefix + bson_iter_key(it), value;
        const char *type = "other";
        switch (bson_iter_type(it)) {
        case BSON_TYPE_UTF8: type = "string", value = bson_iter_utf8(it, nullptr); break;
        case BSON_TYPE_INT32: type = "int32", value = std::to_string(bson_iter_int32(it)); break;
        case BSON_TYPE_INT64: type = "int64", value = std::to_string(bson_iter_int64(it)); break;
        case BSON_TYPE_BOOL: type = "bool", value = bson_iter_bool(it) ? "true" : "false"; break;
        case BSON_TYPE_DOUBLE: type = "double", value = std::to_string(bson_iter_double(it)); break;
        case BSON_TYPE_DOCUMENT: type = "document"; break;
        case BSON_TYPE_ARRAY: type = "array"; break;
        default: break;
        }
        out.push_back(path + " " + type + (value.empty() ? "" : " " + value));
        bson_iter_t child;
        if (bson_iter_recurse(it, &child)) walk(&child, path + ".", out);
    }
}

// The report as libbson reads it; "time" is checked and its value blanked.
lines report(unsigned long local = 0)
{
    uint8_t *res = nullptr;
    uint32_t len = 0;
    time_t before = time(nullptr);
    EXPECT_EQ(stats_to_bson(&res, &len, local), 0);
    time_t after = time(nullptr);
    lines out;
    bson_t doc;
    if (!res || !bson_init_static(&doc, res, len)) return {"no document"};
    EXPECT_TRUE(bson_validate(&doc, BSON_VALIDATE_UTF8, nullptr));
    bson_iter_t it;
    bson_iter_init(&it, &doc);
    walk(&it, "", out);
    free(res);
    for (auto &l : out)
        if (l.starts_with("time int32 ")) {
            long t = std::stol(l.substr(11));
            EXPECT_TRUE(t >= before && t <= after) << t;
            l = "time int32 T";
        }
    return out;
}

lines with_empty_arrays(lines head)
{
    for (const char *a : {"memcaches", "beanstalks", "custom", "mycustoms", "mysqls", "redises"})
        head.push_back(std::string(a) + " array");
    return head;
}

TEST(ReportAssembly, HeaderForEachIdentity)
{
    reset_agent_state();
    config.id = 4242;
    vesk_copy(config.name, "web-01");
    config.interval = 15;
    config.server_type = 2;
    config.auto_delete = 1;
    config.auto_delete_min = 30;
    stats.custom_errors = 3;
    EXPECT_EQ(report(0x7f000001UL),
              with_empty_arrays({"id int32 4242", "type string k8s-cluster", "auto_delete bool true",
                                 "auto_delete_min int32 30", "local_ip int64 2130706433", "name string web-01",
                                 "time int32 T", "interval int32 15", "version string 1.2.7", "custom_errors int32 3"}));

    reset_agent_state();
    vesk_copy(config.uuid, "0d9f3a1c-5b2e-4c8d-9a7f-112233445566");
    vesk_copy(config.server_name, "web-02");
    vesk_copy(config.project_name, "shop");
    vesk_copy(config.project_secret, "s3cr3t");
    // A setting with a stray byte still makes a report.
    vesk_copy(config.name, "caf\xe9");
    config.interval = 60;
    EXPECT_EQ(report(0), with_empty_arrays({"uuid string 0d9f3a1c-5b2e-4c8d-9a7f-112233445566",
                                            "server_name string web-02", "project_name string shop",
                                            "project_secret string s3cr3t", "name string caf\xef\xbf\xbd",
                                            "time int32 T", "interval int32 60", "version string 1.2.7",
                                            "custom_errors int32 0"}));
}

// Counters that write one named document each, so the order can be read back.
template <typename Counter = vesk_mycustom_counter>
int named_tobson(void *cnt, bson *b)
{
    vesk_bson_append_start_object(b, static_cast<Counter *>(cnt)->report);
    return vesk_bson_append_finish_object(b);
}

int core_tobson(void *cnt, bson *b)
{
    return vesk_bson_append_int(b, static_cast<vesk_mycustom_counter *>(cnt)->report, 0);
}

int bad_tobson(void *, bson *b) { return vesk_bson_append_string(b, "s", "\xc0\x80"); }

void add(vesk_mycustom_counter *group, int slot, const char *name, mycustom_tobson op)
{
    vesk_copy(group[slot].report, name);
    group[slot].tobson = op;
}

TEST(ReportAssembly, GroupsInOrderAndDockerTable)
{
    reset_agent_state();
    config.id = 1;
    stats.ncore_counters = 2;
    add(stats.core_counters, 0, "os_key", core_tobson);
    add(stats.core_counters, 1, "mem_key", core_tobson);
    stats.ncustom_counters = 3;
    add(stats.custom_counters, 0, "c0", named_tobson<>);
    add(stats.custom_counters, 1, "skipped", nullptr);
    add(stats.custom_counters, 2, "c2", named_tobson<>);
    stats.nmulticustom_counters = 1;
    vesk_copy(stats.multicustom_counters[0].report, "m0");
    stats.multicustom_counters[0].tobson = named_tobson<vesk_mymulticustom_counter>;
    stats.nmycustoms = 1;
    add(stats.mycustom_counters, 0, "nginx_1", named_tobson<>);
    stats.nredis_counters = 1;
    add(stats.redis_counters, 0, "redis_1", named_tobson<>);

    static vesk_docker_t table;
    memset(&table, 0, sizeof table);
    table.count = 2;
    // A container name with a stray byte must not cost the report.
    vesk_copy(table.containers[0].name, "web\xff");
    table.containers[0].cpu_usage = 12.5;
    table.containers[0].state = VESK_DOCKER_CONT_STATE_RUNNING;
    vesk_copy(table.containers[1].name, "db");
    table.containers[1].state = VESK_DOCKER_CONT_STATE_EXITED;
    config.docker = &table;

    lines got = report();
    auto first = std::find(got.begin(), got.end(), "custom_errors int32 0") + 1;
    EXPECT_EQ(lines(first, got.end()),
              (lines{"os_key int32 0", "mem_key int32 0", "memcaches array", "beanstalks array", "custom array",
                     "custom.c0 document", "custom.c2 document", "custom.m0 document", "mycustoms array",
                     "mycustoms.nginx_1 document", "mysqls array", "redises array", "redises.redis_1 document",
                     "docker document", "docker.web\xef\xbf\xbd document",
                     "docker.web\xef\xbf\xbd.cpu_usage double 12.500000",
                     "docker.web\xef\xbf\xbd.state string running", "docker.db document",
                     "docker.db.cpu_usage double 0.000000", "docker.db.state string exited"}));

    // A table that claims more records than it holds is read only as far as it goes.
    table.count = 150;
    got = report();
    EXPECT_EQ(std::count_if(got.begin(), got.end(), [](auto &l) { return l.find(".cpu_usage double") != std::string::npos; }),
              VESK_DOCKER_MAX_CONTAINERS);
    table.count = 0;
    got = report();
    EXPECT_EQ(got.back(), "redises.redis_1 document") << "empty table: no docker object";
    config.docker = nullptr;
}

TEST(ReportAssembly, RefusedDocumentIsNotHandedOut)
{
    reset_agent_state();
    config.id = 1;
    stats.nmycustoms = 1;
    add(stats.mycustom_counters, 0, "x", bad_tobson);
    uint8_t *res = reinterpret_cast<uint8_t *>(1);
    uint32_t len = 7;
    testing::internal::CaptureStdout();
    EXPECT_EQ(stats_to_bson(&res, &len, 0), -1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(res, nullptr);
    EXPECT_EQ(len, 0u);
    EXPECT_TRUE(out.starts_with("report not sent") && std::count(out.begin(), out.end(), '\n') == 1) << out;
}

// A report with the parts report_fit may cut and parts around them; the elements
// named in `without` are not written.
std::vector<uint8_t> fit_report(const std::vector<std::string> &without)
{
    auto kept = [&](const std::string &n) { return std::find(without.begin(), without.end(), n) == without.end(); };
    bson b;
    vesk_bson_init(&b);
    vesk_bson_append_int(&b, "id", 7);
    vesk_bson_append_start_object(&b, "mounts");
    for (auto [name, path] : {std::pair{"m0", "/"}, {"m1", "/srv/a-long-mount-point"}, {"m2", "/x"}}) {
        if (!kept(name)) continue;
        vesk_bson_append_start_object(&b, name);
        vesk_bson_append_string(&b, "name", path);
        vesk_bson_append_long(&b, "free", 1);
        vesk_bson_append_finish_object(&b);
    }
    vesk_bson_append_finish_object(&b);
    vesk_bson_append_start_object(&b, "disks");
    vesk_bson_append_finish_object(&b);
    vesk_bson_append_start_array(&b, "custom");
    // c1 and c2 are equally large, c3 smaller, c0 smallest.
    for (auto [name, pad] : {std::pair{"c0", 10}, {"c1", 100}, {"c2", 100}, {"c3", 50}}) {
        if (!kept(name)) continue;
        vesk_bson_append_start_object(&b, name);
        vesk_bson_append_string(&b, "name", std::string(static_cast<size_t>(pad), 'v').c_str());
        vesk_bson_append_double(&b, "value", 1.5);
        vesk_bson_append_finish_object(&b);
    }
    vesk_bson_append_finish_array(&b);
    vesk_bson_append_start_array(&b, "mycustoms");
    vesk_bson_append_start_object(&b, "p");
    vesk_bson_append_int(&b, "x", 1);
    vesk_bson_append_finish_object(&b);
    vesk_bson_append_finish_array(&b);
    vesk_bson_finish(&b);
    std::vector<uint8_t> out(vesk_bson_data(&b), vesk_bson_data(&b) + vesk_bson_size(&b));
    vesk_bson_destroy(&b);
    return out;
}

TEST(ReportFit, LargestCustomsFirstThenTheLastMounts)
{
    const std::vector<uint8_t> full = fit_report({});
    const auto full_len = static_cast<uint32_t>(full.size());
    struct {
        std::vector<std::string> without; // what must go, so the limit is the size of the rest
        int custom, mounts;
    } cases[] = {
        {{}, 0, 0},
        {{"c2"}, 1, 0},                    // of two equal, the later
        {{"c1", "c2", "c3"}, 3, 0},        // the smallest stays
        {{"c0", "c1", "c2", "c3", "m2"}, 4, 1},
        {{"c0", "c1", "c2", "c3", "m1", "m2"}, 4, 2},
    };
    for (const auto &c : cases) {
        std::vector<uint8_t> want = fit_report(c.without);
        std::vector<uint8_t> doc = full;
        uint32_t len = full_len;
        vesk_report_cut cut = report_fit(doc.data(), &len, static_cast<uint32_t>(want.size()));
        doc.resize(len);
        EXPECT_EQ(doc, want) << "without " << testing::PrintToString(c.without);
        EXPECT_EQ(cut.custom, c.custom);
        EXPECT_EQ(cut.mounts, c.mounts);
    }

    // One byte too many for the rest costs one more object.
    std::vector<uint8_t> doc = full;
    uint32_t len = full_len;
    vesk_report_cut cut = report_fit(doc.data(), &len, static_cast<uint32_t>(fit_report({"c2"}).size()) - 1);
    doc.resize(len);
    EXPECT_EQ(doc, fit_report({"c1", "c2"}));
    EXPECT_EQ(cut.custom, 2);

    // Out of reach: everything the two parts hold goes, the rest stays a document.
    doc = full;
    len = full_len;
    cut = report_fit(doc.data(), &len, 0);
    doc.resize(len);
    EXPECT_EQ(doc, fit_report({"c0", "c1", "c2", "c3", "m0", "m1", "m2"}));
    EXPECT_EQ(cut.custom, 4);
    EXPECT_EQ(cut.mounts, 3);
    bson_t check;
    ASSERT_TRUE(bson_init_static(&check, doc.data(), len));
    EXPECT_TRUE(bson_validate(&check, BSON_VALIDATE_NONE, nullptr));
}

TEST(LocalAddressMask, SecretsAndOddCharacters)
{
    const struct {
        const char *key;
        unsigned long raw, want;
    } cases[] = {
        {nullptr, 0x7f000001, 0},
        {"1234567", 0x7f000001, 0},
        {"12345678", 0x7f000001, 0x7f000001 ^ 0x12345678UL},
        {"ABCDEF01rest", 0, 0xabcdef01UL | 0xffffffff00000000UL},
        // A first byte of 0x80 or more sets the upper 32 bits; the low ones still
        // give back the address.
        {"ffffffff", 0x7f000001, 0xffffffff80fffffeUL},
        {"80000000", 0x0a000001, 0xffffffff8a000001UL},
        // Reading stops at the first pair that is not two hex digits.
        {"12zz5678", 0x7f000001, 0x7f000001 ^ 0x12000000UL},
        {" 1234567", 0x7f000001, 0x7f000001},
        {"1g345678", 0x7f000001, 0x7f000001},
    };
    for (const auto &c : cases) EXPECT_EQ(encrypt_long(c.raw, c.key), c.want) << (c.key ? c.key : "null");
}

TEST(NameServers, WhichListIsAsked)
{
    char configured[2][256] = {"127.0.0.2", "127.0.0.3"};
    const std::string builtin = VESK_BUILTIN_COLLECTOR_DOMAIN;
    const struct {
        std::string name;
        int configured_count, want_count;
        bool want_builtin;
    } cases[] = {
        {builtin, 0, 4, true},
        {"eu." + builtin, 0, 4, true},
        {"eu." + builtin, 2, 2, false},
        {"collector.example.net", 2, 2, false},
        {"collector.example.net", 0, 0, false},
        {builtin.substr(1), 0, 0, false},
        {builtin + ".evil", 0, 0, false},
    };
    for (const auto &c : cases) {
        vesk_name_servers ns = choose_name_servers(c.name.c_str(), configured, c.configured_count);
        EXPECT_EQ(ns.count, c.want_count) << c.name;
        EXPECT_EQ(ns.list == dns_servers_hard, c.want_builtin) << c.name;
    }
    in_addr a;
    for (const auto &server : dns_servers_hard) EXPECT_EQ(inet_pton(AF_INET, server, &a), 1) << server;
}

TEST(PacketDump, PrivateAndNeverThroughALink)
{
    temp_dir dir;
    const std::string packet("\5\0\0\0\0ab", 7), other = "keep";
    auto dump = [&](const std::string &path) {
        return vesk_write_dump(path.c_str(), reinterpret_cast<const uint8_t *>(packet.data()), packet.size());
    };
    auto text = [](const std::string &path) {
        std::ifstream f(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    };
    auto mode = [](const std::string &path) {
        struct stat st{};
        stat(path.c_str(), &st);
        return st.st_mode & 07777;
    };

    std::string fresh = dir.path() / "fresh", old = dir.write("old", std::string(100, 'x'));
    chmod(old.c_str(), 0644);
    for (const auto &path : {fresh, old}) {
        EXPECT_EQ(dump(path), 0) << path;
        EXPECT_EQ(text(path), packet) << path << ": a longer previous packet is cut";
        EXPECT_EQ(mode(path), 0600u) << path;
    }

    // Never through a symbolic or a second hard link, never into someone else's file.
    std::string link = dir.path() / "link", hard = dir.path() / "hard";
    ASSERT_EQ(symlink(dir.write("target", other).c_str(), link.c_str()), 0);
    ASSERT_EQ(::link(dir.write("twin", other).c_str(), hard.c_str()), 0);
    std::vector<std::string> refused{link, hard};
    if (geteuid() == 0) {
        refused.push_back(dir.write("foreign", other));
        ASSERT_EQ(chown(refused.back().c_str(), 65534, 65534), 0);
    }
    for (const auto &path : refused) {
        EXPECT_EQ(dump(path), -1) << path;
        EXPECT_EQ(text(path), other) << path;
    }
}

} // namespace
