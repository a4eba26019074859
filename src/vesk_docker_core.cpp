// The container table, the Engine API client, and the docker child's statistics loop.
#include "vesk_docker_core.hpp"

#include <poll.h>
#include <sys/socket.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "encoding.hpp"
#include "nxjson.hpp"
#include "vesk_clock.hpp"
#include "vesk_config.hpp"
#include "vesk_json.hpp"
#include "vesk_shm.hpp"

namespace {

// The Engine answers an inspection in milliseconds; one that takes longer than this
// is stalled, and the cycle must not wait on it.
constexpr int kEngineTimeout = 1;
// Inspection answers are tens of kB; anything far beyond is not one.
constexpr size_t kAnswerCap = 1u << 20;
// A statistics object is a few kB, over 10 kB on big hosts.
constexpr size_t kStatsLineCap = 1u << 20;
// A line buffer that grew beyond this is given back once its line is done.
constexpr size_t kStatsLineKeep = 64u << 10;
constexpr size_t kHeadCap = 64u << 10;
// A stream that failed or ended is opened again at most this often.
constexpr auto kReopenEvery = std::chrono::seconds(3);

// The request path for a container: the name with every byte that is not safe in
// a path percent-encoded, so a name can never change the request.
std::string container_path(std::string_view name, const char *what)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out = "/containers/";
    for (unsigned char ch : name) {
        if (isalnum(ch) || ch == '_' || ch == '.' || ch == '-') {
            out += static_cast<char>(ch);
        } else {
            out += '%';
            out += hex[ch >> 4];
            out += hex[ch & 15];
        }
    }
    return out + what;
}

// The Engine's requests: HTTP/1.0, so the close ends every answer, and no headers.
std::string engine_request(std::string_view path) { return "GET " + std::string(path) + " HTTP/1.0\n\n"; }

std::string bounded_name(const char *name)
{
    return std::string(name, strnlen(name, sizeof(vesk_docker_container_t::name) - 1));
}

} // namespace

// ---- reading the table ----

int vesk_docker_count(const vesk_docker_t *docker)
{
    if (!docker) return 0;
    int n = __atomic_load_n(&docker->count, __ATOMIC_ACQUIRE);
    return n < VESK_DOCKER_MAX_CONTAINERS ? n : VESK_DOCKER_MAX_CONTAINERS;
}

std::string_view vesk_docker_name(const vesk_docker_container_t &c)
{
    return {c.name, strnlen(c.name, sizeof c.name - 1)};
}

const char *vesk_docker_state_name(int32_t state)
{
    switch (state) {
    case VESK_DOCKER_CONT_STATE_RUNNING: return "running";
    case VESK_DOCKER_CONT_STATE_PAUSED: return "paused";
    case VESK_DOCKER_CONT_STATE_RESTARTING: return "restarting";
    case VESK_DOCKER_CONT_STATE_OOMKILLED: return "oomkilled";
    case VESK_DOCKER_CONT_STATE_DEAD: return "dead";
    default: return "exited";
    }
}

double vesk_docker_cpu(const vesk_docker_container_t &c)
{
    double v = c.cpu_usage;
    return std::isfinite(v) && v >= 0.0 ? v : 0.0;
}

// ---- the parent ----

namespace {

// Set when an inspection timed out: the Engine is not asked again until the next
// update pass, so one stalled Engine costs a cycle at most one time-out.
bool engine_stalled = false;

} // namespace

int docker_init(vesk_docker_t **docker)
{
    key_t key = vesk_shm_next_key(config.shm_key);
    int id = vesk_shm_create(key, sizeof(vesk_docker_t));
    if (id < 0) {
        perror("shmget");
        return 0;
    }
    shm_attachment seg = vesk_shm_attach(id);
    if (!seg) {
        perror("shmat");
        return 0;
    }
    // A second identity line attaches again; the earlier mapping is no longer needed.
    if (*docker) shmdt(*docker);
    *docker = static_cast<vesk_docker_t *>(seg.release());
    (*docker)->sock_path = nullptr;
    (*docker)->count = 0;
    if (config.debug) printf("shmget() succeeded key = %d\n", key);
    return 1;
}

