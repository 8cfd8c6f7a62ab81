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

TEST_P(NpmdCloseFds, ClosesAllButTheKeptDescriptor) {
    bool range = GetParam();  // close_range, or the descriptor-by-descriptor loop
    auto r = qt::run_child([range] {
        int keep = dup2(0, 40), high = dup2(0, 900);
        npmd_close_fds(keep, range);
        if (!fd_open(keep)) _exit(1);
        for (int fd : {0, 1, 2, 39, 41, high})
            if (fd_open(fd)) _exit(2);
    });
    EXPECT_TRUE(r.exited(0)) << r.status;
}

INSTANTIATE_TEST_SUITE_P(RangeAndLoop, NpmdCloseFds, ::testing::Bool());

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
