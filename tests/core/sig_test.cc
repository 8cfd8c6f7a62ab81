#include "core/sig.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <cstring>

#include "core/agent_config.h"
#include "core/child.h"
#include "core/logging.h"
#include "core/nassert.h"

namespace {

// Logging to base.0 and the signal module started, as in an agent.
void start(const std::string &base) {
    qt::log_to(base);
    sig_init(nullptr);
}

TEST(Sig, FatalSignalsAreLoggedAndEndTheProcess) {
    qt::TempDir dir;
    auto r = qt::run_child([&] {
        start(dir / "segv");
#ifdef QORV_SANITIZED
        // The sanitizers report a real bad access themselves and exit.
        raise(SIGSEGV);
#else
        *static_cast<volatile int *>(nullptr) = 1;
#endif
    });
    EXPECT_TRUE(r.killed_by(SIGSEGV)) << r.status;
    std::string log = qt::read_file(dir / "segv.0");
    EXPECT_EQ(qt::count_of(log, " INFO signal Segmentation fault being processed\n"), 1u) << log;
    EXPECT_EQ(qt::count_of(log, " ERROR print_backtrace:\n"), 1u);
    EXPECT_LT(log.find("sig_fatal_handler"), log.find("sig_dispatch"));  // innermost first

    r = qt::run_child([&] {
        start(dir / "abrt");
        int rc = 1;
        N_ASSERT(rc == 0);
    });
    EXPECT_TRUE(r.killed_by(SIGABRT)) << r.status;
    log = qt::read_file(dir / "abrt.0");
    EXPECT_EQ(qt::count_of(log, " INFO signal Aborted being processed\n"), 1u) << log;
    EXPECT_NE(log.find("(abort+"), std::string::npos);  // the frame that raised it

    r = qt::run_child([&] { start(dir / "term"), raise(SIGTERM), pause(); });
    EXPECT_TRUE(r.killed_by(SIGTERM)) << r.status;
    log = qt::read_file(dir / "term.0");
    EXPECT_EQ(qt::count_of(log, "signal"), 1u) << log;  // no back-trace
    EXPECT_EQ(qt::count_of(log, " INFO signal Terminated being processed\n"), 1u);
}

// SIGTERM reaches a thread blocked inside tr_log holding the log file's
// lock (the log is a pipe nobody reads).  The handler must not wait for
// that lock: the process still ends by SIGTERM, and says so on stderr.
TEST(Sig, TermWhileInsideTrLogStillEnds) {
    qt::TempDir dir;
    ASSERT_EQ(mkfifo((dir / "fifo.0").c_str(), 0600), 0);
    int rd = open((dir / "fifo.0").c_str(), O_RDONLY | O_NONBLOCK);
    auto r = qt::run_child(
        [&] {
            start(dir / "fifo");
            for (std::string fill(1000, 'x');;)
                tr_log(1, TR_INFO, "%s", fill.c_str());
        },
        5000,
        [&](pid_t pid) {
            for (int i = 0, avail = 0, last = -1, same = 0; i < 2000 && same < 20; i++) {
                ioctl(rd, FIONREAD, &avail);  // until the pipe stops filling
                same = avail > 0 && avail == last ? same + 1 : 0;
                last = avail;
                usleep(1000);
            }
            kill(pid, SIGTERM);
        });
    close(rd);
    EXPECT_TRUE(r.killed_by(SIGTERM)) << r.status << " (-1: the handler waited for the lock)";
    EXPECT_NE(r.err.find("signal Terminated being processed\n"), std::string::npos) << r.err;
}

std::vector<int> seen;
void handler_a(int s) {
    seen.push_back(s);
}
void handler_b(int s) {
    seen.push_back(-s);
}
void (*action(int signo))(int) {
    struct sigaction cur;
    sigaction(signo, nullptr, &cur);
    return cur.sa_handler;
}

TEST(Sig, RegisterInstallsOnceReplacesAndClearingRestoresTheDefault) {
    sig_register(SIGUSR1, handler_a);
    EXPECT_EQ(action(SIGUSR1), sig_dispatch);
    raise(SIGUSR1);
    signal(SIGUSR1, handler_b);  // a second handler does not install again
    sig_register(SIGUSR1, handler_b);
    EXPECT_EQ(action(SIGUSR1), handler_b);
    sig_dispatch(SIGUSR1);
    sig_register(SIGUSR1, nullptr);  // default action again; the dispatcher skips it
    EXPECT_EQ(action(SIGUSR1), SIG_DFL);
    sig_dispatch(SIGUSR1);
    sig_register(SIGUSR2, handler_a);  // not in the table: ignored
    EXPECT_EQ(action(SIGUSR2), SIG_DFL);
    EXPECT_EQ(seen, (std::vector<int>{SIGUSR1, -SIGUSR1}));
    auto lines = qt::split_lines(qt::captured([] { print_backtrace(); }));
    ASSERT_GE(lines.size(), 3u);
    EXPECT_NE(lines[0].find(" ERROR print_backtrace:"), std::string::npos);
    // Innermost first (an address sanitizer's interceptor may come before).
    EXPECT_NE((lines[1] + lines[2]).find("print_backtrace"), std::string::npos);
}

}  // namespace
