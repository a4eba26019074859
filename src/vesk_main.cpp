// Start-up: the command line, one-shot modes, the pid file, the fork, and the three processes.
#include "vesk_main.hpp"

#include <fcntl.h>
#include <glob.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

#include "encoding.hpp"
#include "hostevents/hostevents.h"
#include "string_list.hpp"
#include "vesk_config.hpp"
#include "vesk_config_file.hpp"
#include "vesk_core.hpp"
#include "vesk_customs_core.hpp"
#include "vesk_docker_core.hpp"
#include "vesk_log.hpp"
#include "vesk_mysqlclient.hpp"
#include "vesk_postgreclient.hpp"
#include "vesk_shm.hpp"

namespace {

void on_kill(int) { stop = 1; }

// One-shot System V semantics: the first signal sets `stop` and restores the default
// action, so a second one of the same kind takes it. Interrupted calls are not restarted.
void install_stop_handler(int sig)
{
    struct sigaction sa {};
    sa.sa_handler = on_kill;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESETHAND | SA_NODEFER;
    sigaction(sig, &sa, nullptr);
}

// The pid file, locked for the life of the parent: one agent at a time. A second
// one started with the same settings would otherwise take over the file, remove it
// at its end, and re-create the first one's shared-memory segments.
class pid_file {
public:
    enum class lock_result { locked, held, failed };

    // Opens and locks the file; a failure other than a lock held elsewhere is
    // reported, and the agent goes on without a pid file.
    lock_result lock(const char *path)
    {
        path_ = path;
        for (int attempt = 0; attempt < 3; attempt++) {
            unique_fd fd(open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644));
            if (!fd) return failed("cannot write pid file");
            if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
                return errno == EWOULDBLOCK ? lock_result::held : failed("cannot lock pid file");
            // The holder may have removed the file between our open and our lock: the
            // lock counts only on the file the path still names.
            if (names_this(fd.get())) {
                fd_ = std::move(fd);
                return lock_result::locked;
            }
        }
        errno = EAGAIN;
        return failed("cannot lock pid file");
    }
    void write()
    {
        if (!fd_) return;
        char text[16];
        int n = snprintf(text, sizeof text, "%u", static_cast<unsigned>(getpid()));
        if (ftruncate(fd_.get(), 0) != 0 || pwrite(fd_.get(), text, static_cast<size_t>(n), 0) != n)
            fprintf(stderr, "cannot write pid file %s: %s\n", path_, strerror(errno));
    }
    // Removes the file, only when it is still the one this process locked.
    void remove()
    {
        if (fd_ && names_this(fd_.get())) unlink(path_);
        fd_.reset();
    }
    // In a child: the lock stays with the parent alone.
    void forget() { fd_.reset(); }

private:
    lock_result failed(const char *what)
    {
        fprintf(stderr, "%s %s: %s\n", what, path_, strerror(errno));
        return lock_result::failed;
    }
    bool names_this(int fd) const
    {
        struct stat held {}, named {};
        return fstat(fd, &held) == 0 && S_ISREG(held.st_mode) && lstat(path_, &named) == 0 &&
               held.st_dev == named.st_dev && held.st_ino == named.st_ino;
    }

    unique_fd fd_;
    const char *path_ = "";
};

pid_file the_pid_file;

void remove_pid_file()
{
    if (config.debug) printf("removing pid\n");
    the_pid_file.remove();
}

void print_banner()
{
    time_t now = time(nullptr);
    tzset();
    struct tm tm {};
    localtime_r(&now, &tm);
    printf("[%d-%02d-%02d %02d:%02d:%02d %s] vesk v%s started\n", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
           tm.tm_hour, tm.tm_min, tm.tm_sec, tzname[0], VESK_VERSION);
}

// A system counter run once in its own registry slot: init, update and dump, then free.
void run_counter_once(int slot)
{
    const mycustom_ops &ops = core_counter_ops(slot);
    vesk_mycustom_counter *c = &stats.core_counters[slot];
    mycustom_set(c, nullptr,
                 {.init = ops.init, .update = ops.update, .tobson = ops.tobson, .dump = ops.dump, .free = ops.free});
    if (c->init) c->init(c);
    if (c->update) c->update(c);
    if (c->dump) c->dump(c);
    if (c->free) c->free(c);
}

