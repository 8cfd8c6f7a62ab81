// The installed layout: "cmake --install" into a fresh root, then the
// installed supervisor runs the installed agent with no further step.
#include <gtest/gtest.h>
#include <libgen.h>

#include <cstdlib>
#include <string>

#include "supervisor/netmon_harness.h"

namespace {

TEST(Install, InstalledSupervisorRunsInstalledAgent) {
    qt::TempDir tmp;
    std::string build = QORV_BIN_DIR;
    build = build.substr(0, build.rfind('/'));
    const std::string root = tmp / "root";
    std::string cmd = "cmake --install '" + build + "' --prefix '" + root + "' > '" +
                      (tmp / "install.out") + "' 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << qt::read_file(tmp / "install.out");
    for (const char *d : {"bin/qorv-netmon", "bin/qorv-netagent", "conf", "logs", "run", "home"})
        EXPECT_TRUE(qt::file_exists(root + "/" + d)) << d;

    nh::Reaper reaper;
    auto s = nh::start(reaper, root + "/bin/qorv-netmon", {"-r", root + "/"}, tmp / "out");
    ASSERT_EQ(s.first_status, 0) << s.out;
    const std::string agent_log = root + "/logs//qorv-netagent.log.0";
    std::string conf = root + "/conf/", logs = root + "/logs/", run = root + "/run/";
    pid_t agent = -1;
    ASSERT_TRUE(nh::wait_until(
        [&] {
            for (const auto &l : nh::messages(qt::read_file(agent_log)))
                if (l.find(") starting: conf " + conf + ", logs " + logs + ", run " + run) !=
                    std::string::npos)
                    agent = atoi(l.c_str() + l.find('(') + 1);
            return agent > 0;
        },
        5000))
        << qt::read_file(agent_log);
    pid_t daemon = atoi(qt::read_file(root + "/run/qorv-netmon.pid").c_str());
    ASSERT_GT(daemon, 0);
    reaper.track(daemon);
    ASSERT_EQ(kill(daemon, SIGTERM), 0);
    int st = -1;
    ASSERT_TRUE(reaper.wait(daemon, 5000, &st));
    EXPECT_EQ(WEXITSTATUS(st), 0);
    // The agent's stop line, then the modules' shut-down.
    auto msgs = nh::messages(qt::read_file(agent_log));
    long stop = nh::index_of(
        msgs, "INFO qorv-netagent (" + std::to_string(agent) + ") stopping on signal 15");
    EXPECT_GE(stop, 0);
    EXPECT_GT(nh::index_of(msgs, "INFO Stopping main poll"), stop);
    EXPECT_FALSE(qt::file_exists(root + "/run/qorv-netmon.pid"));
}

}  // namespace
