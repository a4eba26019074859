// Report assembly, signature, local-address mask, name-server choice and the
// packet dump, read back with libbson, sha1sum and the file system.
#include <arpa/inet.h>
#include <bson/bson.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bson.hpp"
#include "vesk_bson.hpp"
#include "vesk_config.hpp"
#include "vesk_core.hpp"
#include "vesk_docker_core.hpp"
#include "vesk_networking.hpp"
#include "vesk_sign.hpp"

namespace {

using bytes = std::vector<uint8_t>;

void reset()
{
    init_config();
    memset(&stats, 0, sizeof stats);
}

struct element {
    std::string path;
    bson_type_t type;
    std::string text; // strings, bools and numbers as text
    bool operator==(const element &) const = default;
};

void walk(bson_iter_t *it, const std::string &prefix, std::vector<element> &out)
{
    while (bson_iter_next(it)) {
        element e{prefix + bson_iter_key(it), bson_iter_type(it), ""};
        switch (e.type) {
        case BSON_TYPE_UTF8: e.text = bson_iter_utf8(it, nullptr); break;
        case BSON_TYPE_INT32: e.text = std::to_string(bson_iter_int32(it)); break;
        case BSON_TYPE_INT64: e.text = std::to_string(bson_iter_int64(it)); break;
        case BSON_TYPE_BOOL: e.text = bson_iter_bool(it) ? "true" : "false"; break;
        case BSON_TYPE_DOUBLE: e.text = std::to_string(bson_iter_double(it)); break;
        default: break;
        }
        out.push_back(e);
        if (e.type == BSON_TYPE_DOCUMENT || e.type == BSON_TYPE_ARRAY) {
            bson_iter_t child;
            ASSERT_TRUE(bson_iter_recurse(it, &child));
            walk(&child, e.path + ".", out);
        }
    }
}

// The report as libbson reads it; "time" is checked and blanked.
std::vector<element> report(unsigned long local = 0)
{
    uint8_t *res = nullptr;
    uint32_t len = 0;
    time_t before = time(nullptr);
    EXPECT_EQ(stats_to_bson(&res, &len, local), 0);
    time_t after = time(nullptr);
    std::vector<element> out;
    if (!res) return out;
    bson_t doc;
    EXPECT_TRUE(bson_init_static(&doc, res, len));
    EXPECT_TRUE(bson_validate(&doc, BSON_VALIDATE_UTF8, nullptr));
    bson_iter_t it;
    bson_iter_init(&it, &doc);
    walk(&it, "", out);
    free(res);
    for (auto &e : out)
        if (e.path == "time") {
            EXPECT_GE(std::stol(e.text), before);
            EXPECT_LE(std::stol(e.text), after);
            e.text = "T";
        }
    return out;
}

const std::vector<element> kArrays = {
    {"memcaches", BSON_TYPE_ARRAY, ""}, {"beanstalks", BSON_TYPE_ARRAY, ""}, {"custom", BSON_TYPE_ARRAY, ""},
    {"mycustoms", BSON_TYPE_ARRAY, ""}, {"mysqls", BSON_TYPE_ARRAY, ""},     {"redises", BSON_TYPE_ARRAY, ""},
};

std::vector<element> with_arrays(std::vector<element> head)
{
    head.insert(head.end(), kArrays.begin(), kArrays.end());
    return head;
}

TEST(ReportAssembly, HeaderForEachIdentity)
{
    reset();
    config.id = 4242;
    vesk_copy(config.name, "web-01");
    config.interval = 15;
    config.server_type = 2;
    config.auto_delete = 1;
    config.auto_delete_min = 30;
    stats.custom_errors = 3;
    EXPECT_EQ(report(0x7f000001UL), with_arrays({
                                        {"id", BSON_TYPE_INT32, "4242"},
                                        {"type", BSON_TYPE_UTF8, "k8s-cluster"},
                                        {"auto_delete", BSON_TYPE_BOOL, "true"},
                                        {"auto_delete_min", BSON_TYPE_INT32, "30"},
                                        {"local_ip", BSON_TYPE_INT64, "2130706433"},
                                        {"name", BSON_TYPE_UTF8, "web-01"},
                                        {"time", BSON_TYPE_INT32, "T"},
                                        {"interval", BSON_TYPE_INT32, "15"},
                                        {"version", BSON_TYPE_UTF8, "1.2.7"},
                                        {"custom_errors", BSON_TYPE_INT32, "3"},
                                    }));

    reset();
    vesk_copy(config.uuid, "0d9f3a1c-5b2e-4c8d-9a7f-112233445566");
    vesk_copy(config.server_name, "web-02");
    vesk_copy(config.project_name, "shop");
    vesk_copy(config.project_secret, "s3cr3t");
    // A setting with a stray byte still makes a report.
    vesk_copy(config.name, "caf\xe9");
    config.interval = 60;
    EXPECT_EQ(report(0), with_arrays({
                             {"uuid", BSON_TYPE_UTF8, "0d9f3a1c-5b2e-4c8d-9a7f-112233445566"},
                             {"server_name", BSON_TYPE_UTF8, "web-02"},
                             {"project_name", BSON_TYPE_UTF8, "shop"},
                             {"project_secret", BSON_TYPE_UTF8, "s3cr3t"},
                             {"name", BSON_TYPE_UTF8, "caf\xef\xbf\xbd"},
                             {"time", BSON_TYPE_INT32, "T"},
                             {"interval", BSON_TYPE_INT32, "60"},
                             {"version", BSON_TYPE_UTF8, "1.2.7"},
                             {"custom_errors", BSON_TYPE_INT32, "0"},
                         }));
}

// Counters that write one named document each, so the order can be read back.
int named_tobson(void *cnt, bson *b)
{
    auto *c = static_cast<vesk_mycustom_counter *>(cnt);
    vesk_bson_append_start_object(b, c->report);
    vesk_bson_append_int(b, "v", 1);
    return vesk_bson_append_finish_object(b);
}

int multi_tobson(void *cnt, bson *b)
{
    auto *c = static_cast<vesk_mymulticustom_counter *>(cnt);
    vesk_bson_append_start_object(b, c->report);
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
    reset();
    config.id = 1;
    vesk_copy(config.name, "h");
    stats.ncore_counters = 2;
    add(stats.core_counters, 0, "os_key", core_tobson);
    add(stats.core_counters, 1, "mem_key", core_tobson);
    stats.ncustom_counters = 3;
    add(stats.custom_counters, 0, "c0", named_tobson);
    add(stats.custom_counters, 1, "skipped", nullptr);
    add(stats.custom_counters, 2, "c2", named_tobson);
    stats.nmulticustom_counters = 1;
    vesk_copy(stats.multicustom_counters[0].report, "m0");
    stats.multicustom_counters[0].tobson = multi_tobson;
    stats.nmycustoms = 1;
    add(stats.mycustom_counters, 0, "nginx_1", named_tobson);
    stats.nredis_counters = 1;
    add(stats.redis_counters, 0, "redis_1", named_tobson);

    static vesk_docker_t table;
    memset(&table, 0, sizeof table);
    table.count = 2;
    vesk_copy(table.containers[0].name, "web");
    table.containers[0].cpu_usage = 12.5;
    table.containers[0].state = VESK_DOCKER_CONT_STATE_RUNNING;
    vesk_copy(table.containers[1].name, "db");
    table.containers[1].cpu_usage = 0.0;
    table.containers[1].state = VESK_DOCKER_CONT_STATE_EXITED;
    config.docker = &table;

    std::vector<element> got = report();
    std::vector<std::string> paths;
    for (const auto &e : got)
        if (e.path.find('.') != std::string::npos || e.type == BSON_TYPE_ARRAY || e.path.ends_with("_key") ||
            e.path == "docker")
            paths.push_back(e.path + (e.text.empty() ? "" : "=" + e.text));
    EXPECT_EQ(paths, (std::vector<std::string>{
                         "os_key=0", "mem_key=0", "memcaches", "beanstalks", "custom", "custom.c0", "custom.c0.v=1",
                         "custom.c2", "custom.c2.v=1", "custom.m0", "mycustoms", "mycustoms.nginx_1",
                         "mycustoms.nginx_1.v=1", "mysqls", "redises", "redises.redis_1", "redises.redis_1.v=1",
                         "docker", "docker.web", "docker.web.cpu_usage=12.500000", "docker.web.state=running",
                         "docker.db", "docker.db.cpu_usage=0.000000", "docker.db.state=exited"}));
    EXPECT_EQ(got[got.size() - 1].type, BSON_TYPE_UTF8);
    EXPECT_EQ(got[got.size() - 2].type, BSON_TYPE_DOUBLE);

    // A table that claims more records than it holds is read only as far as it goes.
    table.count = 150;
    for (int i = 0; i < VESK_DOCKER_MAX_CONTAINERS; i++)
        vesk_copy(table.containers[i].name, "c" + std::to_string(i));
    int containers = 0;
    for (const auto &e : report())
        if (e.path.starts_with("docker.") && e.type == BSON_TYPE_DOCUMENT) containers++;
    EXPECT_EQ(containers, VESK_DOCKER_MAX_CONTAINERS);

    table.count = 0;
    for (const auto &e : report()) EXPECT_NE(e.path, "docker") << "empty table: no docker object";
    config.docker = nullptr;
}

TEST(ReportAssembly, RefusedDocumentIsNotHandedOut)
{
    reset();
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
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
    EXPECT_NE(out.find("report not sent"), std::string::npos) << out;
}

std::string sha1sum_of(const bytes &data)
{
    char tmpl[] = "/tmp/report_test.XXXXXX";
    int fd = mkstemp(tmpl);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    close(fd);
    FILE *p = popen((std::string("sha1sum ") + tmpl).c_str(), "r");
    char buf[128] = "";
    EXPECT_NE(fgets(buf, sizeof buf, p), nullptr);
    pclose(p);
    unlink(tmpl);
    return std::string(buf, 40);
}

TEST(Signature, PacketIsReportPlusHexSha1OfReportAndSecret)
{
    reset();
    const bytes doc = {0x0c, 0, 0, 0, 0x10, 'a', 0, 1, 0, 0, 0, 0};
    for (const char *secret : {"", "1234567", "ffffffffsecret"}) {
        vesk_copy(config.secret, secret);
        uint8_t *packet = nullptr;
        uint32_t len = 0;
        ASSERT_EQ(sign(const_cast<uint8_t *>(doc.data()), static_cast<int>(doc.size()), &packet, &len), 0);
        bytes got(packet, packet + len);
        free(packet);
        if (!*secret) {
            EXPECT_EQ(got, doc) << "no secret: the packet is the document";
            continue;
        }
        ASSERT_EQ(got.size(), doc.size() + 40) << secret;
        EXPECT_EQ(bytes(got.begin(), got.begin() + 12), doc);
        bytes keyed = doc;
        keyed.insert(keyed.end(), secret, secret + strlen(secret));
        EXPECT_EQ(std::string(got.begin() + 12, got.end()), sha1sum_of(keyed)) << secret;
    }
}

TEST(LocalAddressMask, SecretsAndOddCharacters)
{
    struct {
        const char *key;
        unsigned long raw;
        unsigned long want;
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
    for (const auto &c : cases) {
        unsigned long got = encrypt_long(c.raw, c.key);
        EXPECT_EQ(got, c.want) << (c.key ? c.key : "null");
        if (c.want) {
            EXPECT_EQ(static_cast<uint32_t>(got ^ encrypt_long(0, c.key)), c.raw);
        }
    }
}

TEST(NameServers, WhichListIsAsked)
{
    char configured[2][256] = {"127.0.0.2", "127.0.0.3"};
    const std::string builtin = VESK_BUILTIN_COLLECTOR_DOMAIN;
    struct {
        std::string name;
        int configured_count;
        bool want_builtin;
        int want_count;
    } cases[] = {
        {builtin, 0, true, 4},
        {"eu." + builtin, 0, true, 4},
        {"eu." + builtin, 2, false, 2},
        {"collector.example.net", 2, false, 2},
        {"collector.example.net", 0, false, 0},
        {builtin.substr(1), 0, false, 0},
        {builtin + ".evil", 0, false, 0},
    };
    for (const auto &c : cases) {
        vesk_name_servers ns = choose_name_servers(c.name.c_str(), configured, c.configured_count);
        EXPECT_EQ(ns.count, c.want_count) << c.name;
        EXPECT_EQ(ns.list == dns_servers_hard, c.want_builtin) << c.name;
    }
    for (const auto &server : dns_servers_hard) {
        in_addr a;
        EXPECT_EQ(inet_pton(AF_INET, server, &a), 1) << server;
    }
}

bytes read_all(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

TEST(PacketDump, PrivateAndNeverThroughALink)
{
    char tmpl[] = "/tmp/report_test.XXXXXX";
    std::string dir = mkdtemp(tmpl);
    const bytes packet = {5, 0, 0, 0, 0, 'a', 'b'};
    const bytes other = {'k', 'e', 'e', 'p'};
    auto put = [](const std::string &path, const bytes &b, mode_t mode) {
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(b.data()), b.size());
        chmod(path.c_str(), mode);
    };
    auto mode_of = [](const std::string &path) {
        struct stat st;
        stat(path.c_str(), &st);
        return st.st_mode & 07777;
    };

    std::string fresh = dir + "/fresh";
    EXPECT_EQ(vesk_write_dump(fresh.c_str(), packet.data(), packet.size()), 0);
    EXPECT_EQ(read_all(fresh), packet);
    EXPECT_EQ(mode_of(fresh), 0600u);

    std::string old = dir + "/old";
    put(old, bytes(100, 'x'), 0644);
    EXPECT_EQ(vesk_write_dump(old.c_str(), packet.data(), packet.size()), 0);
    EXPECT_EQ(read_all(old), packet) << "a longer previous packet is cut";
    EXPECT_EQ(mode_of(old), 0600u);

    std::string target = dir + "/target", link = dir + "/link";
    put(target, other, 0644);
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    EXPECT_EQ(vesk_write_dump(link.c_str(), packet.data(), packet.size()), -1);
    EXPECT_EQ(read_all(target), other);

    std::string hard = dir + "/hard";
    ASSERT_EQ(::link(target.c_str(), hard.c_str()), 0);
    EXPECT_EQ(vesk_write_dump(hard.c_str(), packet.data(), packet.size()), -1);
    EXPECT_EQ(read_all(target), other);

    if (geteuid() == 0) {
        std::string foreign = dir + "/foreign";
        put(foreign, other, 0666);
        ASSERT_EQ(chown(foreign.c_str(), 65534, 65534), 0);
        EXPECT_EQ(vesk_write_dump(foreign.c_str(), packet.data(), packet.size()), -1);
        EXPECT_EQ(read_all(foreign), other);
    }
    std::string cmd = "rm -rf " + dir;
    EXPECT_EQ(system(cmd.c_str()), 0);
}

} // namespace