// The value after an option; none when the option is the last argument.
const char *option_value(int argc, char **argv, int &i)
{
    if (i + 1 >= argc) {
        printf("Option %s needs a value, ignored\n", argv[i]);
        return nullptr;
    }
    return argv[++i];
}

void set_log_level(const char *word)
{
    char level[32];
    vesk_copy(level, word);
    if (strcmp(level, "debug") == 0) {
        config.log_level = LOG_LEVEL_DEBUG;
        config.debug = 1;
    } else if (strcmp(level, "info") == 0) {
        config.log_level = LOG_LEVEL_INFO;
    } else if (strcmp(level, "warning") == 0) {
        config.log_level = LOG_LEVEL_WARNING;
    } else if (strcmp(level, "error") == 0) {
        config.log_level = LOG_LEVEL_ERROR;
    } else {
        _vesk_log(LOG_LEVEL_WARNING, "\33[0;35m[warn] unknown log-level '%s', using 'info'\33[0;0m\n", level);
        config.log_level = LOG_LEVEL_INFO;
    }
}

void set_debug_modules(const char *list)
{
    printf("debugging modules: %s\n", list);
    const char *p = list;
    for (;;) {
        const char *comma = strchr(p, ',');
        std::string word(p, comma ? static_cast<size_t>(comma - p) : strlen(p));
        if (word == "multi" || word == "mc")
            config.mod_debug |= VESK_DEBMOD_MULTI;
        else if (word == "custom")
            config.mod_debug |= VESK_DEBMOD_CUSTOM;
        else if (word == "procsys")
            config.mod_debug |= VESK_DEBMOD_PROCSYS;
        else
            printf("[warning] unknown module '%s' in --debmod, ignoring\n", word.c_str());
        if (!comma) break;
        p = comma + 1;
    }
}

} // namespace

void print_help()
{
    printf("VESK %s\n", VESK_VERSION);
    printf("Build on: %s\n", VESK_BUILD_ON);
    printf("  -h       print this message\n");
    printf("  -v       print version\n");
    printf("  --osver  print OS version\n");
    printf("  --debug  enable debug info\n");
    printf("  --config set config file (/etc/vesk.conf by default)\n");
    printf("  --conf-glob\tpattern for multi-config (/etc/vesk.d/*.conf by default)\n");
    printf("  --ifs    print net interfaces stats\n");
    printf("  --sock   print sockets stats\n");
}

void print_osversion() { run_counter_once(CORE_OS); }
void print_ifsstats() { run_counter_once(CORE_NET); }
void print_sockstats() { run_counter_once(CORE_SOCKET); }

void cat_file(const char *file_name)
{
    FILE *f = fopen(file_name, "r");
    if (!f) return;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) fwrite(buf, 1, n, stdout);
    fclose(f);
}

void cat_all_configs()
{
    printf("--- %s:\n", config.configFile);
    cat_file(config.configFile);
    glob_t g{};
    if (glob(config.extConfigPattern, 0, nullptr, &g) == 0) {
        for (size_t i = 0; i < g.gl_pathc; i++) {
            printf("\n--- %s:\n", g.gl_pathv[i]);
            cat_file(g.gl_pathv[i]);
        }
    }
    globfree(&g);
}

void run_config_editor(const char *file_name)
{
    fflush(nullptr);
    const char *editor = getenv("EDITOR");
    if (editor && *editor) execlp(editor, editor, file_name, static_cast<char *>(nullptr));
    for (const char *e : {"nano", "vim", "vi"}) execlp(e, e, file_name, static_cast<char *>(nullptr));
    printf("error: cannot call 'nano', 'vim' or 'vi'\n");
    exit(0);
}

long long validate_config_file(const char *file_name)
{
    return ValidateConfName(he_string{file_name, static_cast<ptrdiff_t>(strlen(file_name))});
}

