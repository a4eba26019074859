// Assembly of one report: the header fields, every counter's part and the "docker" object.
#include "vesk_bson.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "bson.hpp"
#include "encoding.hpp"
#include "vesk_config.hpp"
#include "vesk_core.hpp"
#include "vesk_docker_core.hpp"
#include "vesk_plugin.hpp"

namespace {

// Settings come from files the agent does not control; one stray byte must not
// cost the whole report.
void append_text(bson *b, const char *key, std::string_view value)
{
    vesk_bson_append_string(b, key, vesk_utf8_sanitize(value).c_str());
}

template <size_t N>
std::string_view field(const char (&text)[N])
{
    return {text, strnlen(text, N)};
}

void append_header(bson *b, time_t t, unsigned long localAddress)
{
    if (config.id != 0) {
        vesk_bson_append_int(b, "id", static_cast<int32_t>(config.id));
    } else {
        append_text(b, "uuid", field(config.uuid));
        append_text(b, "server_name", field(config.server_name));
        append_text(b, "project_name", field(config.project_name));
        append_text(b, "project_secret", field(config.project_secret));
    }
    if (config.server_type != 0) vesk_bson_append_string(b, "type", get_server_type(&config));
    if (config.auto_delete != 0) {
        vesk_bson_append_bool(b, "auto_delete", 1);
        vesk_bson_append_int(b, "auto_delete_min", config.auto_delete_min);
    }
    if (localAddress != 0) vesk_bson_append_long(b, "local_ip", static_cast<int64_t>(localAddress));
    append_text(b, "name", field(config.name));
    vesk_bson_append_int(b, "time", static_cast<int32_t>(t));
    vesk_bson_append_int(b, "interval", static_cast<int32_t>(config.interval));
    vesk_bson_append_string(b, "version", VESK_VERSION);
    vesk_bson_append_int(b, "custom_errors", stats.custom_errors);
}

// The tobson operation of each counter of a group that has one; the count is
// read again after each counter.
template <typename Counter, typename Count>
void group_to_bson(Counter *counters, const Count &count, bson *b)
{
    for (int i = 0; i < static_cast<int>(count); i++)
        if (counters[i].tobson) counters[i].tobson(&counters[i], b);
}

// One of the report's arrays; it is written even when it stays empty.
template <typename Fill>
void report_array(bson *b, const char *key, Fill fill)
{
    vesk_bson_append_start_array(b, key);
    fill();
    vesk_bson_append_finish_array(b);
}

void plugins_to_bson(bson *b)
{
    if (config.debug) printf("done\nplugins...");
    for (ge_plugin_counter *pc = stats.plugin_counters; pc; pc = pc->next) {
        printf("\nBSONing %s #%d counter\n", pc->plugin->prefix, pc->handle);
        plugin_to_bson(pc, b);
    }
}

void docker_to_bson(bson *b)
{
    vesk_docker_t *docker = config.docker;
    if (vesk_docker_count(docker) == 0) return;
    vesk_bson_append_start_object(b, "docker");
    // The docker child shares the table: the count is read at each step, and every
    // field is bounded and checked as it is read.
    for (int i = 0; i < vesk_docker_count(docker); i++) {
        const vesk_docker_container_t &c = docker->containers[i];
        vesk_bson_append_start_object(b, vesk_utf8_sanitize(vesk_docker_name(c)).c_str());
        vesk_bson_append_double(b, "cpu_usage", vesk_docker_cpu(c));
        vesk_bson_append_string(b, "state", vesk_docker_state_name(c.state));
        vesk_bson_append_finish_object(b);
    }
    vesk_bson_append_finish_object(b);
}

// ---- fitting a report into one datagram ----

uint32_t get_le32(const uint8_t *p) { return static_cast<uint32_t>(vesk_bson_get32(p)); }
void put_le32(uint8_t *p, uint32_t v) { vesk_bson_put32(p, static_cast<int32_t>(v)); }

// The bytes of one element, type byte to the end of its value: [begin, end).
struct element_span {
    uint32_t begin;
    uint32_t end;
    uint32_t size() const { return end - begin; }
};

// The elements of the document or array whose length field is at `at`; none when
// the walk does not end exactly on its final 0 byte.
std::vector<element_span> elements_of(const uint8_t *doc, uint32_t len, uint32_t at)
{
    std::vector<element_span> out;
    if (at > len || len - at < 5) return out;
    uint32_t size = get_le32(doc + at);
    if (size < 5 || size > len - at) return out;
    vesk_bson_iterator it;
    vesk_bson_iterator_from_buffer(&it, reinterpret_cast<const char *>(doc + at));
    while (vesk_bson_iterator_next(&it) != BSON_EOO) {
        auto begin = static_cast<uint32_t>(reinterpret_cast<const uint8_t *>(it.cur) - doc);
        if (!out.empty()) out.back().end = begin;
        out.push_back({begin, 0});
    }
    uint32_t last = at + size - 1;
    if (reinterpret_cast<const uint8_t *>(it.cur) != doc + last) return {};
    if (!out.empty()) out.back().end = last;
    return out;
}

// Where the value of the top-level element `key` of type `type` begins; 0 when the
// report has none.
uint32_t value_at(const uint8_t *doc, const std::vector<element_span> &top, const char *key, vesk_bson_type type)
{
    for (const element_span &e : top) {
        const char *name = reinterpret_cast<const char *>(doc + e.begin + 1);
        if (doc[e.begin] == type && strcmp(name, key) == 0)
            return e.begin + 1 + static_cast<uint32_t>(strlen(name)) + 1;
    }
    return 0;
}

} // namespace

