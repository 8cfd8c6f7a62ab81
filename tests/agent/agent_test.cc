// qorv-netagent run directly: its log file, its stop signal, its status.
#include <gtest/gtest.h>

#include <string>

#include "supervisor/netmon_harness.h"

namespace {

TEST(Agent, LogsStartAndStopAndExitsZeroOnSigterm) {
    nh::Reaper reaper;
    nh::Root root;
    std::string prog = nh::bin("qorv-netagent"), c = root.dir("conf/"), l = root.dir("logs/"),
                r = root.dir("run/");
    pid_t pid = fork();
    if (pid == 0) {
        execl(prog.c_str(), "qorv-netagent", "-c", c.c_str(), "-l", l.c_str(), "-r", r.c_str(),
              static_cast<char *>(nullptr));
        _exit(127);
    }
    reaper.track(pid);
    // The supervisor passes directories with a final slash; logging joins
    // them with one more.
    const std::string log = root.dir("logs//qorv-netagent.log.0");
    const std::string start = "INFO qorv-netagent (" + std::to_string(pid) + ") starting: conf " +
                              c + ", logs " + l + ", run " + r;
    ASSERT_TRUE(nh::wait_until(
        [&] { return nh::index_of(nh::messages(qt::read_file(log)), start) >= 0; }, 3000));
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    int st = 0;
    ASSERT_TRUE(reaper.wait(pid, 3000, &st));
    EXPECT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 0);
    // The stop line, then the modules' shut-down in order.
    auto msgs = nh::messages(qt::read_file(log));
    int stop = nh::index_of(msgs, "INFO qorv-netagent (" + std::to_string(pid) +
                                      ") stopping on signal 15");
    ASSERT_GE(stop, 0);
    EXPECT_GT(nh::index_of(msgs, "INFO Stopping main poll"), stop);
}

}  // namespace
