// Supervisor measurements, against baselines taken in the same run:
//
// 1. Restart latency: from the moment an agent is about to _exit to the
//    moment the next agent reaches main().  Baseline: the same interval in
//    a bare fork + exec + waitpid loop run by this program itself, with the
//    same executable as child, which also lives 150 ms first so that the
//    parent waits idle as the supervisor does.
// 2. Idle memory of a supervisor whose agent is running: Private_Dirty and
//    Rss from /proc/PID/smaps_rollup.
//
// This program is also the agent: installed as ROOT/bin/qorv-netagent (a
// symbolic link), it is started with argv[0] "qorv-netagent".  It records
// CLOCK_MONOTONIC on entry to main and just before exiting, so the numbers
// include process teardown, the supervisor's wake-up, reaping, fork, exec
// and dynamic loading, as a real restart does.
//
// Usage: supervisor_bench [rounds]   (8 supervisors per round, default 4)
// On a machine shared with builds, "chrt -f 10 supervisor_bench" keeps
// other work from dominating both figures.
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

static int64_t now_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

static void append(const std::string &path, const char *what, int64_t t) {
    char line[64];
    int n = snprintf(line, sizeof(line), "%s %lld\n", what, static_cast<long long>(t));
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd >= 0) {
        if (write(fd, line, static_cast<size_t>(n)) != n) perror("write");
        close(fd);
    }
}

static std::string slurp(const std::string &path) {
    std::string out;
    FILE *f = fopen(path.c_str(), "r");
    if (f == nullptr) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
        out.append(buf, n);
    fclose(f);
    return out;
}

static void wait_for_term(void) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    int sig;
    sigwait(&set, &sig);
}

// Agent mode: "-c C -l LOGDIR -r R".  First run: live for the given time,
// record the end and exit.  Later runs: record the start and idle.
static int agent_main(int64_t t_main, int argc, char **argv) {
    std::string logdir = argc > 4 ? argv[4] : ".";
    std::string times = logdir + "bench.times";
    std::string life = logdir + "bench.life";
    if (access(times.c_str(), F_OK) != 0) {
        long ms = atol(slurp(life).c_str());
        append(times, "first", t_main);
        struct timespec d = {ms / 1000, (ms % 1000) * 1000000};
        nanosleep(&d, nullptr);
        append(times, "end", now_ns());
        _exit(0);
    }
    append(times, "start", t_main);
    wait_for_term();
    return 0;
}

// Baseline child modes: "end FILE" records and exits at once, as a dying
// agent; "start FILE" records its entry to main, as a new agent.
static int baseline_child(int64_t t_main, const char *mode, const char *file) {
    if (strcmp(mode, "start") == 0) {
        append(file, "start", t_main);
    } else {
        // Like a supervised agent, it has lived a while: the parent has
        // been idle, not spinning through back-to-back samples.
        struct timespec d = {0, 150 * 1000000};
        nanosleep(&d, nullptr);
        append(file, "end", now_ns());
    }
    _exit(0);
}

static pid_t run_self(const char *self, const char *mode, const char *file) {
    pid_t pid = fork();
    if (pid == 0) {
        execl(self, self, "--child", mode, file, static_cast<char *>(nullptr));
        _exit(127);
    }
    return pid;
}

static int64_t value_of(const std::string &text, const std::string &key) {
    size_t at = text.find(key + " ");
    return at == std::string::npos ? -1 : atoll(text.c_str() + at + key.size() + 1);
}

