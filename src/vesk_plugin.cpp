// Loading plug-in shared objects, their entry points, and the counters they serve.
#include "vesk_plugin.hpp"

#include <dlfcn.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <type_traits>

#include "bson.hpp"
#include "encoding.hpp"
#include "vesk_config.hpp"
#include "vesk_core.hpp"
#include "vesk_log.hpp"

// Plug-ins written in C fill this record; its layout is part of their interface.
static_assert(std::is_standard_layout_v<plugin_response_v1>);
static_assert(offsetof(plugin_response_v1, size) == 0);
static_assert(offsetof(plugin_response_v1, data) == sizeof(size_t));
static_assert(sizeof(plugin_response_v1) == sizeof(size_t) + sizeof(uint8_t *));

ge_plugin_ref *loaded_plugins = nullptr;

const char *ge_plugin_last_error(const ge_plugin_ref *plugin)
{
    const char *e = plugin && plugin->last_error ? plugin->last_error() : nullptr;
    return e ? e : "";
}

namespace {

// The name becomes the 32-byte prefix and part of a file name looked up through
// the loader's search path: a longer one would be cut, and a '/' would turn the
// lookup into a path relative to the working directory.
bool plugin_name_usable(const char *name)
{
    if (strlen(name) >= VESK_PLUGIN_NAME_LEN) {
        _vesk_log(LOG_LEVEL_ERROR, "\33[0;31m[error] plugin name '%s' is too long (at most %d characters)\33[0;0m\n",
                  name, VESK_PLUGIN_NAME_LEN - 1);
        return false;
    }
    if (strchr(name, '/')) {
        _vesk_log(LOG_LEVEL_ERROR, "\33[0;31m[error] plugin name '%s' must not contain '/'\33[0;0m\n", name);
        return false;
    }
    return true;
}

// Resolves one entry point into its slot, or says which one the library lacks.
template <typename Fn>
bool resolve(void *dl, const char *sofile, const char *symbol, Fn *&slot)
{
    slot = reinterpret_cast<Fn *>(dlsym(dl, symbol));
    if (slot) return true;
    printf("[error] plugin '%s' doesn't have a '%s' symbol\n", sofile, symbol);
    return false;
}

} // namespace

ge_plugin_ref *ge_plugin_load(const char *name, const char *sofile)
{
    if (!plugin_name_usable(name)) return nullptr;
    auto p = std::make_unique<ge_plugin_ref>();
    vesk_copy(p->prefix, name);
    _vesk_log(LOG_LEVEL_INFO, "\33[0;32m[info] loading library '%s'\33[0;0m\n", sofile);
    p->dl_handler.reset(dlopen(sofile, RTLD_LAZY));
    if (!p->dl_handler) {
        const char *e = dlerror();
        _vesk_log(LOG_LEVEL_ERROR, "\33[0;31m[error] dlopen error: %s\n\33[0;0m\n", e ? e : "");
        return nullptr;
    }
    void *dl = p->dl_handler.get();
    if (!resolve(dl, sofile, "ge_config_prefix", p->get_prefix)) return nullptr;
    const char *real = p->get_prefix();
    if (!real || strcmp(real, name) != 0) {
        _vesk_log(LOG_LEVEL_ERROR, "\33[0;31m[error] plugin real prefix '%s' mismatches expected '%s'\n\33[0;0m\n",
                  real ? real : "", name);
        return nullptr;
    }
    if (!resolve(dl, sofile, "ge_name", p->get_name)) return nullptr;
    const char *own_name = p->get_name();
    vesk_copy_text(p->name, own_name ? own_name : "");
    bool complete = resolve(dl, sofile, "ge_version", p->get_version) &&
                    resolve(dl, sofile, "ge_parse_config_line", p->parse_config_line) &&
                    resolve(dl, sofile, "ge_unload", p->unload) &&
                    resolve(dl, sofile, "ge_last_error", p->last_error) &&
                    resolve(dl, sofile, "ge_init", p->initialize) &&
                    resolve(dl, sofile, "ge_reinit", p->reinitialize) &&
                    resolve(dl, sofile, "ge_update", p->update) &&
                    resolve(dl, sofile, "ge_delta", p->delta) &&
                    resolve(dl, sofile, "ge_dump", p->dump) &&
                    resolve(dl, sofile, "ge_bson", p->to_bson) &&
                    resolve(dl, sofile, "ge_free", p->free) &&
                    resolve(dl, sofile, "ge_json", p->query_json);
    if (!complete) return nullptr;
    p->next = nullptr;
    return p.release();
}

void ge_plugin_add(ge_plugin_ref *plugin)
{
    ge_plugin_ref **link = &loaded_plugins;
    while (*link) link = &(*link)->next;
    *link = plugin;
}

ge_plugin_ref *ge_plugin_find(const char *name)
{
    for (ge_plugin_ref *p = loaded_plugins; p; p = p->next)
        if (strcmp(p->prefix, name) == 0) return p;
    return nullptr;
}

ge_plugin_ref *ge_plugin_find_or_load(const char *name)
{
    if (ge_plugin_ref *p = ge_plugin_find(name)) return p;
    if (!plugin_name_usable(name)) return nullptr;
    char sofile[VESK_PLUGIN_SOFILE_LEN];
    snprintf(sofile, sizeof sofile, "libvesk-plugin-%s.so", name);
    ge_plugin_ref *p = ge_plugin_load(name, sofile);
    if (p) ge_plugin_add(p);
    return p;
}