const char *vesk_docker_sock_path()
{
    return config.docker_sock_path.empty() ? VESK_DOCKER_DEFAULT_SOCK : config.docker_sock_path.c_str();
}

docker_inspect docker_read_inspect(const nx_json *root)
{
    docker_inspect in;
    in.running = json_get_bool_by_path(root, "State.Running") > 0;
    in.paused = json_get_bool_by_path(root, "State.Paused") > 0;
    in.restarting = json_get_bool_by_path(root, "State.Restarting") > 0;
    in.dead = json_get_bool_by_path(root, "State.Dead") > 0;
    in.oomkilled = json_get_bool_by_path(root, "State.OOMKilled") > 0;
    char status[19], ip[16];
    json_get_str_by_path(root, "State.Status", status, sizeof status);
    in.status = status;
    json_get_str_by_path(root, "NetworkSettings.IPAddress", ip, sizeof ip);
    if (!ip[0]) {
        // On a user-defined network the address is only under that network.
        const nx_json *nets = json_get_item_by_path(root, "NetworkSettings.Networks");
        if (nets->type == NX_JSON_OBJECT && nets->length > 0) {
            json_get_str_by_path(nets->child, "IPAddress", ip, sizeof ip);
            in.network = nets->child->key;
        }
    }
    in.ip = ip;
    return in;
}

int32_t docker_next_state(const docker_inspect &in, int32_t previous)
{
    // The Engine reports paused and restarting containers as running too, so
    // those two come first.
    if (in.paused) return VESK_DOCKER_CONT_STATE_PAUSED;
    if (in.restarting) return VESK_DOCKER_CONT_STATE_RESTARTING;
    if (in.running) return VESK_DOCKER_CONT_STATE_RUNNING;
    if (in.dead) return VESK_DOCKER_CONT_STATE_DEAD;
    if (in.oomkilled) return VESK_DOCKER_CONT_STATE_OOMKILLED;
    if (in.status == "exited") return VESK_DOCKER_CONT_STATE_EXITED;
    return previous >= VESK_DOCKER_CONT_STATE_RUNNING && previous <= VESK_DOCKER_CONT_STATE_EXITED
               ? previous
               : VESK_DOCKER_CONT_STATE_EXITED;
}

unique_fd vesk_docker_connect(const char *sock_path)
{
    service_conn c = service_connect_unix(sock_path, kEngineTimeout);
    if (!c) service_perror(c.failed == service_fail::connect ? "connect" : "socket", c.error);
    return std::move(c.fd);
}

std::optional<http_answer> vesk_docker_cmd(int sock, const std::string &path, service_clock::time_point deadline)
{
    service_http_reply r = service_http_exchange(sock, engine_request(path), kAnswerCap, deadline);
    switch (r.end) {
    case service_http_end::answer: return std::move(r.answer);
    case service_http_end::send: service_perror("send", r.error); break;
    case service_http_end::timeout: printf("select() returned 0\n"); engine_stalled = true; break;
    case service_http_end::full: printf("[docker] answer to %s exceeds %zu bytes\n", path.c_str(), kAnswerCap); break;
    case service_http_end::read:
    case service_http_end::malformed:
        if (r.error) service_perror("read() failed", r.error);
        else printf("[docker] incomplete or malformed answer to %s\n", path.c_str());
        break;
    }
    return std::nullopt;
}

int vesk_docker_find_container(vesk_docker_t *docker, const char *container_name)
{
    std::string name = bounded_name(container_name);
    int n = vesk_docker_count(docker);
    for (int i = 0; i < n; i++) {
        if (vesk_docker_name(docker->containers[i]) == name) {
            if (config.debug) printf("[docker] Found container '%s', index=%d\n", name.c_str(), i);
            return i;
        }
    }
    if (config.debug) printf("[docker] Not found container in internal structure '%s', adding\n", name.c_str());
    return -1;
}