int parse_options(int argc, char **argv)
{
    config.log_level = LOG_LEVEL_WARNING;
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        const char *v = nullptr;
        if (strcmp(a, "-h") == 0) {
            print_help();
            exit(0);
        } else if (strcmp(a, "-v") == 0) {
            printf("%s\n", VESK_VERSION);
            printf("Build on: %s\n", VESK_BUILD_ON);
            exit(0);
        } else if (strcmp(a, "--log-level") == 0) {
            if ((v = option_value(argc, argv, i))) set_log_level(v);
        } else if (strcmp(a, "--osver") == 0) {
            print_osversion();
            exit(0);
        } else if (strcmp(a, "--debug") == 0) {
            config.log_level = LOG_LEVEL_DEBUG;
            config.debug = 1;
        } else if (strcmp(a, "--dump") == 0) {
            config.dump_packages = 1;
        } else if (strcmp(a, "-e") == 0) {
            run_config_editor(config.configFile);
        } else if (strcmp(a, "-l") == 0) {
            cat_all_configs();
            exit(0);
        } else if (strcmp(a, "--no-oom") == 0) {
            config.oom_watcher = 0;
            _vesk_log(LOG_LEVEL_INFO, "\33[0;32m[info] OOM watcher is off\33[0;0m\n");
        } else if (strcmp(a, "--debmod") == 0) {
            // The list is taken only when it is not itself an option.
            if (i + 1 < argc && argv[i + 1][0] && argv[i + 1][0] != '-') set_debug_modules(argv[++i]);
        } else if (strcmp(a, "--conf-glob") == 0) {
            if ((v = option_value(argc, argv, i))) {
                vesk_copy(config.extConfigPattern, v);
                printf("Ext config pattern: %s\n", config.extConfigPattern);
            }
        } else if (strcmp(a, "--procfs") == 0) {
            if ((v = option_value(argc, argv, i))) {
                vesk_copy(config.procFsPath, v);
                printf("procfs path: %s\n", config.procFsPath);
            }
        } else if (strcmp(a, "--sysfs") == 0) {
            if ((v = option_value(argc, argv, i))) {
                vesk_copy(config.sysFsPath, v);
                printf("sysfs path: %s\n", config.sysFsPath);
            }
        } else if (strcmp(a, "--config") == 0) {
            if ((v = option_value(argc, argv, i))) {
                vesk_copy(config.configFile, v);
                printf("Config file: %s\n", config.configFile);
            }
        } else if (strcmp(a, "--ifs") == 0) {
            print_ifsstats();
            exit(0);
        } else if (strcmp(a, "--sock") == 0) {
            print_sockstats();
            exit(0);
        } else if (strcmp(a, "--showconfig") == 0) {
            config.showconfigonly = 1;
        } else if (strcmp(a, "-t") == 0) {
            if (i + 1 < argc) {
                vesk_strlcpy(config.configFile, argv[i + 1], 257);
                validate_config_file(config.configFile);
            } else {
                ValidateConfig();
            }
            exit(0);
        } else {
            printf("Unknown option %s\n", a);
        }
    }
    return 0;
}

void parentThread(pid_t pid)
{
    if (config.mysql_on) {
        printf("Mysql is on\n");
        if (vesk_mysql_load()) printf("Mysql found and loaded = %s\n", config.mysql_lib);
    }
    if (config.postgre_on) {
        printf("Postgre is on\n");
        if (vesk_postgre_load()) printf("Postgre found and loaded = %s\n", config.postgre_lib);
    }
    setCoreCounters();
    initPlugins();
    initCounters(time(nullptr));
    main_loop();
    freeCounters();
    if (config.plugins_on) unloadPlugins();
    if (config.known_plugins) {
        str_list_free(config.known_plugins);
        config.known_plugins = nullptr;
    }
    // Both children stop with the parent: a docker child left behind would later remove
    // the container table of the next agent started with the same identity.
    if (pid != 0) {
        printf("Killing child...\n");
        kill(pid, SIGTERM);
    }
    if (config.mysql_handle) {
        printf("Closing libmysql\n");
        vesk_mysql_unload();
    }
    if (config.postgre_handle) {
        printf("Closing libpq\n");
        vesk_postgre_unload();
    }
    if (config.docker) {
        if (vesk_docker_count(config.docker) && config.debug) printf("Freeing docker-related structures\n");
        // The docker child removes the table when it stops, but a customs child never
        // does: the parent removes it in either case.
        vesk_docker_remove_table();
    }
    for (size_t i = 0; i < config.extConfigFiles.size(); i++)
        printf("Freeing [%d] %s\n", static_cast<int>(i), config.extConfigFiles[i].c_str());
    config.extConfigFiles.clear();
    remove_pid_file();
}