vesk_report_cut report_fit(uint8_t *doc, uint32_t *len, uint32_t limit)
{
    vesk_report_cut cut;
    if (*len <= limit) return cut;
    std::vector<element_span> top = elements_of(doc, *len, 0);
    uint32_t custom_at = value_at(doc, top, "custom", BSON_ARRAY);
    uint32_t mounts_at = value_at(doc, top, "mounts", BSON_OBJECT);
    std::vector<element_span> customs, mounts;
    if (custom_at) customs = elements_of(doc, *len, custom_at);
    if (mounts_at) mounts = elements_of(doc, *len, mounts_at);

    // Removing an element shortens every document around it by exactly its size.
    uint32_t over = *len - limit, custom_gone = 0, mounts_gone = 0;
    std::vector<element_span> gone;
    auto leave_out = [&](const element_span &e, uint32_t &bytes, int &count) {
        gone.push_back(e);
        bytes += e.size();
        count++;
        over = e.size() >= over ? 0 : over - e.size();
    };
    std::vector<size_t> order(customs.size());
    for (size_t i = 0; i < order.size(); i++) order[i] = i;
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        return customs[a].size() != customs[b].size() ? customs[a].size() > customs[b].size() : a > b;
    });
    for (size_t i : order) {
        if (over == 0) break;
        leave_out(customs[i], custom_gone, cut.custom);
    }
    for (auto m = mounts.rbegin(); m != mounts.rend() && over != 0; ++m) leave_out(*m, mounts_gone, cut.mounts);
    if (gone.empty()) return cut;

    std::sort(gone.begin(), gone.end(), [](const element_span &a, const element_span &b) { return a.begin < b.begin; });
    auto gone_before = [&](uint32_t at) {
        uint32_t n = 0;
        for (const element_span &e : gone)
            if (e.end <= at) n += e.size();
        return n;
    };
    // The length fields' new places and values, taken before the bytes move.
    uint32_t custom_len = custom_at ? get_le32(doc + custom_at) - custom_gone : 0;
    uint32_t mounts_len = mounts_at ? get_le32(doc + mounts_at) - mounts_gone : 0;
    uint32_t custom_new_at = custom_at - gone_before(custom_at);
    uint32_t mounts_new_at = mounts_at - gone_before(mounts_at);

    uint32_t out = gone.front().begin;
    for (size_t k = 0; k < gone.size(); k++) {
        uint32_t from = gone[k].end, to = k + 1 < gone.size() ? gone[k + 1].begin : *len;
        memmove(doc + out, doc + from, to - from);
        out += to - from;
    }
    *len = out;
    put_le32(doc, out);
    if (custom_at) put_le32(doc + custom_new_at, custom_len);
    if (mounts_at) put_le32(doc + mounts_new_at, mounts_len);
    return cut;
}

int stats_to_bson(uint8_t **res, uint32_t *len, unsigned long localAddress)
{
    *res = nullptr;
    *len = 0;
    bson *b = vesk_bson_create();
    vesk_bson_init(b);
    time_t t = time(nullptr);

    append_header(b, t, localAddress);
    group_to_bson(stats.core_counters, stats.ncore_counters, b);

    report_array(b, "memcaches", [b] { group_to_bson(stats.memcache_counters, stats.nmemcache_counters, b); });
    report_array(b, "beanstalks", [b] { group_to_bson(stats.beanstalk_counters, stats.nbeanstalk_counters, b); });
    report_array(b, "custom", [b] {
        group_to_bson(stats.custom_counters, stats.ncustom_counters, b);
        group_to_bson(stats.multicustom_counters, stats.nmulticustom_counters, b);
    });
    report_array(b, "mycustoms", [b] {
        group_to_bson(stats.mycustom_counters, stats.nmycustoms, b);
        plugins_to_bson(b);
    });
    report_array(b, "mysqls", [b] { group_to_bson(stats.mysql_counters, stats.nmysql_counters, b); });
    report_array(b, "redises", [b] { group_to_bson(stats.redis_counters, stats.nredis_counters, b); });

    docker_to_bson(b);

    int result = -1;
    if (vesk_bson_finish(b) != BSON_OK) {
        // Its length was never written: these bytes are not a document.
        printf("report not sent: the document was refused (error bits %d)\n", b->err);
    } else {
        int size = vesk_bson_size(b);
        *res = static_cast<uint8_t *>(malloc(static_cast<size_t>(size)));
        if (!*res) {
            printf("report not sent: no memory for a copy of %d bytes\n", size);
        } else {
            memcpy(*res, vesk_bson_data(b), static_cast<size_t>(size));
            *len = static_cast<uint32_t>(size);
            result = 0;
        }
    }
    vesk_bson_destroy(b);
    vesk_bson_free(b);
    return result;
}
