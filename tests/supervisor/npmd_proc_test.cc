// Detaching's descriptor closing and the pid file.
#include <gtest/gtest.h>

#include "core/child.h"
#include "supervisor/netmon_harness.h"
#include "supervisor/npmd.h"

namespace {

bool fd_open(int fd) {
    return fcntl(fd, F_GETFD) != -1;
}

class NpmdCloseFds : public ::testing::TestWithParam<bool> {};

TEST_P(NpmdCloseFds, ClosesAllButTheKeptDescriptors) {
    bool range = GetParam();  // close_range, or the descriptor-by-descriptor loop
    auto r = qt::run_child([range] {
        int a = dup2(0, 40), b = dup2(0, 42), high = dup2(0, 900);
        const int keep[] = {b, -1, a};
        npmd_close_fds(keep, 3, range);
        if (!fd_open(a) || !fd_open(b)) _exit(1);
        for (int fd : {0, 1, 2, 39, 41, 43, high})
            if (fd_open(fd)) _exit(2);
    });
    EXPECT_TRUE(r.exited(0)) << r.status;
}

INSTANTIATE_TEST_SUITE_P(RangeAndLoop, NpmdCloseFds, ::testing::Bool());

// What the waiting command makes of the daemon's report: the ERROR lines
// printed as they came, its own line when the daemon said nothing useful,
// and the status to exit with.
TEST(NpmdReport, CommandPrintsErrorLinesAndExitsWithTheDaemonsStatus) {
    const std::string stamp = "2026-01-02 03:04:05 ", up = "\x1dup\n", fail = "\x1d";
    const std::string e1 = stamp + "ERROR main: Failed to write pidfile. Exiting\n";
    const std::string e2 = stamp + "ERROR Incorrect option provided for log destination. Exiting\n";
    const std::string info = stamp + "INFO Varnix daemon (7) starting..\n";
    const std::string warn = stamp + "WARN npm_write_pidfile: Failed\n";
    const std::string gone =
        "ERROR main: the daemon ended during start-up without a status; its log is /r/x.log.0";
    const struct {
        std::string sent;
        bool hold_open;  // the writer never goes
        int status;
        std::string relayed, own;
    } cases[] = {
        {info + up, false, 0, "", ""},
        {info + warn + e1 + fail + "exit 1\n", false, 1, e1, ""},
        {e2 + fail + "exit 2\n", false, 2, e2, ""},
        {info + up + e1 + fail + "exit 1\n", false, 1, e1, ""},  // the agent's exec failed
        {e1, false, 1, e1, gone},                                // died at an assertion
        {"", false, 1, "", gone},
        {info + up, true, 1, "",
         "ERROR main: no word from the daemon within 0 s; its log is /r/x.log.0"},
    };
    for (const auto &c : cases) {
        int p[2];
        ASSERT_EQ(pipe(p), 0);
        ASSERT_EQ(write(p[1], c.sent.data(), c.sent.size()), ssize_t(c.sent.size()));
        if (!c.hold_open) close(p[1]);
        int st = -1;
        std::string out = qt::captured([&] { st = npmd_report_wait(p[0], 200, "/r/x.log"); });
        close(p[0]);
        if (c.hold_open) close(p[1]);
        EXPECT_EQ(st, c.status) << c.sent;
        EXPECT_EQ(out.substr(0, c.relayed.size()), c.relayed) << c.sent;
        EXPECT_EQ(nh::messages(out.substr(std::min(out.size(), c.relayed.size()))),
                  c.own.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.own})
            << c.sent;
    }
}

TEST(NpmdPidFile, FailedWriteIsNotSuccess) {
    qt::TempDir dir;
    std::string p = dir / "qorv-netmon.pid";
    // No room for a single byte: the pid never reaches the file.
    auto r = qt::run_child([p] {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit rl = {0, 0};
        setrlimit(RLIMIT_FSIZE, &rl);
        CHILD_CHECK(npm_write_pidfile(p.c_str()) == -1);
    });
    EXPECT_TRUE(r.exited(0)) << r.err;
}

TEST(NpmdPidFile, RemovedOnlyWhileItNamesItsOwner) {
    qt::TempDir dir;
    std::string path = dir / "qorv-netmon.pid";
    qt::write_file(path, "4321\n");
    EXPECT_EQ(
        nh::messages(qt::captured([&] { EXPECT_EQ(npm_remove_pidfile(path.c_str(), 1234), -1); })),
        std::vector<std::string>{"WARN npm_remove_pidfile: " + path +
                                 " names pid 4321, not 1234; left in place"});
    EXPECT_TRUE(qt::file_exists(path));
    EXPECT_EQ(npm_remove_pidfile(path.c_str(), 4321), 0);
    EXPECT_FALSE(qt::file_exists(path));
}

}  // namespace
