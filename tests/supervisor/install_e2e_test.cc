// The installed layout: "cmake --install" into a fresh root, then the
// installed supervisor runs the installed agent with no further step; an
// install over it keeps the agent's configuration file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "supervisor/netmon_harness.h"

namespace {

TEST(Install, InstalledSupervisorRunsInstalledAgent) {
    nh::Reaper reaper;
    nh::Root root("root");
    std::string build = QORV_BIN_DIR;
    build = build.substr(0, build.rfind('/'));
    for (const char *d : {"conf", "logs", "run", "home"})
        rmdir(root.dir(d).c_str());
    std::string cmd = "cmake --install '" + build + "' --prefix '" + root.base() + "' > '" +
                      root.dir("install.out") + "' 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << qt::read_file(root.dir("install.out"));
    for (const char *d : {"bin/qorv-netmon", "bin/qorv-netagent", "conf", "logs", "run", "home"})
        EXPECT_TRUE(qt::file_exists(root.dir(d))) << d;
    const std::string conf = root.dir("conf/qorv-netagent.conf");
    EXPECT_EQ(qt::read_file(conf), qt::read_file(QORV_TEST_SRC_DIR "/../conf/qorv-netagent.conf"));

    nh::Netmon nm(reaper, root);
    nm.run({"-r", root.root()}, root.dir("bin/qorv-netmon"));
    ASSERT_EQ(nm.first_status, 0) << nm.out;
    EXPECT_TRUE(nm.pidfile_at_return);
    const std::string agent_log = root.dir("logs//qorv-netagent.log.0");
    const std::string r = root.root();
    pid_t agent = nm.first_agent();
    const std::string started = "qorv-netagent (" + std::to_string(agent) + ") starting: conf " +
                                r + "conf/, logs " + r + "logs/, run " + r + "run/";
    ASSERT_TRUE(nh::wait_until(
        [&] { return qt::read_file(agent_log).find(started) != std::string::npos; }, 5000))
        << qt::read_file(agent_log);
    ASSERT_GT(nm.daemon, 0);
    ASSERT_EQ(kill(nm.daemon, SIGTERM), 0);
    EXPECT_EQ(nm.wait_exit(), 0);
    // The agent's stop line, then the modules' shut-down.
    auto msgs = nh::messages(qt::read_file(agent_log));
    long stop = nh::index_of(
        msgs, "INFO qorv-netagent (" + std::to_string(agent) + ") stopping on signal 15");
    EXPECT_GE(stop, 0);
    EXPECT_GT(nh::index_of(msgs, "INFO Stopping main poll"), stop);
    EXPECT_EQ(nm.unclean_end({agent}), "");

    // Installed again over an operator's configuration: it is kept.
    qt::write_file(conf, "agent.flow_debug = 1\n");
    ASSERT_EQ(std::system(cmd.c_str()), 0) << qt::read_file(root.dir("install.out"));
    EXPECT_EQ(qt::read_file(conf), "agent.flow_debug = 1\n");
}

}  // namespace
