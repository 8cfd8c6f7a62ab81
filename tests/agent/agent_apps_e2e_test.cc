// The figures per application end to end, on the real kernel: a process
// named qorv_e2e_send sends over loopback TCP to one named qorv_e2e_recv,
// and the agent's scan (socket diagnostics, /proc) counts their bytes; a
// tenfold burst after a steady minute of scans is a WARN line.  The clock
// is driven: each scan is one second later.  Runs in a network namespace of
// its own where it may make one, so that other sockets stay out.
#include "../../src/agent/agent_diag.cc"
#include "../../src/agent/agent_sockets.cc"

#include <gtest/gtest.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

#include "core/kv_metrics.h"
#include "core/kv_stats.h"
#include "agent/agent_engines.h"
#include "support/test_support.h"

namespace {

// A forked child named name running fn; killed at the end of the test.
pid_t child(const char *name, const std::function<void()> &fn) {
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_NAME, name);
        fn();
        _exit(0);
    }
    return pid;
}

void write_all(int fd, const void *p, size_t n) {
    for (size_t off = 0; off < n;) {
        ssize_t w = write(fd, static_cast<const char *>(p) + off, n - off);
        if (w <= 0) _exit(1);
        off += size_t(w);
    }
}

struct AppsE2E : ::testing::Test {
    int to_sender[2], from_receiver[2];
    pid_t sender = -1, receiver = -1;
    uint64_t sent = 0, received = 0;

    void SetUp() override {
        if (unshare(CLONE_NEWNET) == 0) {  // lo comes up down
            int fd = socket(AF_INET, SOCK_DGRAM, 0);
            struct ifreq ifr = {};
            snprintf(ifr.ifr_name, sizeof(ifr.ifr_name), "lo");
            ifr.ifr_flags = IFF_UP;
            ioctl(fd, SIOCSIFFLAGS, &ifr);
            close(fd);
        }
        agent_engines_start();
        agent_sockets_start("/proc");
        ASSERT_EQ(pipe(to_sender), 0);
        ASSERT_EQ(pipe(from_receiver), 0);
    }
    void TearDown() override {
        for (pid_t p : {sender, receiver})
            if (p > 0) kill(p, SIGKILL), waitpid(p, nullptr, 0);
        agent_sockets_stop();
    }
    // The two processes, connected.
    void start() {
        int l = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t al = sizeof(a);
        ASSERT_EQ(bind(l, reinterpret_cast<sockaddr *>(&a), sizeof(a)), 0);
        ASSERT_EQ(listen(l, 1), 0);
        ASSERT_EQ(getsockname(l, reinterpret_cast<sockaddr *>(&a), &al), 0);
        receiver = child("qorv_e2e_recv", [&] {  // reports every byte it reads
            int c = accept(l, nullptr, nullptr);
            char buf[65536];
            uint64_t total = 0;
            for (ssize_t n; (n = read(c, buf, sizeof(buf))) > 0;) {
                total += uint64_t(n);
                write_all(from_receiver[1], &total, sizeof(total));
            }
        });
        sender = child("qorv_e2e_send", [&] {  // sends as many bytes as it is told
            int c = socket(AF_INET, SOCK_STREAM, 0);
            if (connect(c, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0) _exit(1);
            static char buf[65536];
            for (uint32_t n; read(to_sender[0], &n, sizeof(n)) == sizeof(n);)
                for (uint32_t k; n > 0; n -= k)
                    write_all(c, buf, k = std::min<uint32_t>(n, sizeof(buf)));
        });
        close(l);
    }
    // Sends n bytes and waits until the receiver has read them.
    void send(uint32_t n) {
        write_all(to_sender[1], &n, sizeof(n));
        sent += n;
        while (received < sent) {
            struct pollfd p = {from_receiver[0], POLLIN, 0};
            ASSERT_EQ(poll(&p, 1, 20000), 1) << "the receiver got " << received << " of " << sent;
            ASSERT_EQ(read(from_receiver[0], &received, sizeof(received)), ssize_t(sizeof(received)));
        }
    }
    void scan() {
        ticks += 1000000;
        agent_sockets_scan("/proc");
    }
    static uint64_t total(const char *app, int i) {
        const struct agent_app_pub *p = agent_apps_find(app);
        return p != nullptr ? p->aap_total[i] : 0;
    }
};

TEST_F(AppsE2E, BytesOfBothEndsAndABurstWarning) {
    scan();  // before the processes: the starting point
    start();
    constexpr uint32_t N = 1234567;
    send(N);
    // The sender's count grows as the acknowledgements come in.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    do
        scan();
    while ((total("qorv_e2e_send", AA_TX_BYTES) < N || total("qorv_e2e_recv", AA_RX_BYTES) < N) &&
           std::chrono::steady_clock::now() < deadline &&
           (std::this_thread::sleep_for(std::chrono::milliseconds(10)), true));
    EXPECT_EQ(total("qorv_e2e_send", AA_TX_BYTES), N);
    EXPECT_EQ(total("qorv_e2e_recv", AA_RX_BYTES), N);
    EXPECT_EQ(total("qorv_e2e_send", AA_RX_BYTES), 0u);
    EXPECT_EQ(agent_apps_find("qorv_e2e_send")->aap_gauge[AA_CONNECTIONS], 1u);
    // A steady minute of 1000 bytes a second, then ten times as much.
    for (int i = 0; i < AGENT_APPS_WINDOW; i++) {
        send(1000);
        scan();
    }
    send(10000);
    const std::string log = qt::echoed([&] { scan(); });
    EXPECT_NE(log.find(" WARN agent_apps: application qorv_e2e_recv rx_bytes_s 10000 outside its "
                       "three-sigma band 1000 .. 1000"),
              std::string::npos)
        << log;
}

}  // namespace