int vesk_docker_add_container(vesk_docker_t *docker, const char *container_name)
{
    int idx = vesk_docker_count(docker);
    if (idx >= VESK_DOCKER_MAX_CONTAINERS) {
        printf("[docker] Max containers number reached: %d, cannot allocate one more\n", VESK_DOCKER_MAX_CONTAINERS);
        return -1;
    }
    vesk_docker_container_t &c = docker->containers[idx];
    memset(static_cast<void *>(&c), 0, sizeof c);
    vesk_copy(c.name, bounded_name(container_name));
    c.state = VESK_DOCKER_CONT_STATE_EXITED;
    // The record is whole before the docker child can see it.
    __atomic_store_n(&docker->count, static_cast<uint16_t>(idx + 1), __ATOMIC_RELEASE);
    if (config.debug) printf("[docker] Added container '%s', index=%d\n", c.name, idx);
    return idx;
}

int vesk_docker_update_info(vesk_docker_t *docker, const char *container_name)
{
    // After a stop the Engine is not asked: the cycle sends nothing.
    if (!docker || !container_name || engine_stalled || stop) return -1;
    std::string name = bounded_name(container_name);
    std::optional<http_answer> ans;
    {
        unique_fd fd = vesk_docker_connect(vesk_docker_sock_path());
        if (!fd) return -1;
        ans = vesk_docker_cmd(fd.get(), container_path(name, "/json"), service_deadline(kEngineTimeout));
    }
    if (!ans) return -1;

    // 404: the Engine does not know the name (never created, or removed). The name
    // still has its record: not running, without an address, with its last state.
    docker_inspect info;
    if (ans->status != 404) {
        if (ans->status != 200) {
            printf("[docker] Engine answered %d to the inspection of '%s'\n", ans->status, name.c_str());
            return -1;
        }
        // Read in place: what the record needs is copied out, and the answer goes.
        nx_json_ptr tree(nx_json_parse(ans->body.data(), nullptr));
        if (!tree) return -1;
        if (tree->type != NX_JSON_OBJECT) {
            printf("[docker] the inspection of '%s' is not a JSON object\n", name.c_str());
            return -1;
        }
        info = docker_read_inspect(tree.get());
    }

    int idx = vesk_docker_find_container(docker, name.c_str());
    if (idx < 0) idx = vesk_docker_add_container(docker, name.c_str());
    if (idx < 0) return -1;
    vesk_docker_container_t &c = docker->containers[idx];
    c.running = info.running ? 1 : 0;
    c.state = static_cast<vesk_docker_container_state_t>(docker_next_state(info, c.state));
    vesk_copy(c.ip, info.ip);
    if (!info.network.empty() && config.debug)
        printf("Got container [%s] IP [%s] from network [%s]\n", name.c_str(), c.ip, info.network.c_str());
    if (config.debug)
        printf("[docker] Updated container info for '%s'\n\tindex\t%d\n\tstatus\t'%s'\n\tcpu\t%.2f%%\n", name.c_str(),
               idx, info.status.c_str(), vesk_docker_cpu(c));
    return idx;
}

void vesk_docker_update(vesk_docker_t *docker)
{
    engine_stalled = false;
    if (!docker) return;
    for (int i = 0; i < vesk_docker_count(docker); i++) {
        std::string name(vesk_docker_name(docker->containers[i]));
        vesk_docker_update_info(docker, name.c_str());
    }
}

const char *vesk_docker_resolve(vesk_docker_t *docker, const char *c_name)
{
    static char ip[16];
    int idx = vesk_docker_update_info(docker, c_name);
    if (idx < 0) return nullptr;
    const vesk_docker_container_t &c = docker->containers[idx];
    size_t n = strnlen(c.ip, sizeof ip - 1);
    if (!c.running || n == 0) return nullptr;
    memcpy(ip, c.ip, n);
    ip[n] = 0;
    return ip;
}