static int64_t median(std::vector<int64_t> v) {
    if (v.empty()) return -1;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The bare loop: a child ends, waitpid returns, the next child is started.
static std::vector<int64_t> baseline(const char *self, const std::string &dir, int n) {
    std::vector<int64_t> out;
    std::string file = dir + "/baseline.times";
    for (int i = 0; i < n; i++) {
        unlink(file.c_str());
        int st;
        waitpid(run_self(self, "end", file.c_str()), &st, 0);
        waitpid(run_self(self, "start", file.c_str()), &st, 0);
        std::string t = slurp(file);
        out.push_back(value_of(t, "start") - value_of(t, "end"));
    }
    return out;
}

static std::string make_root(const std::string &base, int i, const char *self, long life_ms) {
    std::string root = base + "/r" + std::to_string(i) + "/";
    mkdir(root.c_str(), 0755);
    for (const char *d : {"bin", "conf", "logs", "run", "home"})
        mkdir((root + d).c_str(), 0755);
    if (symlink(self, (root + "bin/qorv-netagent").c_str()) != 0) perror("symlink");
    FILE *f = fopen((root + "logs/bench.life").c_str(), "w");
    if (f != nullptr) {
        fprintf(f, "%ld\n", life_ms);
        fclose(f);
    }
    return root;
}

static pid_t start_netmon(const std::string &root) {
    std::string prog = std::string(QORV_BIN_DIR) + "/qorv-netmon";
    pid_t pid = fork();
    if (pid == 0) {
        execl(prog.c_str(), prog.c_str(), "-r", root.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    int st;
    waitpid(pid, &st, 0);
    // The daemon detaches; its pid is in its pid file.
    for (int i = 0; i < 500; i++) {
        pid_t d = static_cast<pid_t>(atol(slurp(root + "run/qorv-netmon.pid").c_str()));
        if (d > 0) return d;
        usleep(10000);
    }
    return -1;
}

// This process is the daemons' subreaper, so it can wait for them.
static void stop_netmon(pid_t daemon) {
    if (daemon <= 0) return;
    kill(daemon, SIGTERM);
    int st;
    waitpid(daemon, &st, 0);
    while (waitpid(-1, &st, WNOHANG) > 0) {
    }
}

// One round: n supervisors whose first agents end at staggered times.
static void restart_round(const char *self, const std::string &base, int round, int n,
                          std::vector<int64_t> &out) {
    std::vector<std::string> roots;
    std::vector<pid_t> daemons;
    for (int i = 0; i < n; i++) {
        roots.push_back(make_root(base, round * n + i, self, 3200 + 150L * i));
        daemons.push_back(start_netmon(roots.back()));
    }
    for (int i = 0; i < n; i++) {
        std::string t;
        for (int k = 0; k < 1000 && value_of(t, "start") < 0; k++) {
            usleep(10000);
            t = slurp(roots[i] + "logs/bench.times");
        }
        if (value_of(t, "start") > 0) out.push_back(value_of(t, "start") - value_of(t, "end"));
        stop_netmon(daemons[i]);
    }
}

static long smaps_kib(pid_t pid, const char *field) {
    std::string t = slurp("/proc/" + std::to_string(pid) + "/smaps_rollup");
    size_t at = t.find(std::string("\n") + field + ":");
    return at == std::string::npos ? -1 : atol(t.c_str() + at + strlen(field) + 2);
}

static void idle_memory(const char *self, const std::string &base) {
    std::string root = make_root(base, 999, self, 0);
    // An existing times file puts the agent straight into its idle mode.
    append(root + "logs/bench.times", "idle", 0);
    pid_t d = start_netmon(root);
    sleep(3);  // past the first passes
    printf(
        "supervisor idle (pid %d): Private_Dirty %ld KiB (target <= 256 KiB), Rss %ld KiB, "
        "Pss %ld KiB\n",
        d, smaps_kib(d, "Private_Dirty"), smaps_kib(d, "Rss"), smaps_kib(d, "Pss"));
    stop_netmon(d);
}

int main(int argc, char **argv) {
    int64_t t_main = now_ns();
    const char *base = strrchr(argv[0], '/');
    base = base ? base + 1 : argv[0];
    if (strcmp(base, "qorv-netagent") == 0) return agent_main(t_main, argc, argv);
    if (argc == 4 && strcmp(argv[1], "--child") == 0)
        return baseline_child(t_main, argv[2], argv[3]);

    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (n <= 0) return 1;
    self[n] = '\0';
    char tmpl[] = "/tmp/qorv-bench-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return 1;
    int rounds = argc > 1 ? atoi(argv[1]) : 4;
    prctl(PR_SET_CHILD_SUBREAPER, 1);

    // Baseline samples are taken between the rounds, so that both sets see
    // the same load on a shared machine.
    std::vector<int64_t> base_ns, sup_ns;
    for (int r = 0; r <= rounds; r++) {
        std::vector<int64_t> b = baseline(self, tmpl, 20);
        base_ns.insert(base_ns.end(), b.begin(), b.end());
        if (r < rounds) restart_round(self, tmpl, r, 8, sup_ns);
    }
    if (sup_ns.empty()) {
        printf("no supervised restart was observed\n");
        return 1;
    }
    int64_t b = median(base_ns), s = median(sup_ns);
    printf("bare end->exec (fork+exec+waitpid loop), median of %zu: %lld us\n", base_ns.size(),
           static_cast<long long>(b / 1000));
    printf("supervised restart end->exec, median of %zu: %lld us (min %lld, max %lld)\n",
           sup_ns.size(), static_cast<long long>(s / 1000),
           static_cast<long long>(*std::min_element(sup_ns.begin(), sup_ns.end()) / 1000),
           static_cast<long long>(*std::max_element(sup_ns.begin(), sup_ns.end()) / 1000));
    printf("difference: %lld us (target <= 1000 us)\n", static_cast<long long>((s - b) / 1000));
    idle_memory(self, tmpl);
    std::string rm = std::string("rm -rf ") + tmpl;
    return system(rm.c_str()) == 0 ? 0 : 1;
}
