// One socket scan of the agent against `ss` on the same sockets, timed in
// the same run: the scan (socket diagnostics with each TCP connection's
// tcp_info, owners, flow groups and the store, the figures per
// application) as the agent runs it once per interval, the same scan
// without tcp_info (the plain netlink scan), `ss -tan` and `ss -tanp`
// (each a whole program run, exec to exit), interleaved, medians of ROUNDS.
// First on the host as it is, then with SOCKETS more TCP sockets (half as
// many loopback connections, held by this program).  Also shown: the
// program's first scan and the first after the sockets appear (owners are
// looked up in both), the scan from the /proc/net text when socket
// diagnostics are refused, the heap that the new sockets took, and the
// heap per application (1000 made-up programs).  Prints a
// "row" line of figures per phase (read by bench/peers.sh) and a "ratio"
// line.  Not part of any test run.
//
//   sockets_bench [SOCKETS] [ROUNDS]      (default 10000 and 15)
//
// With --record DIR it writes the fixture of the agent's socket tests
// instead: a few sockets of known kinds and states, the four /proc/net
// tables and the three socket-diagnostics answers that describe them, and
// "sockets" (name and inode of each socket made).  Run it where no other
// socket exists, a network namespace of its own:
//
//   unshare -n sh -c 'ip link set lo up && sockets_bench --record tests/agent/data'
#include <arpa/inet.h>
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "../tests/agent/agent_engines.h"
#include "agent/agent_apps.h"
#include "agent/agent_diag.h"
#include "agent/agent_diag_internal.h"
#include "agent/agent_sockets.h"
#include "core/kern_timeout.h"
#include "core/kv_metadata.h"
#include "core/kv_metrics.h"
#include "core/kv_stats.h"
#include "core/timestamp.h"

extern char **environ;

