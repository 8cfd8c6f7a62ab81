// The agent's configuration file end to end: the built agent installed in
// a root and run by qorv-netmon reads conf/qorv-netagent.conf, warns about
// its bad lines, serves the values in force through qorv-netctl and reads
// the file again on SIGHUP, its own or the supervisor's.  The file the
// package ships names every key at its default.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <regex>
#include <string>

#include "core/child.h"
#include "supervisor/netmon_harness.h"

namespace {

using nh::netctl;

TEST(AgentConfE2E, ShippedFileWarningsServedValuesAndSighup) {
    nh::Reaper reaper;
    nh::Root root;
    const std::string agent = root.dir("bin/qorv-netagent");
    ASSERT_EQ(std::system(("cp '" QORV_BIN_DIR "/qorv-netagent' '" + agent + "'").c_str()), 0);
    // The shipped file with every key's line uncommented; its keys in order.
    std::string shipped, keys;
    int n = 0;
    const std::regex commented(R"(# ?((agent\.\w+) =.*))");
    for (const auto &l :
         qt::split_lines(qt::read_file(QORV_TEST_SRC_DIR "/../conf/qorv-netagent.conf"))) {
        std::smatch m;
        bool key = std::regex_match(l, m, commented);
        if (key) n++, keys += m.str(2) + "\n";
        shipped += (key ? m.str(1) : l) + "\n";
    }
    const std::string conf = root.dir("conf/qorv-netagent.conf");
    qt::write_file(conf, shipped);
    nh::Netmon nm(reaper, root);
    nm.run({"-r", root.root()});
    ASSERT_EQ(nm.first_status, 0) << nm.out;
    // A reload through the supervisor while the agent may still be starting.
    ASSERT_TRUE(reaper.signal(nm.daemon, SIGHUP));
    // The agent's log lines that begin with prefix.
    auto lines = [log = root.dir("logs/qorv-netagent.log.0")](const std::string &prefix) {
        return nh::log_lines(log, prefix);
    };
    const std::string A = "INFO agent_conf_apply: ";
    ASSERT_TRUE(nh::wait_until([&] { return lines(A).size() == 2; }, 10000));
    for (const auto &l : lines(A))  // the values are compared with the defaults at the end
        EXPECT_TRUE(l.ends_with(std::to_string(n) + " from the file, 0 warnings)")) << l;
    const pid_t pid = nm.first_agent();
    EXPECT_EQ(root.log_lines().back(),
              "INFO npmd_reload: SIGHUP passed on to qorv-netagent(" + std::to_string(pid) + ")");
    const std::string run = root.dir("run/");
    std::string got;
    nh::wait_until([&] { return !(got = netctl(run, "agent.config")).empty(); }, 10000);
    EXPECT_EQ(std::regex_replace(got, std::regex(R"(agent\.config\.(\w+) = .*)"), "agent.$1"), keys)
        << "the keys the agent serves, and those the shipped file names";

    qt::write_file(conf,
                   "# agent settings\n"
                   "agent.stats_interval_ms = 250\n"
                   "\n"
                   "agent.md_update_interval = 0x1e\n"
                   "agent.flow_debug = 70000\n"
                   "agent.ignore_ifaces = lo, docker0\n"
                   "agent.nosuch = 1\n"
                   "agent.md_update_interval = 45\n");
    ASSERT_TRUE(reaper.signal(nm.daemon, SIGHUP));
    ASSERT_TRUE(nh::wait_until([&] { return lines(A).size() == 3; }, 10000));
    const std::string W = "WARN kvc_file_parse: " + root.dir("conf/") + "qorv-netagent.conf:";
    EXPECT_EQ(lines("WARN"), (std::vector<std::string>{
                                 W + "5: agent.flow_debug: out of range, default kept",
                                 W + "7: agent.nosuch: unknown key",
                                 W + "8: agent.md_update_interval: duplicate key, default kept"}));
    EXPECT_EQ(lines(A)[2], A + "stats_interval_ms 250, md_update_interval 60, flow_debug 0, "
                               "ignore_ifaces \"lo, docker0\" (2 from the file, 3 warnings)");
    EXPECT_EQ(netctl(run, "agent.config"),
              "agent.config.stats_interval_ms = 250\n"
              "agent.config.md_update_interval = 60\n"
              "agent.config.flow_debug = 0\n"
              "agent.config.ignore_ifaces = lo, docker0\n"
              "agent.config.prom_dir = \n"
              "agent.config.prom_interval_s = 15\n"
              "agent.config.scan_interval_ms = 1000\n"
              "agent.config.apps_top = 50\n"
              "agent.config.metadata_export = 0\n"
              "agent.config.metadata_max_kb = 8192\n");

    // An edited file, read on the agent's own SIGHUP; it keeps running.
    qt::write_file(conf, "agent.flow_debug = 1\nagent.md_update_interval = 45\n");
    ASSERT_EQ(kill(pid, SIGHUP), 0);
    ASSERT_TRUE(nh::wait_until([&] { return lines(A).size() == 4; }, 10000));
    EXPECT_EQ(lines(A)[3], A + "stats_interval_ms 1000, md_update_interval 45, flow_debug 1, "
                               "ignore_ifaces \"\" (2 from the file, 0 warnings)");
    EXPECT_EQ(netctl(run, "agent.config.md_update_interval"),
              "agent.config.md_update_interval = 45\n");
    // A missing file: the defaults, one INFO line.
    unlink(conf.c_str());
    ASSERT_EQ(kill(pid, SIGHUP), 0);
    ASSERT_TRUE(nh::wait_until([&] { return lines(A).size() == 5; }, 10000));
    EXPECT_EQ(
        lines("INFO kvc_file_read: "),
        std::vector<std::string>{"INFO kvc_file_read: " + conf + " not found, defaults used"});
    EXPECT_EQ(lines(A)[4], A + "stats_interval_ms 1000, md_update_interval 60, flow_debug 0, "
                               "ignore_ifaces \"\" (0 from the file, 0 warnings)");
    EXPECT_EQ(netctl(run, "agent.config"), got) << "the shipped file's values are the defaults";
    EXPECT_TRUE(nh::alive(pid));
    ASSERT_TRUE(reaper.signal(nm.daemon, SIGTERM));
    EXPECT_EQ(nm.wait_exit(10000), 0);
}

// Odd files under the root: a FIFO as the configuration, then a file of
// nothing but bad lines, and a directory where the debug log would be.  The
// agent serves, re-reads and stops as ever, and its log says what is wrong,
// once per cause.
TEST(AgentConfE2E, FifoFloodOfBadLinesAndNoDebugLog) {
    nh::Reaper reaper;
    nh::Root root;
    ASSERT_EQ(std::system(("cp '" QORV_BIN_DIR "/qorv-netagent' '" + root.dir("bin/") + "'").c_str()),
              0);
    const std::string conf = root.dir("conf/qorv-netagent.conf"), run = root.dir("run/");
    ASSERT_EQ(mkfifo(conf.c_str(), 0644), 0);
    ASSERT_EQ(mkdir(root.dir("logs/agent-debug.log.0").c_str(), 0755), 0);
    nh::Netmon nm(reaper, root);
    nm.run({"-r", root.root()});
    ASSERT_EQ(nm.first_status, 0) << nm.out;
    auto lines = [&](const std::string &prefix) {
        return nh::log_lines(root.dir("logs/qorv-netagent.log.0"), prefix);
    };
    const std::string A = "INFO agent_conf_apply: ";
    ASSERT_TRUE(nh::wait_until([&] { return lines(A).size() == 1; }, 10000));
    EXPECT_EQ(netctl(run, "agent.config.prom_interval_s"), "agent.config.prom_interval_s = 15\n");
    const std::string fifo = "WARN kvc_file_read: " + conf + " is not a regular file, defaults used";
    EXPECT_EQ(lines("WARN"), std::vector<std::string>{fifo});
    EXPECT_EQ(lines("ERROR"), std::vector<std::string>{"ERROR tr_init: debug log " +
                                                       root.dir("logs//agent-debug.log.0") +
                                                       " not opened: Is a directory"});

    // 1 MiB of bad lines: the first 20 shown, then how many more.
    unlink(conf.c_str());
    std::string bad;
    for (int i = 0; i < 1 << 19; i++)
        bad += "x\n";
    qt::write_file(conf, bad);
    pid_t pid = nh::pid_in_line(lines("INFO qorv-netagent ("), "INFO qorv-netagent (");
    ASSERT_TRUE(pid > 0 && kill(pid, SIGHUP) == 0);
    ASSERT_TRUE(nh::wait_until([&] { return lines(A).size() == 2; }, 10000));
    auto warns = lines("WARN");
    ASSERT_EQ(warns.size(), 22u);
    EXPECT_EQ(warns[1], "WARN kvc_file_parse: " + conf + ":1: x: not a key = value line");
    EXPECT_EQ(warns[21], "WARN kvc_file_parse: " + conf + ": 524268 more bad lines rejected");
    EXPECT_EQ(lines(A)[1], A + "stats_interval_ms 1000, md_update_interval 60, flow_debug 0, "
                               "ignore_ifaces \"\" (0 from the file, 524288 warnings)");
    ASSERT_TRUE(reaper.signal(nm.daemon, SIGTERM));
    EXPECT_EQ(nm.wait_exit(10000), 0);
    EXPECT_FALSE(qt::file_exists(run + "qorv-netctl.sock"));
}

}  // namespace