int ge_plugin_unload(const char *name)
{
    for (ge_plugin_ref **link = &loaded_plugins; *link; link = &(*link)->next) {
        ge_plugin_ref *p = *link;
        if (strcmp(p->prefix, name) != 0) continue;
        // A counter that still points at the record would be left dangling.
        for (const ge_plugin_counter *c = stats.plugin_counters; c; c = c->next)
            if (c->plugin == p) return 0;
        *link = p->next;
        // Its ge_unload never ran, so the library stays mapped.
        static_cast<void>(p->dl_handler.release());
        delete p;
        return 1;
    }
    return 0;
}

int ge_plugin_unload_all()
{
    while (ge_plugin_ref *p = loaded_plugins) {
        _vesk_log(LOG_LEVEL_INFO, "\33[0;32m[info] unloading plugin '%s'\33[0;0m\n", p->name);
        if (!p->unload()) {
            _vesk_log(LOG_LEVEL_ERROR, "\33[0;31m[error] cannot unload plugin '%s': %s\33[0;0m\n", p->name,
                      ge_plugin_last_error(p));
            return 0;
        }
        // Unloaded: the record leaves the list whether or not the close succeeds.
        loaded_plugins = p->next;
        std::unique_ptr<ge_plugin_ref> owned(p);
        if (dlclose(owned->dl_handler.release()) != 0) {
            const char *e = dlerror();
            _vesk_log(LOG_LEVEL_ERROR, "\33[0;31m[error] cannot dlclose() plugin '%s': %s\33[0;0m\n", owned->name,
                      e ? e : "");
            return 0;
        }
        _vesk_log(LOG_LEVEL_INFO, "\33[0;32m[info] unloaded plugin '%s'\33[0;0m\n", owned->name);
    }
    return 1;
}

int plugin_set(vesk_stats *s, const char *plugin_name, const char *cfg_string, log_level_t log_level)
{
    ge_plugin_ref *p = ge_plugin_find_or_load(plugin_name);
    if (!p) return 0;
    auto cnt = std::make_unique<ge_plugin_counter>();
    cnt->plugin = p;
    // The plug-in writes into a zeroed buffer; whatever it leaves there is cut,
    // terminated and made valid UTF-8, since it becomes a key of the report.
    char report_id[GE_REPORT_ID_SIZE] = {};
    cnt->handle = p->parse_config_line(cfg_string, report_id, static_cast<uint8_t>(log_level));
    if (cnt->handle == 0) {
        _vesk_log(LOG_LEVEL_ERROR, "\33[0;31m[error] cannot initialize %s plugin counter: %s\33[0;0m\n", p->prefix,
                  ge_plugin_last_error(p));
        return 0;
    }
    report_id[sizeof report_id - 1] = '\0';
    vesk_copy_text(cnt->report_id, report_id);
    _vesk_log(LOG_LEVEL_INFO, "\33[0;32m[info] initialized plugin '%s' instance with handle %d\33[0;0m\n", p->prefix,
              cnt->handle);
    vesk_copy(cnt->cfg_string, cfg_string);

    ge_plugin_counter **link = &s->plugin_counters;
    ge_plugin_counter *last = nullptr;
    while (*link) {
        last = *link;
        link = &last->next;
    }
    if (last)
        _vesk_log(LOG_LEVEL_INFO, "\33[0;32m[info] appending %s#%d after %s#%d\33[0;0m\n", p->name, cnt->handle,
                  last->plugin->name, last->handle);
    *link = cnt.release();
    return 1;
}

int32_t plugin_document_length(const plugin_response_v1 &response)
{
    const uint8_t *d = response.data;
    // The smallest document is its length field and the closing 0 byte.
    if (!d || (response.size != 0 && response.size < 5)) return 0;
    uint32_t raw = static_cast<uint32_t>(d[0]) | static_cast<uint32_t>(d[1]) << 8 |
                   static_cast<uint32_t>(d[2]) << 16 | static_cast<uint32_t>(d[3]) << 24;
    auto len = static_cast<int32_t>(raw);
    if (len < 5) return 0;
    if (response.size != 0 && static_cast<size_t>(len) > response.size) return 0;
    if (d[len - 1] != 0) return 0;
    // A malformed document inside the report would make the collector refuse all of it.
    if (!vesk_bson_validate(reinterpret_cast<const char *>(d), static_cast<size_t>(len))) return 0;
    return len;
}

int plugin_to_bson(ge_plugin_counter *cnt, bson *b)
{
    ge_plugin_ref *p = cnt->plugin;
    plugin_response_v1 response{};
    int ok = p->to_bson(cnt->handle, &response);
    // A successful call hands the document over, whether it can be used or not.
    unique_malloc<uint8_t> owned(ok ? response.data : nullptr);
    if (!ok || plugin_document_length(response) == 0) {
        _vesk_log(LOG_LEVEL_ERROR, "\33[0;31m[error] [%s] unable to bson remote: %s\33[0;0m\n", p->prefix,
                  ge_plugin_last_error(p));
        return 0;
    }
    bson wrapper{};
    vesk_bson_init_finished_data(&wrapper, reinterpret_cast<char *>(response.data));
    return vesk_bson_append_bson(b, cnt->report_id, &wrapper) == BSON_OK ? 1 : 0;
}
