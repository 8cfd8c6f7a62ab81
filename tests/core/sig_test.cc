#include "core/sig.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <cstring>

#include "core/agent_config.h"
#include "core/capture.h"
#include "core/child.h"
#include "core/logging.h"
#include "core/nassert.h"

namespace {

// Points logging at base.0 in dir, as a started agent would.
void log_to(const std::string &base) {
    static struct agent_config cfg;
    cfg.ac_dest = strdup("file");
    cfg.ac_logfile = strdup(base.c_str());
    agent_cfg = &cfg;
    tr_init();
}

std::vector<std::string> lines_with(const std::string &text, const std::string &what) {
    std::vector<std::string> out;
    for (auto &l : qt::split_lines(text))
        if (l.find(what) != std::string::npos) out.push_back(l);
    return out;
}

TEST(SigFatal, SegfaultLogsBacktraceAndDiesOfSigsegv) {
    qt::TempDir dir;
    auto r = qt::run_child([&] {
        log_to(dir / "agent.log");
        sig_init(nullptr);
        volatile int *p = nullptr;
        *p = 1;
    });
    ASSERT_TRUE(r.killed_by(SIGSEGV)) << r.status << r.err;
    std::string log = qt::read_file(dir / "agent.log.0");
    EXPECT_EQ(lines_with(log, " INFO signal Segmentation fault being processed").size(), 1u) << log;
    auto bt = lines_with(log, " ERROR ");
    ASSERT_GE(bt.size(), 3u) << log;
    EXPECT_NE(bt[0].find(" ERROR print_backtrace:"), std::string::npos);
    // The frames, innermost first, name the handler that printed them.
    EXPECT_NE(log.find("sig_fatal_handler"), std::string::npos) << log;
    EXPECT_LT(log.find("sig_fatal_handler"), log.find("sig_dispatch"));
}

TEST(SigFatal, AssertionAbortLogsBacktraceAndDiesOfSigabrt) {
    qt::TempDir dir;
    auto r = qt::run_child([&] {
        log_to(dir / "agent.log");
        sig_init(nullptr);
        int rc = 1;
        N_ASSERT(rc == 0);
    });
    ASSERT_TRUE(r.killed_by(SIGABRT)) << r.status;
    std::string log = qt::read_file(dir / "agent.log.0");
    EXPECT_EQ(lines_with(log, "INFO signal Aborted being processed").size(), 1u) << log;
    EXPECT_EQ(lines_with(log, "ERROR print_backtrace:").size(), 1u);
    EXPECT_NE(log.find("(abort+"), std::string::npos) << log;
}

TEST(SigFatal, TermLogsOneLineNoBacktraceAndDiesOfSigterm) {
    qt::TempDir dir;
    auto r = qt::run_child([&] {
        log_to(dir / "agent.log");
        sig_init(nullptr);
        kill(getpid(), SIGTERM);
        pause();
    });
    ASSERT_TRUE(r.killed_by(SIGTERM)) << r.status;
    std::string log = qt::read_file(dir / "agent.log.0");
    EXPECT_EQ(lines_with(log, "signal").size(), 1u) << log;
    EXPECT_EQ(lines_with(log, " INFO signal Terminated being processed").size(), 1u);
    EXPECT_TRUE(lines_with(log, "print_backtrace").empty());
}

// SIGTERM reaches a thread that is blocked inside tr_log, holding the log
// file's lock (the log is a pipe nobody reads).  The handler must not wait
// for that lock: the process still ends by SIGTERM, and says why on
// standard error.
TEST(SigFatal, TermWhileInsideTrLogStillEnds) {
    qt::TempDir dir;
    std::string base = dir / "agent.log";
    ASSERT_EQ(mkfifo((base + ".0").c_str(), 0600), 0);
    int rd = open((base + ".0").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(rd, 0);
    auto r = qt::run_child(
        [&] {
            close(rd);
            log_to(base);
            sig_init(nullptr);
            tr_set_echo(0);
            std::string filler(1000, 'x');
            for (;;)
                tr_log(1, TR_INFO, "filler %s", filler.c_str());
        },
        5000,
        [&](pid_t pid) {
            // Wait until the pipe is full and the writer is stuck.
            int avail = 0, last = -1, stable = 0;
            for (int i = 0; i < 2000 && stable < 20; i++) {
                ioctl(rd, FIONREAD, &avail);
                stable = avail > 0 && avail == last ? stable + 1 : 0;
                last = avail;
                usleep(1000);
            }
            kill(pid, SIGTERM);
        });
    close(rd);
    ASSERT_FALSE(r.timed_out) << "the handler deadlocked on the log lock";
    EXPECT_TRUE(r.killed_by(SIGTERM)) << r.status;
    EXPECT_NE(r.err.find("signal Terminated being processed"), std::string::npos) << r.err;
}

std::vector<int> seen;
void record_a(int s) {
    seen.push_back(s * 10 + 1);
}
void record_b(int s) {
    seen.push_back(s * 10 + 2);
}
void foreign(int) {}

void (*installed(int signo))(int) {
    struct sigaction cur;
    sigaction(signo, nullptr, &cur);
    return cur.sa_handler;
}

TEST(SigRegister, InstallsOnceReplacesAndRestoresDefault) {
    EXPECT_EQ(installed(SIGUSR1), SIG_DFL);
    sig_register(SIGUSR1, record_a);
    EXPECT_EQ(installed(SIGUSR1), sig_dispatch);
    raise(SIGUSR1);
    EXPECT_EQ(seen, (std::vector<int>{SIGUSR1 * 10 + 1}));

    // Replacing a handler does not install again: an action set behind the
    // module's back stays.
    signal(SIGUSR1, foreign);
    sig_register(SIGUSR1, record_b);
    EXPECT_EQ(installed(SIGUSR1), foreign);
    sig_dispatch(SIGUSR1);
    EXPECT_EQ(seen.back(), SIGUSR1 * 10 + 2);

    // Clearing the handler gives the signal back its default action, and
    // the dispatcher ignores the empty entry instead of calling null.
    signal(SIGUSR1, sig_dispatch);
    sig_register(SIGUSR1, nullptr);
    EXPECT_EQ(installed(SIGUSR1), SIG_DFL);
    size_t n = seen.size();
    sig_dispatch(SIGUSR1);
    EXPECT_EQ(seen.size(), n);

    // Signals outside the table are left alone, silently.
    std::string out = qt::capture_stdout([] { sig_register(SIGUSR2, record_a); });
    EXPECT_EQ(installed(SIGUSR2), SIG_DFL);
    EXPECT_EQ(out, "");
    sig_dispatch(SIGUSR2);
    EXPECT_EQ(seen.size(), n);
}

TEST(SigBacktrace, LogsHeaderThenFramesInnermostFirst) {
    std::string out = qt::capture_stdout([] { print_backtrace(); });
    auto lines = qt::split_lines(out);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_NE(lines[0].find(" ERROR print_backtrace:"), std::string::npos);
    EXPECT_NE(lines[1].find("print_backtrace"), std::string::npos);
    for (auto &l : lines)
        EXPECT_NE(l.find(" ERROR "), std::string::npos) << l;
}

}  // namespace
