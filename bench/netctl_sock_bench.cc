// Control socket: requests per second, one connection per request, op 1 on
// "core.nmem.stats.allocs", against a bare server loop measured in the same
// run (accept, read 132 bytes, send 356, close).  The clients are the same
// code for both servers.  Goal: at least 0.8 of the bare loop's rate.
//
//   netctl_sock_bench [--pin] [benchmark flags]
//
// Each benchmark runs three times, interleaved with the others; the best
// rate of each counts.
//
// --pin runs every thread of the process (clients and both servers) on CPU
// 0.  Without it the scheduler places them, and a request costs cross-CPU
// wake-ups: client and server hand the connection back and forth.
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "core/agent_config.h"
#include "core/netctl/netctl_sock.h"
#include "core/nmem.h"

namespace {

constexpr char REQ_NAME[] = "core.nmem.stats.allocs";
constexpr size_t ANSWER = sizeof(struct netctl_msg) + KV_RECORD_SIZE;  // 356
static_assert(ANSWER == 356);

struct agent_config cfg;
std::string rundir, netctl_sock, bare_sock;
int bare_fd = -1;
std::atomic<bool> bare_stop{false};
pthread_t bare_thread;

void *bare_loop(void *) {
    char req[sizeof(struct netctl_msg)];
    char answer[ANSWER] = {};
    while (!bare_stop.load()) {
        int c = accept4(bare_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) continue;
        size_t got = 0;
        while (got < sizeof(req)) {
            ssize_t n = recv(c, req + got, sizeof(req) - got, 0);
            if (n <= 0) break;
            got += size_t(n);
        }
        send(c, answer, sizeof(answer), MSG_NOSIGNAL);
        close(c);
    }
    return nullptr;
}

int bare_listen(const std::string &path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un sa = {};
    sa.sun_family = AF_UNIX;
    snprintf(sa.sun_path, sizeof(sa.sun_path), "%s", path.c_str());
    unlink(path.c_str());
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&sa), sizeof(sa)) != 0 ||
        listen(fd, NETCTL_BACKLOG) != 0) {
        perror("bare server");
        exit(1);
    }
    return fd;
}

void setup() {
    char tmpl[] = "/tmp/qorv-netctl-bench-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        perror("mkdtemp");
        exit(1);
    }
    rundir = tmpl;
    netctl_sock = rundir + "/" + NETCTL_SOCK_NAME;
    bare_sock = rundir + "/bare.sock";
    nmem_mod_init(nullptr);
    cfg.ac_rundir = rundir.data();
    agent_cfg = &cfg;
    netctl_mod_init(nullptr);
    bare_fd = bare_listen(bare_sock);
    pthread_create(&bare_thread, nullptr, bare_loop, nullptr);
    // The file appears at bind, a moment before the socket listens.
    for (int i = 0, fd; i < 3000; i++, usleep(1000)) {
        if ((fd = netctl_client_connect(netctl_sock.c_str(), 0)) < 0) continue;
        close(fd);
        break;
    }
}

void teardown() {
    netctl_mod_fini(nullptr);
    bare_stop.store(true);
    shutdown(bare_fd, SHUT_RDWR);
    pthread_join(bare_thread, nullptr);
    close(bare_fd);
    unlink(bare_sock.c_str());
    rmdir(rundir.c_str());
}

// One request on a new connection; the bytes of the whole answer.
size_t one_request(const std::string &path) {
    int fd = netctl_client_connect(path.c_str(), 0);
    if (fd < 0) return 0;
    netctl_client_request(fd, REQ_NAME, NETCTL_OP_READ, 0);
    char buf[1024];
    size_t total = 0;
    for (;;) {
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n <= 0) break;
        total += size_t(n);
    }
    close(fd);
    return total;
}

void run(benchmark::State &state, const std::string *path) {
    size_t bad = 0;
    for (auto _ : state) {
        size_t n = one_request(*path);
        asm volatile("" : : "r"(n) : "memory");
        bad += n != ANSWER;
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
    if (bad) state.SkipWithError("short or missing answers");
}

void BM_bare(benchmark::State &state) {
    run(state, &bare_sock);
}
void BM_netctl(benchmark::State &state) {
    run(state, &netctl_sock);
}

// Best requests-per-second of each benchmark over its repetitions.
class RateReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const auto &r : runs) {
            if (r.run_type != Run::RT_Iteration || r.error_occurred) continue;
            auto it = r.counters.find("items_per_second");
            if (it == r.counters.end()) continue;
            double &best = rate[r.benchmark_name()];
            if (it->second.value > best) best = it->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> rate;
};

}  // namespace

int main(int argc, char **argv) {
    // Repetitions of the two servers interleave, so that a busy spell on
    // this shared machine does not fall on one of them only.
    std::vector<char *> args = {argv[0],
                                const_cast<char *>("--benchmark_enable_random_interleaving=true")};
    bool pin = false;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--pin") == 0)
            pin = true;
        else
            args.push_back(argv[i]);
    }
    argc = int(args.size());
    argv = args.data();
    if (pin) {
        // Before any thread exists: every thread inherits it.
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(0, &set);
        if (sched_setaffinity(0, sizeof(set), &set) != 0) perror("sched_setaffinity");
    }
    setup();
    for (int threads : {1, 2}) {
        benchmark::RegisterBenchmark("BM_bare", BM_bare)
            ->Threads(threads)
            ->UseRealTime()
            ->Repetitions(3);
        benchmark::RegisterBenchmark("BM_netctl", BM_netctl)
            ->Threads(threads)
            ->UseRealTime()
            ->Repetitions(3);
    }
    benchmark::Initialize(&argc, argv);
    RateReporter rep;
    benchmark::RunSpecifiedBenchmarks(&rep);
    printf("threads %s\n", pin ? "pinned to CPU 0" : "unpinned");
    for (int threads : {1, 2}) {
        std::string suffix = "/repeats:3/real_time/threads:" + std::to_string(threads);
        double b = rep.rate["BM_bare" + suffix], n = rep.rate["BM_netctl" + suffix];
        if (b <= 0 || n <= 0) continue;
        printf(
            "ratio netctl / bare, %d client thread%s: %.0f / %.0f requests/s = %.3f (goal >= 0.8: "
            "%s)\n",
            threads, threads > 1 ? "s" : "", n, b, n / b, n / b >= 0.8 ? "met" : "missed");
    }
    benchmark::Shutdown();
    teardown();
    return 0;
}
