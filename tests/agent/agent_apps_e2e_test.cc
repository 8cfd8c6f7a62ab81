// The figures per application end to end, on the real kernel: this process,
// named qorv_e2e_send, sends over loopback TCP to a child named
// qorv_e2e_recv, and the agent's scan (socket diagnostics, /proc) counts
// their bytes; a tenfold burst after a steady minute of scans is a WARN
// line.  The clock is driven: each scan is one second later.  Runs in a
// network namespace of its own where it may make one, so that other sockets
// stay out.
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

#include "agent/agent_engines.h"
#include "support/test_support.h"

namespace {

struct AppsE2E : ::testing::Test {
    int conn = -1, report[2];  // the receiver writes how much it has read so far
    pid_t receiver = -1;
    uint64_t sent = 0, received = 0;

    void SetUp() override {
        if (unshare(CLONE_NEWNET) == 0) {  // its lo comes up down
            int fd = socket(AF_INET, SOCK_DGRAM, 0);
            struct ifreq ifr = {};
            snprintf(ifr.ifr_name, sizeof(ifr.ifr_name), "lo");
            ifr.ifr_flags = IFF_UP;
            ioctl(fd, SIOCSIFFLAGS, &ifr);
            close(fd);
        }
        agent_engines_start();
        agent_sockets_start("/proc");
        prctl(PR_SET_NAME, "qorv_e2e_send");
        scan();  // before the connection: the starting point
        int l = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t al = sizeof(a);
        ASSERT_TRUE(pipe(report) == 0 && bind(l, reinterpret_cast<sockaddr *>(&a), al) == 0 &&
                    listen(l, 1) == 0 &&
                    getsockname(l, reinterpret_cast<sockaddr *>(&a), &al) == 0);
        if ((receiver = fork()) == 0) {
            prctl(PR_SET_NAME, "qorv_e2e_recv");
            int c = accept(l, nullptr, nullptr);
            char buf[65536];
            uint64_t total = 0;
            for (ssize_t n; (n = read(c, buf, sizeof(buf))) > 0;)
                if (total += uint64_t(n); write(report[1], &total, sizeof(total)) < 0) break;
            _exit(0);
        }
        close(l);
        conn = socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_EQ(connect(conn, reinterpret_cast<sockaddr *>(&a), al), 0);
    }
    void TearDown() override {
        if (receiver > 0) kill(receiver, SIGKILL), waitpid(receiver, nullptr, 0);
        agent_sockets_stop();
    }
    // Sends n bytes and waits until the receiver has read them.
    void send(uint32_t n) {
        static char buf[1 << 16];
        for (uint32_t k; n > 0; n -= k, sent += k) {
            k = std::min<uint32_t>(n, sizeof(buf));
            ASSERT_EQ(write(conn, buf, k), ssize_t(k));
        }
        while (received < sent) {
            struct pollfd p = {report[0], POLLIN, 0};
            ASSERT_EQ(poll(&p, 1, 20000), 1) << "the receiver got " << received << " of " << sent;
            ASSERT_EQ(read(report[0], &received, sizeof(received)), ssize_t(sizeof(received)));
        }
    }
    static void scan() {
        ticks += 1000000;
        agent_sockets_scan("/proc");
    }
    static uint64_t total(const char *app, int i) {
        const struct agent_app_pub *p = agent_apps_find(app);
        return p != nullptr ? p->aap_total[i] : 0;
    }
};

TEST_F(AppsE2E, BytesOfBothEndsAndABurstWarning) {
    constexpr uint32_t N = 1234567;
    send(N);
    // The sender's count grows as the acknowledgements come in.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (scan();
         total("qorv_e2e_send", AA_TX_BYTES) < N && std::chrono::steady_clock::now() < deadline;
         scan())
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(total("qorv_e2e_send", AA_TX_BYTES), N);
    EXPECT_EQ(total("qorv_e2e_recv", AA_RX_BYTES), N);
    EXPECT_EQ(total("qorv_e2e_send", AA_RX_BYTES), 0u);
    EXPECT_EQ(agent_apps_find("qorv_e2e_recv")->aap_gauge[AA_CONNECTIONS], 1u);
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
