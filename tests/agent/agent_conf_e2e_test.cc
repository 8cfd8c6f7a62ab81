// The agent's configuration file end to end: the built agent installed in
// a root and run by qorv-netmon reads conf/qorv-netagent.conf, warns about
// its bad lines, serves the values in force through qorv-netctl and reads
// the file again on SIGHUP.
#include <gtest/gtest.h>

#include <string>

#include "core/child.h"
#include "supervisor/netmon_harness.h"

namespace {

std::string netctl(const std::string &rundir, const std::string &name) {
    std::string prog = QORV_BIN_DIR "/qorv-netctl", r = "-r", n = name, d = rundir;
    auto res = qt::run_child([&] {
        char *argv[] = {prog.data(), r.data(), d.data(), n.data(), nullptr};
        execv(argv[0], argv);
        _exit(127);
    });
    return res.out;
}

TEST(AgentConfE2E, FileWarningsServedValuesAndSighup) {
    nh::Reaper reaper;
    nh::Root root;
    const std::string agent = root.dir("bin/qorv-netagent");
    ASSERT_EQ(std::system(("cp '" QORV_BIN_DIR "/qorv-netagent' '" + agent + "'").c_str()), 0);
    const std::string conf = root.dir("conf/qorv-netagent.conf");
    qt::write_file(conf,
                   "# agent settings\n"
                   "agent.stats_interval_ms = 250\n"
                   "\n"
                   "agent.md_update_interval = 0x1e\n"
                   "agent.flow_debug = 70000\n"
                   "agent.ignore_ifaces = lo, docker0\n"
                   "agent.nosuch = 1\n"
                   "agent.md_update_interval = 45\n");
    nh::Netmon nm(reaper, root);
    nm.run_root();
    const std::string log = root.dir("logs/qorv-netagent.log.0");
    auto applies = [&] {
        std::vector<std::string> out;
        for (const auto &l : nh::messages(qt::read_file(log)))
            if (l.rfind("INFO agent_conf_apply: ", 0) == 0) out.push_back(l);
        return out;
    };
    ASSERT_TRUE(nh::wait_until([&] { return applies().size() == 1; }, 10000))
        << qt::read_file(log);
    const std::string W = "WARN kvc_file_parse: " + root.dir("conf/") + "qorv-netagent.conf:";
    auto msgs = nh::messages(qt::read_file(log));
    EXPECT_EQ(nh::count_of(msgs, W + "5: agent.flow_debug: out of range, default kept"), 1);
    EXPECT_EQ(nh::count_of(msgs, W + "7: agent.nosuch: unknown key"), 1);
    EXPECT_EQ(nh::count_of(msgs, W + "8: agent.md_update_interval: duplicate key, default kept"),
              1);
    EXPECT_EQ(applies()[0],
              "INFO agent_conf_apply: stats_interval_ms 250, md_update_interval 60, flow_debug 0, "
              "ignore_ifaces \"lo, docker0\" (2 from the file, 3 warnings)");
    const std::string run = root.dir("run/");
    EXPECT_EQ(netctl(run, "agent.config"),
              "agent.config.stats_interval_ms = 250\n"
              "agent.config.md_update_interval = 60\n"
              "agent.config.flow_debug = 0\n"
              "agent.config.ignore_ifaces = <string>\n");

    // An edited file, read on SIGHUP; the agent keeps running.
    qt::write_file(conf, "agent.flow_debug = 1\nagent.md_update_interval = 45\n");
    pid_t pid = nh::pid_in_line(nh::messages(qt::read_file(log)), "INFO qorv-netagent (");
    ASSERT_GT(pid, 0);
    ASSERT_EQ(kill(pid, SIGHUP), 0);
    ASSERT_TRUE(nh::wait_until([&] { return applies().size() == 2; }, 10000))
        << qt::read_file(log);
    EXPECT_EQ(applies()[1],
              "INFO agent_conf_apply: stats_interval_ms 1000, md_update_interval 45, flow_debug 1, "
              "ignore_ifaces \"\" (2 from the file, 0 warnings)");
    EXPECT_EQ(netctl(run, "agent.config.md_update_interval"),
              "agent.config.md_update_interval = 45\n");
    EXPECT_EQ(netctl(run, "agent.config.flow_debug"), "agent.config.flow_debug = 1\n");

    // A missing file: the defaults, one INFO line.
    unlink(conf.c_str());
    ASSERT_EQ(kill(pid, SIGHUP), 0);
    ASSERT_TRUE(nh::wait_until([&] { return applies().size() == 3; }, 10000));
    EXPECT_EQ(nh::count_of(nh::messages(qt::read_file(log)),
                           "INFO kvc_file_read: " + conf + " not found, defaults used"),
              1);
    EXPECT_EQ(netctl(run, "agent.config.md_update_interval"),
              "agent.config.md_update_interval = 60\n");
    EXPECT_TRUE(nh::alive(pid));
    ASSERT_TRUE(reaper.signal(nm.daemon, SIGTERM));
    EXPECT_EQ(nm.wait_exit(10000), 0);
}

}  // namespace
