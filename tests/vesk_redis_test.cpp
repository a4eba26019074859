// The Redis counter on captured Redis 7.0 answers: the INFO bulk string whole, cut
// and in pieces, error answers and counts past 32 bits.
#include <gtest/gtest.h>

#include "canned_server.hpp"
#include "counter_support.hpp"
#include "vesk_redis.hpp"

namespace {

const mycustom_ops kOps{.init = redis_init, .update = redis_update, .delta = redis_delta,
                        .tobson = redis_tobson, .dump = redis_dump, .free = redis_free};

// The fields the report carries, as one text.
std::string fields(const redis_info &i)
{
    char out[512];
    snprintf(out, sizeof out, "%s link=%u slaves=%u left=%u up=%u clients=%u conns=%lu cmds=%lu hits=%lu misses=%lu "
             "expired=%lu evicted=%lu bgsave=%u mem=%lu keys=%u",
             i.replica_role.c_str(), i.master_link_status, i.connected_slaves, i.master_sync_left_bytes, i.uptime,
             i.connected_clients, i.total_connections_received, i.total_commands_processed, i.keyspace_hits,
             i.keyspace_misses, i.expired_keys, i.evicted_keys, i.rdb_last_bgsave_status, i.used_memory, i.num_of_keys);
    return out;
}

redis_info before()
{
    redis_info i;
    i.replica_role = "old";
    i.num_of_keys = 99;
    i.uptime = 77;
    return i;
}

std::string bulk(const std::string &body) { return "$" + std::to_string(body.size()) + "\r\n" + body + "\r\n"; }

std::string captured(const std::string &role)
{
    return test_support::fixture_text("services/redis-7.0-info-" + role + ".txt");
}

} // namespace

TEST(RedisParse, InfoLinesOverWhatCameBefore)
{
    const std::string master = captured("master"), replica = captured("replica");
    struct {
        std::string reply;
        const char *want; // null: the update fails
    } cases[] = {
        {master, "master link=0 slaves=1 left=0 up=6 clients=1 conns=6 cmds=13 hits=1 misses=1 expired=0 evicted=0 "
                 "bgsave=1 mem=1085176 keys=2"},
        {replica, "slave link=1 slaves=0 left=0 up=7 clients=2 conns=1 cmds=3 hits=0 misses=0 expired=0 evicted=0 "
                  "bgsave=1 mem=989520 keys=2"},
        // Cut by the cap inside the keyspace section: "db0:keys=" keeps its value.
        {master.substr(0, master.find("db0:keys=") + 10),
         "master link=0 slaves=1 left=0 up=6 clients=1 conns=6 cmds=13 hits=1 misses=1 expired=0 evicted=0 "
         "bgsave=1 mem=1085176 keys=99"},
        // Busy servers pass 2^32; the other numbers keep their low 32 bits.
        {bulk("total_commands_processed:123456789012\r\nkeyspace_hits:4294967296\r\nmaster_sync_left_bytes:-1\r\n"
              "uptime_in_seconds:4294967297\r\nrole:slave\r\nmaster_link_status:down\r\nrdb_last_bgsave_status:err\r\n"
              "used_memory_human:1M\r\nused_memory:18446744073709551615\r\nunknown_field:5\r\ndb0:keys=3,expires=1\r\n"),
         "slave link=0 slaves=0 left=4294967295 up=1 clients=0 conns=0 cmds=123456789012 hits=4294967296 misses=0 "
         "expired=0 evicted=0 bgsave=0 mem=18446744073709551615 keys=3"},
        {"-NOAUTH Authentication required.\r\n", nullptr},
        {"+OK\r\n", nullptr},
        {"$abc\r\nrole:master\r\n", nullptr},
        {"", nullptr},
    };
    for (const auto &c : cases) {
        std::optional<redis_info> got = parse_redis_info(c.reply, before());
        if (!c.want) {
            EXPECT_FALSE(got) << c.reply;
            continue;
        }
        ASSERT_TRUE(got) << c.reply;
        EXPECT_EQ(fields(*got), c.want);
    }
    EXPECT_FALSE(redis_reply_complete(master.substr(0, master.size() - 1)));
    EXPECT_FALSE(redis_reply_complete("$50"));
    EXPECT_TRUE(redis_reply_complete(master));
    EXPECT_TRUE(redis_reply_complete("-NOAUTH Authentication required.\r\n"));
}

// After AUTH, INFO arrives in pieces split inside the length and a line; a count that
// grows by 4 billion in one second is a rate of 240 billion a minute.
TEST(RedisCounter, InfoInPiecesAnd64BitRates)
{
    const std::string info = captured("replica");
    std::string busier = info;
    busier.replace(busier.find("total_commands_processed:3"), 26, "total_commands_processed:4000000003");
    busier.replace(0, 5, "$" + std::to_string(busier.size() - 9));
    test_support::canned_server server(
        {{{"+OK\r\n"}, false},
         {{info.substr(0, 3), info.substr(3, 400), info.substr(403)}},
         {{"+OK\r\n"}, false},
         {{busier}}},
        {}, test_support::canned_server::line_request);
    std::string cfg = "r1 mon:pw@127.0.0.1:" + std::to_string(server.port()) + "\n";
    test_support::core_counter r(kOps, cfg.c_str());
    EXPECT_EQ(r.init_result, 0);
    EXPECT_EQ(r.cycle(0, 1000), 1);
    EXPECT_EQ(r.cycle(1, 1000), 1);
    EXPECT_EQ(r.report(), "r1:{ok:i64=1;status:i64=1;uptime:i64=7;connected_clients:i64=2;"
                          "total_connections_received:i64=0;total_commands_processed:i64=240000000000;"
                          "keyspace_hits:i64=0;keyspace_misses:i64=0;expired_keys:i64=0;evicted_keys:i64=0;"
                          "connected_slaves:i64=0;master_link_status:i64=1;master_sync_left_bytes:i64=0;"
                          "rdb_last_bgsave_status:i64=1;memused:i64=989520;keys:i64=2;};");
}