void vesk_docker_remove_table()
{
    vesk_shm_remove(vesk_shm_lookup(vesk_shm_next_key(config.shm_key), sizeof(vesk_docker_t)));
}

// ---- the docker child ----

void docker_log_ch(const char *message) { printf("[docker-child] %s\n", message); }
void docker_log(const char *message) { printf("[docker] %s\n", message); }

void parse_response(char *buf, docker_stats_t &cnt)
{
    char *start = strstr(buf, "{\"");
    nx_json_ptr js(start ? nx_json_parse(start, nullptr) : nullptr);
    if (!js) {
        cnt.ok = 0;
        return;
    }
    cnt.cpu_usage = json_get_long_by_path(js.get(), "cpu_stats.cpu_usage.total_usage");
    cnt.sys_usage = json_get_long_by_path(js.get(), "cpu_stats.system_cpu_usage");
    cnt.pre_cpu_usage = json_get_long_by_path(js.get(), "precpu_stats.cpu_usage.total_usage");
    cnt.pre_sys_usage = json_get_long_by_path(js.get(), "precpu_stats.system_cpu_usage");
    cnt.ncpu = static_cast<int32_t>(json_get_long_by_path(js.get(), "precpu_stats.online_cpus"));
    cnt.ok = 1;
}

std::optional<double> docker_cpu_percent(const docker_stats_t &s)
{
    if (!s.ok) return std::nullopt;
    // Differences taken without signed overflow.
    auto diff = [](int64_t a, int64_t b) {
        return static_cast<int64_t>(static_cast<uint64_t>(a) - static_cast<uint64_t>(b));
    };
    int64_t d_cpu = diff(s.cpu_usage, s.pre_cpu_usage);
    int64_t d_sys = diff(s.sys_usage, s.pre_sys_usage);
    // Identical samples, counter resets and the zeroed objects of a stopped
    // container say nothing about the load.
    if (d_sys <= 0 || d_cpu < 0) return std::nullopt;
    double percent = static_cast<double>(d_cpu) / static_cast<double>(d_sys) * s.ncpu * 100.0;
    if (!std::isfinite(percent) || percent < 0.0) return std::nullopt;
    return percent;
}

void docker_stream_reader::split(std::string_view data, const std::function<void(char *line)> &on_line)
{
    while (!data.empty()) {
        size_t nl = data.find('\n');
        std::string_view part = data.substr(0, nl);
        if (!skipping_) line_.append(part);
        if (line_.size() > kStatsLineCap) {
            // Not a statistics object: drop it up to its end.
            line_.clear();
            skipping_ = true;
        }
        if (nl == std::string_view::npos) return;
        if (!skipping_ && !line_.empty()) on_line(line_.data());
        line_.clear();
        if (line_.capacity() > kStatsLineKeep) std::string().swap(line_);
        skipping_ = false;
        data.remove_prefix(nl + 1);
    }
}

docker_stream_reader::state docker_stream_reader::feed(std::string_view in,
                                                       const std::function<void(char *line)> &on_line)
{
    if (state_ == state::head) {
        head_.append(in);
        size_t end = http_headers_end(head_);
        if (end == std::string::npos) {
            http_answer probe;
            if (head_.size() > kHeadCap || http_parse_answer(head_, false, probe) == http_state::malformed)
                state_ = state::refused;
            return state_;
        }
        http_answer ans;
        if (http_parse_answer(std::string_view(head_).substr(0, end), false, ans) == http_state::malformed ||
            ans.status != 200) {
            status_ = ans.status;
            state_ = state::refused;
            return state_;
        }
        status_ = ans.status;
        chunked_ = http_is_chunked(ans.headers);
        state_ = state::body;
        std::string rest = head_.substr(end);
        head_.clear();
        head_.shrink_to_fit();
        return feed(rest, on_line);
    }
    if (state_ != state::body) return state_;
    if (!chunked_) {
        split(in, on_line);
        return state_;
    }
    decoded_.clear();
    http_chunked_decoder::state s = dechunk_.feed(in, decoded_);
    split(decoded_, on_line);
    if (s == http_chunked_decoder::state::done) state_ = state::ended;
    if (s == http_chunked_decoder::state::error) state_ = state::refused;
    return state_;
}

