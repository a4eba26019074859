// Multicustom counters: the configuration line, running the script, its named values.
#include "vesk_multicustom.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "encoding.hpp"
#include "vesk_config.hpp"
#include "vesk_custom.hpp"

namespace {

vesk_mymulticustom_counter *as_counter(void *cnt) { return static_cast<vesk_mymulticustom_counter *>(cnt); }

const script_messages multicustom_messages = {
    "[custom] ERROR! Cannot setuid to '%d'\n",
    "ERROR! Cannot open pipe with result of execution shell command: '%s'\n",
    "\t\tMultiCustom STDERR: %s",
    "[multicustoms]",
};

// A multicustom output line is read in pieces of at most this many characters.
constexpr size_t kLineMax = 255;

// Takes the output lines of one run as they come.
struct value_collector {
    vesk_mymulticustom_data_custom *values;
    uint64_t *count;
    const char *exec;
    const char *alert;
    long good = 0; // lines with a value, stored or not
    std::string pending{};

    void line(const std::string &l)
    {
        char name[256];
        double value = 0;
        switch (parse_metric_line(l.c_str(), name, sizeof name, &value)) {
        case METRIC_OK:
            good++;
            if (*count < VESK_MAX_MULTICUSTOM_VALUES) store(values[(*count)++], name, value);
            break;
        case METRIC_NO_NUMBER:
            printf("[error] [multicustom] '%s' cannot parse line (no double number at the end):\n>\t%s\n", exec,
                   script_line_printable(l).c_str());
            break;
        case METRIC_TOO_LONG:
            printf("[error] [multicustom] '%s' counter name too long (255 bytes max):\n>\t%s\n", exec,
                   script_line_printable(l).c_str());
            break;
        default: break;
        }
    }

    void store(vesk_mymulticustom_data_custom &v, const char *name, double value)
    {
        // Names come from the script's output and go into the report.
        vesk_copy_text(v.id, name);
        v.value = value;
        v.agent_alerts_count = 0;
        if (alert && alert[0]) {
            std::string text = std::string(v.id) + " " + alert;
            v.agent_alerts[0].index = 0;
            vesk_copy_text(v.agent_alerts[0].text, text, kLineMax);
            v.agent_alerts_count = 1;
        }
    }

    void feed(std::string_view piece, bool end)
    {
        pending.append(piece);
        take_lines(pending, kLineMax, end, [this](const std::string &l) { line(l); });
    }
};

} // namespace

bool multicustom_debug() { return debug_enabled(&config, VESK_DEBMOD_MULTI) != 0; }

int parse_metric_line(const char *input, char *metric, size_t met_buf_cap, double *value)
{
    if (met_buf_cap > 0) metric[0] = '\0';
    std::string_view s(input);
    if (s.empty() || s == "\n") return METRIC_EMPTY;
    if (s.front() == '#') return METRIC_COMMENT;

    std::vector<std::string_view> words;
    size_t pos = 0;
    while (pos < s.size()) {
        size_t start = s.find_first_not_of(" \t", pos);
        if (start == std::string_view::npos) break;
        size_t end = s.find_first_of(" \t", start);
        if (end == std::string_view::npos) end = s.size();
        words.push_back(s.substr(start, end - start));
        pos = end;
    }
    if (words.empty()) return METRIC_NO_NUMBER;

    std::string name;
    for (size_t i = 0; i + 1 < words.size(); i++) {
        if (i) name += ' ';
        name.append(words[i]);
    }
    if (met_buf_cap == 0) return METRIC_TOO_LONG;
    if (name.size() > met_buf_cap - 1) {
        memcpy(metric, name.data(), met_buf_cap - 1);
        metric[met_buf_cap - 1] = '\0';
        return METRIC_TOO_LONG;
    }
    std::string last(words.back());
    char *end = nullptr;
    double v = strtod(last.c_str(), &end);
    if (end == last.c_str()) return METRIC_NO_NUMBER;
    memcpy(metric, name.c_str(), name.size() + 1);
    *value = v;
    return METRIC_OK;
}

void multi_call_exec(vesk_mymulticustom_data_custom *cnt_array, const char *exec, int uid, int gid,
                     int max_seconds, int counter_type, int *err, uint64_t *mc_count, const char *alert_condition)
{
    *err = 1;
    script_run run;
    if (!run.start(exec, uid, gid, max_seconds, multicustom_messages,
                   "ERROR! Cannot fork while trying to execute '%s'\n"))
        return;
    value_collector values{cnt_array, mc_count, exec, alert_condition};
    auto end = run.read_output(max_seconds, [&](std::string_view piece) {
        values.feed(piece, false);
        return true;
    });
    bool empty = false;
    if (end == script_run::read_end::timed_out) {
        printf("ERROR! Multicustom script running too long (%d sec), killed\n", max_seconds);
    } else if (end == script_run::read_end::done) {
        values.feed({}, true);
        // Comments, empty and bad lines alone are no output either.
        empty = *mc_count == 0 && counter_type != VESK_SERVER_STATUS_TYPE;
        if (empty) printf("ERROR! Multicustom script has returned an empty string, killed\n");
    }
    *err = end != script_run::read_end::done || empty;
    if (values.good > VESK_MAX_MULTICUSTOM_VALUES)
        printf("[warning] too many values (%ld) in multicustom '%s' (max %d allowed)\n", values.good, exec,
               VESK_MAX_MULTICUSTOM_VALUES);
    run.reap(max_seconds, exec);
}

