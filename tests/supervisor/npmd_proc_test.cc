// Detaching helpers, the pid file and the install root's lock.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "supervisor/netmon_harness.h"
#include "supervisor/npmd.h"

namespace {

// Runs f in a child process; returns its exit status (or 128 + signal).
template <class F>
int in_child(F f) {
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) _exit(f());
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

bool fd_open(int fd) { return fcntl(fd, F_GETFD) != -1; }

class NpmdCloseFds : public ::testing::TestWithParam<bool> {};

TEST_P(NpmdCloseFds, ClosesAllButTheKeptDescriptor) {
    bool range = GetParam();
    int st = in_child([range] {
        int a = open("/dev/null", O_RDONLY);
        int keep = dup2(a, 40);
        int high = dup2(a, 900);
        if (a < 3 || keep != 40 || high != 900) return 10;
        npmd_close_fds(keep, range);
        if (!fd_open(keep)) return 11;
        for (int fd : {0, 1, 2, a, 39, 41, high})
            if (fd_open(fd)) return 20 + (fd % 50);
        return 0;
    });
    EXPECT_EQ(st, 0);
}

INSTANTIATE_TEST_SUITE_P(RangeAndLoop, NpmdCloseFds, ::testing::Bool());

class NpmdPidFile : public ::testing::Test {
protected:
    qt::TempDir dir;
    std::string path = dir / "qorv-netmon.pid";
};

TEST_F(NpmdPidFile, HoldsPidAndNewlineWithMode0644WhateverTheUmask) {
    mode_t old = umask(077);
    EXPECT_EQ(npm_write_pidfile(path.c_str()), 0);
    umask(old);
    EXPECT_EQ(qt::read_file(path), std::to_string(getpid()) + "\n");
    struct stat sb;
    ASSERT_EQ(stat(path.c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mode & 07777, 0644u);
}

TEST_F(NpmdPidFile, MissingDirectoryIsAWarning) {
    std::string bad = dir / "nope/qorv-netmon.pid";
    testing::internal::CaptureStdout();
    EXPECT_EQ(npm_write_pidfile(bad.c_str()), -1);
    EXPECT_EQ(nh::messages(testing::internal::GetCapturedStdout()),
              std::vector<std::string>{"WARN npm_write_pidfile: Failed to open pidfile for "
                                       "writing: No such file or directory"});
}

TEST_F(NpmdPidFile, FailedWriteIsNotSuccess) {
    // No room for a single byte: the pid never reaches the file.
    std::string p = path;
    int st = in_child([p] {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit rl = {0, 0};
        setrlimit(RLIMIT_FSIZE, &rl);
        return npm_write_pidfile(p.c_str()) == -1 ? 0 : 1;
    });
    EXPECT_EQ(st, 0);
}

TEST_F(NpmdPidFile, RemovedOnlyWhileItNamesItsOwner) {
    qt::write_file(path, "4321\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(npm_remove_pidfile(path.c_str(), 1234), -1);
    auto out = nh::messages(testing::internal::GetCapturedStdout());
    EXPECT_EQ(out, std::vector<std::string>{"WARN npm_remove_pidfile: " + path +
                                            " names pid 4321, not 1234; left in place"});
    EXPECT_TRUE(qt::file_exists(path));
    EXPECT_EQ(npm_remove_pidfile(path.c_str(), 4321), 0);
    EXPECT_FALSE(qt::file_exists(path));
    EXPECT_EQ(npm_remove_pidfile(path.c_str(), 4321), -1);  // already gone
}

TEST_F(NpmdPidFile, RunDirectoryLockRefusesASecondHolder) {
    qt::write_file(path, "777\n");
    int fd = npmd_lock_rundir(dir.path().c_str(), path.c_str());
    ASSERT_GE(fd, 3);
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
    // A second open of the directory is a second holder, as another
    // supervisor would be.
    testing::internal::CaptureStdout();
    EXPECT_EQ(npmd_lock_rundir(dir.path().c_str(), path.c_str()), -2);
    EXPECT_EQ(nh::messages(testing::internal::GetCapturedStdout()),
              std::vector<std::string>{"ERROR main: another qorv-netmon (777) is running on " +
                                       dir.path() + ". Exiting"});
    close(fd);
    int again = npmd_lock_rundir(dir.path().c_str(), path.c_str());
    EXPECT_GE(again, 3);
    close(again);
    EXPECT_EQ(npmd_lock_rundir((dir / "missing").c_str(), path.c_str()), -1);
}

}  // namespace