void childThread()
{
    if (initCustomsCounters(time(nullptr)) != 0) {
        fprintf(stderr, "[error] [pid %d] could not initialize custom counters, exiting with code 2\n", getpid());
        exit(2);
    }
    sleep(1);
    customs_loop();
    freeCustomsCounters();
}

void dockerThread()
{
    sleep(1);
    // Stopped within that second: the parent removes the table as it ends.
    if (stop) return;
    key_t key = vesk_shm_next_key(config.shm_key);
    int id = vesk_shm_lookup(key, sizeof(vesk_docker_t));
    if (id < 0) {
        perror("[docker-child] shmget() failed");
        printf("[docker-child] shmget() failed for key = %d, id=%d\n", key, id);
        return;
    }
    shm_attachment seg = vesk_shm_attach(id);
    if (!seg) {
        perror("[docker-child] shmat() failed");
        return;
    }
    // The parent may have added containers during this first second: keep them.
    config.docker = static_cast<vesk_docker_t *>(seg.release());
    printf("[docker-child] shmat() succeeded key = %d\n", key);
    docker_loop();
}

int vesk_main(int argc, char **argv)
{
    // Every process writes its lines as they happen, so a journal shows a child's
    // lines while it runs and keeps them when it is killed. Set before any output.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (getuid() != 0) {
        printf("ERROR: you must be root!\n");
        return 1;
    }
    // A peer that closes a socket early is a failed send, never a dead agent.
    signal(SIGPIPE, SIG_IGN);
    init_config();
    parse_options(argc, argv);
    // Before the configuration is read: reading it creates the container table.
    if (!config.showconfigonly && the_pid_file.lock(VESK_PID_FILE) == pid_file::lock_result::held) {
        printf("ERROR: already running\n");
        return 1;
    }
    if (parse_config() != 0) {
        the_pid_file.remove();
        printf("ERROR: bad config!\n");
        return 1;
    }
    srand(static_cast<unsigned>(time(nullptr)));
    config.randomsecond = static_cast<int>(static_cast<unsigned>(rand()) % config.interval);
    vesk_clock_origin_ns = vesk_clock_offset_ns(); // before the fork: both loops share it
    print_banner();
    if (config.showconfigonly) {
        print_config();
        return 0;
    }
    if (config.debug) print_config();
    the_pid_file.write();
    install_stop_handler(SIGTERM);
    install_stop_handler(SIGABRT);
    install_stop_handler(SIGINT);
    fflush(nullptr);

    if (stats.ncustom_counters || stats.nmulticustom_counters) {
        auto [parent_end, child_end] = customs_link_pair();
        pid_t pid = fork();
        if (pid < 0) {
            printf("ERROR: Can't fork\n");
            remove_pid_file();
            return 1;
        }
        if (pid > 0) {
            printf("[%d] MAIN process\n", getpid());
            customs_link = std::move(parent_end);
            child_end.reset();
            parentThread(pid);
            return 0;
        }
        the_pid_file.forget();
        customs_link = std::move(child_end);
        parent_end.reset();
        printf("[%d] Forked CUSTOMS child\n", getpid());
        childThread();
        return 0;
    }
    pid_t pid = fork();
    if (pid < 0) {
        printf("Can't fork docker child\n");
        remove_pid_file();
        return 1;
    }
    if (pid > 0) {
        printf("Successfully forked docker child pid = %d\n", pid);
        parentThread(pid);
        return 0;
    }
    the_pid_file.forget();
    dockerThread();
    return 0;
}
