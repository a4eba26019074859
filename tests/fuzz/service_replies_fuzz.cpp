// Answers of Memcached, Redis and Beanstalkd: any bytes parse or are refused without
// reading outside them, whatever was known before; a line the read cut short is
// never taken for a whole one.
#include <cstdint>
#include <string>
#include <string_view>

#include "vesk_beanstalk.hpp"
#include "vesk_memcache.hpp"
#include "vesk_redis.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string bytes(reinterpret_cast<const char *>(data), size);
    memcache_stats m0, m1{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    auto mc = parse_memcache_stats(bytes, m0);
    if (mc.has_value() != parse_memcache_stats(bytes, m1).has_value()) __builtin_trap();
    if (mc && (bytes.empty() || bytes.back() == '\n')) {
        auto cut = parse_memcache_stats(bytes + "STAT cmd_get 12", m0);
        if (!cut || *mc != *cut) __builtin_trap();
    }
    redis_info r1;
    r1.replica_role = "x";
    if (parse_redis_info(bytes, {}).has_value() != parse_redis_info(bytes, r1).has_value()) __builtin_trap();
    if (parse_beanstalk_stats(bytes, {}).has_value() != parse_beanstalk_stats(bytes, {1, 1, 1, 1, 1, 1}).has_value())
        __builtin_trap();
    (void)memcache_reply_complete(bytes);
    (void)redis_reply_complete(bytes);
    (void)beanstalk_reply_complete(bytes);
    return 0;
}