void multicustom_parse_conf(vesk_mymulticustom_counter *cnt)
{
    script_conf conf = parse_script_conf(cnt->cfg_string, script_kind::multicustom);
    store_script_conf(cnt, conf);
    print_script_conf("Multicustom counter init:\n", conf, false);
}

int multicustom_init(void *cnt)
{
    auto *c = as_counter(cnt);
    memset(c->data, 0, sizeof c->data);
    memset(c->data_delta, 0, sizeof c->data_delta);
    c->mc_count = 0;
    vesk_copy(c->report, "MultiCustom");
    multicustom_parse_conf(c);
    return 0;
}

int multicustom_update(void *cnt)
{
    auto *c = as_counter(cnt);
    c->mc_count = 0;
    int err = 1;
    multi_call_exec(c->data, c->exec, c->uid, c->gid, c->max_seconds, c->type, &err, &c->mc_count,
                    c->alert_condition);
    if (err) {
        c->ok = 0;
        c->updated = 0;
        return 0;
    }
    c->ok = 1;
    c->updated = 1;
    if (multicustom_debug())
        for (uint64_t i = 0; i < c->mc_count; i++)
            printf("[multicustoms] [pid %d] upd=%d '%s/%s' after call_exec(): value = %f, errors = %d\n", getpid(),
                   c->updated, c->report, c->data[i].id, c->data[i].value, 0);
    return 1;
}

int multicustom_delta(void *cnt, uint32_t, uint64_t)
{
    auto *c = as_counter(cnt);
    if (!c->mustBeUpdated) {
        c->updated = 0;
        if (config.debug)
            printf("[multicustoms] Counter '%s': mustBeUpdated=0, setting updated=0 (interval=%d, "
                   "total_interval=%d seconds)\n",
                   c->report, c->interval, script_total_interval(c->interval));
        return 1;
    }
    memcpy(c->data_delta, c->data, sizeof c->data_delta);
    if (config.debug)
        printf("[multicustoms] Counter '%s': mustBeUpdated=1, updated=%d, will %sbe sent\n", c->report, c->updated,
               c->updated ? "" : "not ");
    return 1;
}

int multicustom_tobson(void *cnt, bson *b)
{
    auto *c = as_counter(cnt);
    int n = static_cast<int>(std::min<uint64_t>(c->mc_count, VESK_MAX_MULTICUSTOM_VALUES));
    bool debug = multicustom_debug();
    if (debug) {
        printf("[pid %d] about to bson(): updated=%d with %d counters inside\n", getpid(), c->updated, n);
        printf("[pid %d] analyzing mc '%s'-report's delta at %p with %d counters inside\n", getpid(), c->report,
               static_cast<void *>(c->data_delta), n);
    }
    if (!c->updated || n == 0) return 1;
    try {
        for (int i = 0; i < n; i++) {
            const vesk_mymulticustom_data_custom &v = c->data_delta[i];
            if (debug)
                printf("\t[pid %d] iterating '%s' mc, over #%d of %d\n\t\tid (%p) = '%s'\tval (%p) = %f\n", getpid(),
                       c->report, i, n, static_cast<const void *>(v.id), v.id, static_cast<const void *>(&v.value),
                       v.value);
            script_element e;
            e.report = c->report;
            e.name = v.id;
            e.interval = script_total_interval(c->interval);
            e.counter_type = c->type == VESK_MULTICUSTOM_TYPE ? "default" : nullptr;
            e.alert_when = c->alert_condition;
            e.value = v.value;
            e.errors = c->errors;
            e.type = c->type;
            e.alerts = v.agent_alerts;
            e.alerts_count = v.agent_alerts_count;
            append_script_element(b, e);
        }
    } catch (const std::bad_alloc &) {
        fprintf(stderr, "[multicustoms] Insufficient memory on %d in %s\n", __LINE__, "vesk_multicustom");
        return 0;
    }
    return 1;
}

int multicustom_dump(void *cnt)
{
    if (!multicustom_debug()) return 1;
    auto *c = as_counter(cnt);
    printf("[pid %d] MyMultiCustom for report %s (ok=%d, upd=%d, must=%d) :\n", getpid(), c->report, c->ok,
           c->updated, c->mustBeUpdated);
    int n = static_cast<int>(std::min<uint64_t>(c->mc_count, VESK_MAX_MULTICUSTOM_VALUES));
    for (int i = 0; i < n; i++) {
        const vesk_mymulticustom_data_custom &v = c->data_delta[i];
        printf("MyMultiCustom report=%s counter=%s:\n", c->report, v.id);
        printf("\tvalue = %f\n", v.value);
        printf("\terrors = %d\n", c->errors);
        if (c->alert_condition[0]) printf("\talert_when = %s\n", c->alert_condition);
        int na = std::clamp(v.agent_alerts_count, 0, VESK_MAX_ALERTS);
        for (int k = 0; k < na; k++) printf("\tAgent alert #%d: '%s'\n", k, v.agent_alerts[k].text);
    }
    return 1;
}

// The values live inside the counter: nothing to release.
int multicustom_free(void *) { return 1; }

int mymulticustom_set(vesk_mymulticustom_counter *cnt, const char *cfg_string, const mycustom_ops &ops)
{
    mycustom_store(cnt, cfg_string, ops);
    return 1;
}