namespace {

// One container's statistics stream in the child; record i of the table has stream i.
struct stats_stream {
    std::string name;
    unique_fd fd;
    docker_stream_reader reader;
    docker_stats_t sample;
    service_clock::time_point next_open{};
    int refused = -1; // the status of the last refusal printed, so a retry does not repeat it
};

// Opens the stream of one container; a failure is printed and tried again later.
void open_stream(stats_stream &s, service_clock::time_point now)
{
    s.next_open = now + kReopenEvery;
    s.reader = {};
    s.fd = vesk_docker_connect(vesk_docker_sock_path());
    if (!s.fd) return;
    if (!service_send(s.fd.get(), engine_request(container_path(s.name, "/stats?stream=true")))) {
        service_perror("send", errno);
        s.fd.reset();
    }
}

// Reads what one stream has; false when the stream is over.
bool read_stream(stats_stream &s, vesk_docker_t *table, int index)
{
    char buf[65536];
    ssize_t n = recv(s.fd.get(), buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return true;
    if (n <= 0) return false;
    auto st = s.reader.feed(std::string_view(buf, static_cast<size_t>(n)), [&](char *line) {
        parse_response(line, s.sample);
        std::optional<double> percent = docker_cpu_percent(s.sample);
        if (!percent) return;
        s.sample.cpu_usage_percent = *percent;
        // The parent adds records, never removes them; still, write only inside the table.
        if (index < vesk_docker_count(table)) table->containers[index].cpu_usage = *percent;
    });
    if (st == docker_stream_reader::state::refused) {
        if (s.reader.status() != s.refused)
            printf("[docker-child] statistics of '%s' refused (status %d)\n", s.name.c_str(), s.reader.status());
        s.refused = s.reader.status();
        return false;
    }
    if (st == docker_stream_reader::state::body) s.refused = -1;
    return st != docker_stream_reader::state::ended;
}

} // namespace

void docker_loop()
{
    vesk_docker_t *table = config.docker;
    std::vector<stats_stream> streams;
    std::vector<pollfd> fds;
    std::vector<int> owners; // the stream of each waited descriptor
    bool started = false;
    while (!stop) {
        int n = vesk_docker_count(table);
        if (n > 0 && !started) {
            docker_log_ch("Started gathering stats");
            docker_log_ch("Started loop");
            started = true;
        }
        if (static_cast<int>(streams.size()) < n) streams.resize(static_cast<size_t>(n));
        auto now = service_clock::now();
        fds.clear();
        owners.clear();
        for (int i = 0; i < n; i++) {
            stats_stream &s = streams[static_cast<size_t>(i)];
            std::string_view name = vesk_docker_name(table->containers[i]);
            if (name != s.name) {
                // A new record, or one whose name changed under us: start over.
                s = {};
                s.name = std::string(name);
            }
            if (!s.fd && !s.name.empty() && now >= s.next_open && !stop) open_stream(s, now);
            if (s.fd) {
                fds.push_back({s.fd.get(), POLLIN, 0});
                owners.push_back(i);
            }
        }
        // One wait for every stream; without streams this is the one-second sleep.
        int ready = vesk_ppoll(fds.data(), fds.size(), 1000);
        if (ready <= 0) continue;
        for (size_t k = 0; k < fds.size(); k++) {
            if (!fds[k].revents) continue;
            stats_stream &s = streams[static_cast<size_t>(owners[k])];
            if (!read_stream(s, table, owners[k])) s.fd.reset();
        }
    }
    if (started) docker_log_ch("Stopped loop");
    streams.clear();
    docker_log_ch("Freeing shm");
    vesk_docker_remove_table();
    docker_log_ch("Exiting");
}
