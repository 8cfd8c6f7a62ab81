// Detaching's descriptor closing and the pid file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "supervisor/netmon_harness.h"
#include "supervisor/npmd.h"

namespace {

// Runs f in a child process; returns its exit status.
template <class F>
int in_child(F f) {
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) _exit(f());
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

bool fd_open(int fd) {
    return fcntl(fd, F_GETFD) != -1;
}

class NpmdCloseFds : public ::testing::TestWithParam<bool> {};

TEST_P(NpmdCloseFds, ClosesAllButTheKeptDescriptor) {
    bool range = GetParam();  // close_range, or the descriptor-by-descriptor loop
    EXPECT_EQ(in_child([range] {
                  int keep = dup2(0, 40), high = dup2(0, 900);
                  npmd_close_fds(keep, range);
                  if (!fd_open(keep)) return 1;
                  for (int fd : {0, 1, 2, 39, 41, high})
                      if (fd_open(fd)) return 2;
                  return 0;
              }),
              0);
}

INSTANTIATE_TEST_SUITE_P(RangeAndLoop, NpmdCloseFds, ::testing::Bool());

TEST(NpmdPidFile, FailedWriteIsNotSuccess) {
    qt::TempDir dir;
    std::string p = dir / "qorv-netmon.pid";
    // No room for a single byte: the pid never reaches the file.
    EXPECT_EQ(in_child([p] {
                  signal(SIGXFSZ, SIG_IGN);
                  struct rlimit rl = {0, 0};
                  setrlimit(RLIMIT_FSIZE, &rl);
                  return npm_write_pidfile(p.c_str()) == -1 ? 0 : 1;
              }),
              0);
}

TEST(NpmdPidFile, RemovedOnlyWhileItNamesItsOwner) {
    qt::TempDir dir;
    std::string path = dir / "qorv-netmon.pid";
    qt::write_file(path, "4321\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(npm_remove_pidfile(path.c_str(), 1234), -1);
    EXPECT_EQ(nh::messages(testing::internal::GetCapturedStdout()),
              std::vector<std::string>{"WARN npm_remove_pidfile: " + path +
                                       " names pid 4321, not 1234; left in place"});
    EXPECT_TRUE(qt::file_exists(path));
    EXPECT_EQ(npm_remove_pidfile(path.c_str(), 4321), 0);
    EXPECT_FALSE(qt::file_exists(path));
}

}  // namespace