namespace {

double now_ms() {
    return std::chrono::duration<double, std::milli>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// Runs `ss ARGS` with its output discarded; milliseconds from spawn to
// exit, or -1.
double run_ss(const char *args) {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    char *argv[] = {const_cast<char *>("ss"), const_cast<char *>(args), nullptr};
    const double t0 = now_ms();
    pid_t pid;
    int st = 0;
    if (posix_spawnp(&pid, "ss", &fa, nullptr, argv, environ) != 0) return -1;
    posix_spawn_file_actions_destroy(&fa);
    if (waitpid(pid, &st, 0) != pid || !WIFEXITED(st) || WEXITSTATUS(st) != 0) return -1;
    return now_ms() - t0;
}

int sockets_seen;
double scan_ms() {
    const double t0 = now_ms();
    ticks += 1000000;
    sockets_seen = agent_sockets_scan("/proc");
    return now_ms() - t0;
}

// The scan without the kernel's TCP figures: the plain netlink scan.
double plain_scan_ms() {
    agent_diag_ext = 0;
    const double ms = scan_ms();
    agent_diag_ext = AGENT_DIAG_EXT;
    return ms;
}

size_t heap_bytes() {
    return mallinfo2().uordblks;
}

// Heap per application: n made-up programs with one socket each, scanned
// once; their kvs and kvm come from pools allocated at start-up.
void app_memory(int n) {
    const size_t before = heap_bytes();
    struct agent_sock s = {};
    s.as_proto = IPPROTO_TCP;
    const uint64_t d[AA_NCOUNTERS] = {};
    for (int i = 0; i < n; i++) {
        char comm[32];  // "benchapp" and any int
        snprintf(comm, sizeof(comm), "benchapp%d", i);
        agent_apps_account(comm, true, &s, d);
    }
    agent_apps_scan_end(ticks += 1000000);
    const double per = double(heap_bytes() - before) / n;
    printf("row memory-app apps=%d heap_bytes_per_app=%.0f pooled_bytes_per_app=%zu\n", n, per,
           sizeof(struct kvs) + sizeof(struct kvm));
}

int refuse_open(void) {
    errno = EPROTONOSUPPORT;
    return -1;
}

// Interleaved rounds of the scan and both ss runs; prints the rows.
void compare(const char *label, int rounds) {
    std::vector<double> scan, plain, tan, tanp, text;
    for (int i = 0; i < rounds; i++) {
        // Each kind of scan in a run of three, the first not counted: the
        // scan after a change of kind stores every socket's values anew.
        for (int k = 0; k < 3; k++)
            if (double ms = scan_ms(); k > 0) scan.push_back(ms);
        for (int k = 0; k < 3; k++)
            if (double ms = plain_scan_ms(); k > 0) plain.push_back(ms);
        tan.push_back(run_ss("-tan"));
        tanp.push_back(run_ss("-tanp"));
    }
    const int seen = sockets_seen;
    // The text fallback: the same scan with the diagnostics refused.
    int (*open)(void) = agent_diag_sys.open;
    agent_diag_sys.open = refuse_open;
    agent_diag_close();
    for (int i = 0; i < rounds; i++)
        text.push_back(scan_ms());
    agent_diag_sys.open = open;
    scan_ms();
    const double s = median(scan), a = median(tan), p = median(tanp), t = median(text),
                 n = median(plain);
    printf(
        "row scan-%s sockets=%d agent_ms=%.2f plain_ms=%.2f ss_tan_ms=%.2f ss_tanp_ms=%.2f "
        "text_ms=%.2f\n",
        label, seen, s, n, a, p, t);
    printf(
        "ratio scan %s / ss -tan = %.2f, / ss -tanp = %.2f; text fallback / ss -tan = %.2f; "
        "with tcp_info / plain netlink = %.2f\n",
        label, s / a, s / p, t / a, s / n);
    if (*std::min_element(tan.begin(), tan.end()) < 0 ||
        *std::min_element(tanp.begin(), tanp.end()) < 0)
        printf("warning: ss failed in some rounds\n");
}

// n loopback connections (2n sockets); false when fewer could be made.
bool open_connections(int n, std::vector<int> *fds) {
    int l = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t al = sizeof(a);
    if (l < 0 || bind(l, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0 ||
        listen(l, 1024) != 0 || getsockname(l, reinterpret_cast<sockaddr *>(&a), &al) != 0)
        return false;
    fds->push_back(l);
    for (int i = 0; i < n; i++) {
        int c = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (c < 0 || connect(c, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0) return false;
        int s = accept4(l, nullptr, nullptr, SOCK_CLOEXEC);
        if (s < 0) return false;
        fds->push_back(c);
        fds->push_back(s);
    }
    return true;
}

// --record: the fixture of tests/agent/agent_sockets_test.cc.
struct recorder {
    std::string dir;
    FILE *manifest = nullptr;
    FILE *answer = nullptr;
    static recorder *self;

    static ssize_t tee(int fd, struct msghdr *msg) {
        ssize_t n = recvmsg(fd, msg, MSG_DONTWAIT);
        if (n > 0) fwrite(msg->msg_iov[0].iov_base, 1, size_t(n), self->answer);
        return n;
    }
    void name(const char *what, int fd) {
        struct stat st;
        fstat(fd, &st);
        fprintf(manifest, "%s %llu\n", what, static_cast<unsigned long long>(st.st_ino));
    }
    int sock(int family, int type, const char *addr) {
        int fd = socket(family, type, 0);
        struct sockaddr_storage ss = {};
        socklen_t len;
        if (family == AF_INET) {
            auto *a = reinterpret_cast<sockaddr_in *>(&ss);
            a->sin_family = AF_INET;
            inet_pton(AF_INET, addr, &a->sin_addr);
            len = sizeof(*a);
        } else {
            auto *a = reinterpret_cast<sockaddr_in6 *>(&ss);
            a->sin6_family = AF_INET6;
            inet_pton(AF_INET6, addr, &a->sin6_addr);
            len = sizeof(*a);
            int off = 0;
            setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof(off));
        }
        if (bind(fd, reinterpret_cast<sockaddr *>(&ss), len) != 0) {
            perror(addr);
            exit(1);
        }
        if (type == SOCK_STREAM) listen(fd, 8);
        return fd;
    }
    // A connection from a new socket of family to the listener l: {client, server}.
    std::pair<int, int> connect_to(int l, int family) {
        struct sockaddr_storage ss;
        socklen_t len = sizeof(ss);
        getsockname(l, reinterpret_cast<sockaddr *>(&ss), &len);
        if (family == AF_INET && ss.ss_family == AF_INET6) {  // to [::] by IPv4
            auto *a = reinterpret_cast<sockaddr_in *>(&ss);
            const uint16_t port = reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_port;
            *a = {};
            a->sin_family = AF_INET;
            a->sin_port = port;
            a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            len = sizeof(*a);
        }
        int c = socket(family, SOCK_STREAM, 0);
        if (connect(c, reinterpret_cast<sockaddr *>(&ss), len) != 0) {
            perror("connect");
            exit(1);
        }
        return {c, accept(l, nullptr, nullptr)};
    }
    int run() {
        mkdir(dir.c_str(), 0755);
        manifest = fopen((dir + "/sockets").c_str(), "w");
        int l4 = sock(AF_INET, SOCK_STREAM, "127.0.0.1");
        auto [c4, s4] = connect_to(l4, AF_INET);
        (void)!write(c4, "hello", 5);  // unread: s4's receive queue
        auto [c4b, s4b] = connect_to(l4, AF_INET);
        shutdown(c4b, SHUT_WR);  // c4b FIN_WAIT2, s4b CLOSE_WAIT
        auto [c4t, s4t] = connect_to(l4, AF_INET);
        close(c4t);  // c4t goes to TIME_WAIT once s4t closes
        usleep(50000);
        close(s4t);
        int l6 = sock(AF_INET6, SOCK_STREAM, "::1");
        auto [c6, s6] = connect_to(l6, AF_INET6);
        int ld = sock(AF_INET6, SOCK_STREAM, "::");
        auto [cm, sm] = connect_to(ld, AF_INET);  // sm: ::ffff:127.0.0.1
        int u4 = sock(AF_INET, SOCK_DGRAM, "127.0.0.1");
        int u4c = socket(AF_INET, SOCK_DGRAM, 0);
        struct sockaddr_in ua;
        socklen_t ul = sizeof(ua);
        getsockname(u4, reinterpret_cast<sockaddr *>(&ua), &ul);
        connect(u4c, reinterpret_cast<sockaddr *>(&ua), ul);
        (void)!write(u4c, "x", 1);  // unread: u4's receive queue
        int u6 = sock(AF_INET6, SOCK_DGRAM, "::1");
        usleep(100000);
        const std::pair<const char *, int> named[] = {
            {"listen4", l4}, {"c4", c4}, {"s4", s4},   {"c4b", c4b},    {"s4b", s4b},
            {"listen6", l6}, {"c6", c6}, {"s6", s6},   {"listend", ld}, {"cm", cm},
            {"sm", sm},      {"u4", u4}, {"u4c", u4c}, {"u6", u6}};
        for (auto &[n, fd] : named)
            name(n, fd);
        fclose(manifest);
        self = this;
        agent_diag_sys.recv = tee;
        for (const char *t : {"tcp", "tcp6", "udp", "udp6"})
            if (system(("cat /proc/net/" + std::string(t) + " > " + dir + "/" + t).c_str()) != 0)
                return 1;
        static const char *const dumps[AGENT_DIAG_DUMPS] = {"tcp", "udp", "udp6"};
        for (int d = 0; d < AGENT_DIAG_DUMPS; d++) {
            answer = fopen((dir + "/" + dumps[d] + ".nl").c_str(), "w");
            const int n = agent_diag_dump(
                d, [](void *, const struct agent_sock *) {}, nullptr);
            fclose(answer);
            if (n < 0) return 1;
            printf("%s: %d sockets\n", dumps[d], n);
        }
        return 0;
    }
};
recorder *recorder::self;

}  // namespace

int main(int argc, char **argv) {
    if (argc == 3 && strcmp(argv[1], "--record") == 0) {
        recorder r;
        r.dir = argv[2];
        return r.run();
    }
    const int want = argc > 1 ? atoi(argv[1]) : 10000;
    const int rounds = argc > 2 ? atoi(argv[2]) : 15;
    if (run_ss("-tan") < 0) {
        printf("skipped: ss (iproute2) is not installed or does not run\n");
        return 0;
    }
    // The store and the statistics engines: the scan needs nothing else of
    // the agent.
    agent_engines_start();
    agent_apps_start();

    const double first = scan_ms();
    printf("row scan-first sockets=%d agent_ms=%.2f\n", sockets_seen, first);
    compare("idle", rounds);

    struct rlimit rl;
    getrlimit(RLIMIT_NOFILE, &rl);
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);
    int conns = want / 2;
    if (rlim_t(want) + 64 > rl.rlim_cur) {
        conns = int((rl.rlim_cur - 64) / 2);
        printf("note: descriptor limit %llu, %d sockets instead of %d\n",
               static_cast<unsigned long long>(rl.rlim_cur), 2 * conns, want);
    }
    std::vector<int> fds;
    if (!open_connections(conns, &fds)) {
        printf("could not open %d loopback connections (%s)\n", conns, strerror(errno));
        return 1;
    }
    const size_t heap = heap_bytes();
    const int had = sockets_seen;
    const double appear = scan_ms();
    printf("row scan-new sockets=%d agent_ms=%.2f\n", sockets_seen, appear);
    printf("row memory-socket sockets=%d heap_bytes_per_socket=%.0f\n", sockets_seen - had,
           double(heap_bytes() - heap) / (sockets_seen - had));
    compare("loaded", rounds);
    if (sockets_seen < 2 * conns) printf("warning: the scan saw fewer sockets than were opened\n");
    for (int fd : fds)
        close(fd);
    agent_sockets_clear();
    app_memory(1000);
    agent_sockets_clear();
    return 0;
}
