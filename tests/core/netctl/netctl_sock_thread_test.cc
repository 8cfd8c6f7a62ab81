// Control socket: the server thread's life.  Start without a usable
// socket, shut-down, restarts, the socket file's mode, and accept failures.
// Tests that need a server start their own and stop it again.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include "core/child.h"
#include "core/logging.h"
#include "core/netctl/sock_fixture.h"

namespace {

using ::testing::HasSubstr;
using namespace sockt;

std::string run_thread_with(const char *rundir) {
    struct agent_config cfg = {};
    cfg.ac_rundir = const_cast<char *>(rundir);
    struct agent_config *saved = agent_cfg;
    agent_cfg = &cfg;
    std::string out = qt::capture_stdout([] { netctl_threadfn(nullptr); });
    agent_cfg = saved;
    return out;
}

int umask_now() {
    mode_t m = umask(0);
    umask(m);
    return int(m);
}

TEST(NetctlSockThread, EndsAtOnceWithoutAUsableSocket) {
    EXPECT_THAT(run_thread_with(nullptr), HasSubstr("ERROR netctl_threadfn: Run dir not set.\n"));
    EXPECT_THAT(run_thread_with(""), HasSubstr("ERROR netctl_threadfn: Run dir not set.\n"));
    EXPECT_THAT(run_thread_with("/nonexistent/run"),
                HasSubstr("netctl_threadfn: bind error No such file or directory(2)\n"));
    // Too long for a socket address: said as such.
    std::string deep = "/tmp/" + std::string(100, 'd');
    EXPECT_THAT(run_thread_with(deep.c_str()),
                HasSubstr("netctl_threadfn: bind error File name too long(36)\n"));

    char a[256], b[256];
    EXPECT_EQ(netctl_sock_path(a, sizeof(a), "/x/run"), 23);
    EXPECT_EQ(netctl_sock_path(b, sizeof(b), "/x/run/"), 23);
    EXPECT_STREQ(a, "/x/run/qorv-netctl.sock");
    EXPECT_STREQ(b, a);
    EXPECT_EQ(netctl_sock_path(a, 23, "/x/run"), -1);
}

TEST(NetctlSockThread, ShutDownEndsTheThreadAndRemovesTheSocket) {
    register_test_tree();
    const int threads0 = count_threads();
    umask(027);
    {
        server s;
        s.start();
        EXPECT_EQ(count_threads(), threads0 + 1);
        // Any local user may connect, and the process umask is untouched.
        struct stat st;
        ASSERT_EQ(stat(s.sock.c_str(), &st), 0);
        EXPECT_TRUE(S_ISSOCK(st.st_mode));
        EXPECT_EQ(st.st_mode & 07777, 0666u);
        EXPECT_EQ(umask_now(), 027);
        EXPECT_EQ(ask(s.sock, "core.test.stats.hits", NETCTL_OP_READ).size(), 1u);

        std::string out = qt::capture_stdout([&] { s.stop(); });
        EXPECT_THAT(out, HasSubstr("INFO Netctl module destroyed\n"));
        // Waking the thread is not an error worth a line.
        EXPECT_THAT(out, ::testing::Not(HasSubstr("ERROR")));
        EXPECT_FALSE(qt::file_exists(s.sock));
        EXPECT_EQ(count_threads(), threads0);
        EXPECT_EQ(netctl_client_connect(s.sock.c_str(), 0), -ENOENT);

        // Started again, on the same run directory.
        s.start();
        EXPECT_EQ(ask(s.sock, "core.test.stats.hits", NETCTL_OP_READ).size(), 1u);
        s.stop();
    }
    // A stop right after the start, before or while the thread sets up its
    // socket, must neither hang nor leave a socket behind.
    const int fds0 = count_fds();
    for (int i = 0; i < 20; i++) {
        server s;
        s.cfg.ac_rundir = s.rundir.data();
        agent_cfg = &s.cfg;
        netctl_mod_init(nullptr);
        if (i % 2) usleep(100);
        netctl_mod_fini(nullptr);
        EXPECT_FALSE(qt::file_exists(s.sock)) << i;
    }
    {
        server s;
        s.start();
        EXPECT_EQ(ask(s.sock, "core.test.stats.hits", NETCTL_OP_READ).size(), 1u);
        s.stop();
    }
    EXPECT_EQ(count_threads(), threads0);
    EXPECT_EQ(count_fds(), fds0);
    umask(022);
}

TEST(NetctlSockThread, ClientConnectSaysWhichCallFailed) {
    int rc = 0;
    std::string out =
        qt::capture_stdout([&] { rc = netctl_aunix_connect("/nonexistent/qorv-netctl.sock"); });
    EXPECT_EQ(rc, -ENOENT);
    EXPECT_EQ(out, "netctl_aunix_connect: connect failed: No such file or directory");
    std::string deep = "/tmp/" + std::string(120, 'd');
    EXPECT_EQ(netctl_client_connect(deep.c_str(), 0), -ENAMETOOLONG);

    auto r = qt::run_child([] {
        struct rlimit low = {3, 3};
        setrlimit(RLIMIT_NOFILE, &low);
        CHILD_CHECK(netctl_aunix_connect("/nonexistent/x") == -EMFILE);
    });
    EXPECT_TRUE(r.exited(0)) << r.err;
    EXPECT_EQ(r.out, "netctl_aunix_connect: socket failed: Too many open files");
}

void on_usr2(int) {}

TEST(NetctlSockThread, AcceptSurvivesInterruptionsAndRunningOutOfDescriptors) {
    auto r = qt::run_child([] {
        register_test_tree();
        server s;
        s.start();
        // Interrupted accepts: signals without SA_RESTART, taken by the
        // server thread (this one blocks them).
        struct sigaction sa = {};
        sa.sa_handler = on_usr2;
        sigaction(SIGUSR2, &sa, nullptr);
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGUSR2);
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
        for (int i = 0; i < 20; i++) {
            kill(getpid(), SIGUSR2);
            usleep(500);
        }
        CHILD_CHECK(ask(s.sock, "core.test.stats.hits", NETCTL_OP_READ).size() == 1);

        // No descriptor left for accept.  The thread waiting in accept
        // already holds the number of its next connection, so the first
        // client is served; the next accept finds no number free.  The
        // second client waits, the server backs off instead of spinning,
        // and serves it once descriptors are back.
        int c[2] = {socket(AF_UNIX, SOCK_STREAM, 0), socket(AF_UNIX, SOCK_STREAM, 0)};
        struct sockaddr_un sa_un = {};
        sa_un.sun_family = AF_UNIX;
        strcpy(sa_un.sun_path, s.sock.c_str());
        struct rlimit old, low;
        getrlimit(RLIMIT_NOFILE, &old);
        low = old;
        low.rlim_cur = 3;
        setrlimit(RLIMIT_NOFILE, &low);
        for (int fd : c) {
            CHILD_CHECK(connect(fd, reinterpret_cast<struct sockaddr *>(&sa_un), sizeof(sa_un)) ==
                        0);
            CHILD_CHECK(netctl_client_request(fd, "core.test.stats.hits", NETCTL_OP_READ, 0) == 0);
        }
        struct rusage ru0, ru1;
        getrusage(RUSAGE_SELF, &ru0);
        usleep(500000);
        getrusage(RUSAGE_SELF, &ru1);
        auto us = [](const struct rusage &ru) {
            return (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1000000L + ru.ru_utime.tv_usec +
                   ru.ru_stime.tv_usec;
        };
        long cpu = us(ru1) - us(ru0);
        fprintf(stderr, "cpu while out of descriptors: %ld us\n", cpu);
        CHILD_CHECK(cpu < 150000);
        setrlimit(RLIMIT_NOFILE, &old);
        for (int fd : c) {
            CHILD_CHECK(read_replies(fd).size() == 1);
            close(fd);
        }
        s.stop();
    });
    EXPECT_TRUE(r.exited(0)) << r.status << "\n" << r.err;
    EXPECT_THAT(r.out, HasSubstr("netctl_threadfn: Too many open files(24)\n")) << r.err << r.out;
    EXPECT_THAT(r.out, ::testing::Not(HasSubstr("Interrupted system call")));
}

}  // namespace
