// The agent's configuration file end to end: the built agent installed in
// a root and run by qorv-netmon reads conf/qorv-netagent.conf, warns about
// its bad lines, serves the values in force through qorv-netctl and reads
// the file again on SIGHUP, its own or the supervisor's.  The file the
// package ships names every key at its default.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>

#include "core/child.h"
#include "supervisor/netmon_harness.h"

namespace {

std::string netctl(const std::string &rundir, std::string name) {
    std::string prog = QORV_BIN_DIR "/qorv-netctl", r = "-r", d = rundir;
    char *argv[] = {prog.data(), r.data(), d.data(), name.data(), nullptr};
    return qt::run_child([&] {
               execv(argv[0], argv);
               _exit(127);
           })
        .out;
}

// A root holding the built agent.
void install_agent(const nh::Root &root) {
    const std::string agent = root.dir("bin/qorv-netagent");
    ASSERT_EQ(std::system(("cp '" QORV_BIN_DIR "/qorv-netagent' '" + agent + "'").c_str()), 0);
}

// The agent's log lines that begin with prefix.
std::vector<std::string> agent_lines(const nh::Root &root, const std::string &prefix) {
    std::vector<std::string> out;
    for (const auto &l : nh::messages(qt::read_file(root.dir("logs/qorv-netagent.log.0"))))
        if (l.rfind(prefix, 0) == 0) out.push_back(l);
    return out;
}

TEST(AgentConfE2E, FileWarningsServedValuesAndSighup) {
    nh::Reaper reaper;
    nh::Root root;
    install_agent(root);
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
    nm.run({"-r", root.root()});
    ASSERT_EQ(nm.first_status, 0) << nm.out;
    auto lines = [&](const std::string &prefix) { return agent_lines(root, prefix); };
    const std::string A = "INFO agent_conf_apply: ";
    ASSERT_TRUE(nh::wait_until([&] { return lines(A).size() == 1; }, 10000));
    const std::string W = "WARN kvc_file_parse: " + root.dir("conf/") + "qorv-netagent.conf:";
    EXPECT_EQ(lines("WARN"), (std::vector<std::string>{
                                 W + "5: agent.flow_debug: out of range, default kept",
                                 W + "7: agent.nosuch: unknown key",
                                 W + "8: agent.md_update_interval: duplicate key, default kept"}));
    EXPECT_EQ(lines(A)[0], A + "stats_interval_ms 250, md_update_interval 60, flow_debug 0, "
                               "ignore_ifaces \"lo, docker0\" (2 from the file, 3 warnings)");
    const std::string run = root.dir("run/");
    // Published just after start-up's read.
    std::string got;
    nh::wait_until([&] { return !(got = netctl(run, "agent.config")).empty(); }, 10000);
    EXPECT_EQ(got,
              "agent.config.stats_interval_ms = 250\n"
              "agent.config.md_update_interval = 60\n"
              "agent.config.flow_debug = 0\n"
              "agent.config.ignore_ifaces = lo, docker0\n"
              "agent.config.prom_dir = \n"
              "agent.config.prom_interval_s = 15\n");

    // An edited file, read on SIGHUP; the agent keeps running.
    qt::write_file(conf, "agent.flow_debug = 1\nagent.md_update_interval = 45\n");
    pid_t pid = nh::pid_in_line(lines("INFO qorv-netagent ("), "INFO qorv-netagent (");
    ASSERT_GT(pid, 0);
    ASSERT_EQ(kill(pid, SIGHUP), 0);
    ASSERT_TRUE(nh::wait_until([&] { return lines(A).size() == 2; }, 10000));
    EXPECT_EQ(lines(A)[1], A + "stats_interval_ms 1000, md_update_interval 45, flow_debug 1, "
                               "ignore_ifaces \"\" (2 from the file, 0 warnings)");
    EXPECT_EQ(netctl(run, "agent.config.md_update_interval"),
              "agent.config.md_update_interval = 45\n");
    // A missing file: the defaults, one INFO line.
    unlink(conf.c_str());
    ASSERT_EQ(kill(pid, SIGHUP), 0);
    ASSERT_TRUE(nh::wait_until([&] { return lines(A).size() == 3; }, 10000));
    EXPECT_EQ(
        lines("INFO kvc_file_read: "),
        std::vector<std::string>{"INFO kvc_file_read: " + conf + " not found, defaults used"});
    EXPECT_EQ(lines(A)[2], A + "stats_interval_ms 1000, md_update_interval 60, flow_debug 0, "
                               "ignore_ifaces \"\" (0 from the file, 0 warnings)");
    EXPECT_TRUE(nh::alive(pid));
    ASSERT_TRUE(reaper.signal(nm.daemon, SIGTERM));
    EXPECT_EQ(nm.wait_exit(10000), 0);
}

// The shipped file, as it is and with every key's line uncommented, reads
// without a warning into exactly the defaults, and names every key the
// agent serves.  SIGHUP goes to the supervisor, which passes it on, the
// first one while the agent may still be starting.
TEST(AgentConfE2E, ShippedFileHoldsEveryKeyAtItsDefault) {
    nh::Reaper reaper;
    nh::Root root;
    install_agent(root);
    const std::string shipped = qt::read_file(QORV_TEST_SRC_DIR "/../conf/qorv-netagent.conf");
    const std::string conf = root.dir("conf/qorv-netagent.conf");
    qt::write_file(conf, shipped);
    nh::Netmon nm(reaper, root);
    nm.run({"-r", root.root()});
    ASSERT_EQ(nm.first_status, 0) << nm.out;
    ASSERT_TRUE(reaper.signal(nm.daemon, SIGHUP));
    const std::string A = "INFO agent_conf_apply: ";
    const std::string dflt = A + "stats_interval_ms 1000, md_update_interval 60, flow_debug 0, "
                                 "ignore_ifaces \"\" (0 from the file, 0 warnings)";
    ASSERT_TRUE(nh::wait_until([&] { return agent_lines(root, A).size() == 2; }, 10000));
    EXPECT_EQ(agent_lines(root, A), std::vector<std::string>(2, dflt));
    const pid_t agent = nm.first_agent();
    const std::string passed =
        "INFO npmd_reload: SIGHUP passed on to qorv-netagent(" + std::to_string(agent) + ")";
    EXPECT_EQ(root.log_lines().back(), passed);

    // The keys the agent serves, with their values in force.
    const std::string run = root.dir("run/");
    std::string served;
    nh::wait_until([&] { return !(served = netctl(run, "agent.config")).empty(); }, 10000);
    std::set<std::string> keys;
    const std::regex key_line(R"(agent\.config\.(\w+) = .*)");
    for (const auto &l : qt::split_lines(served)) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(l, m, key_line)) << l;
        keys.insert("agent." + m.str(1));
    }
    EXPECT_GE(keys.size(), 6u);

    // Each key's line, uncommented.
    std::set<std::string> in_file;
    std::string open;
    const std::regex commented(R"(# ?((agent\.\w+) =.*))");
    for (const auto &l : qt::split_lines(shipped)) {
        std::smatch m;
        bool key = std::regex_match(l, m, commented);
        if (key) {
            EXPECT_TRUE(in_file.insert(m.str(2)).second) << "twice: " << l;
        }
        open += (key ? m.str(1) : l) + "\n";
    }
    EXPECT_EQ(in_file, keys);
    qt::write_file(conf, open);
    ASSERT_TRUE(reaper.signal(nm.daemon, SIGHUP));
    ASSERT_TRUE(nh::wait_until([&] { return agent_lines(root, A).size() == 3; }, 10000));
    EXPECT_EQ(agent_lines(root, A)[2],
              std::regex_replace(dflt, std::regex("\\(0 from"),
                                 "(" + std::to_string(in_file.size()) + " from"));
    EXPECT_EQ(netctl(run, "agent.config"), served);
    EXPECT_EQ(root.log_lines().back(), passed);
    EXPECT_TRUE(nh::alive(agent));
    ASSERT_TRUE(reaper.signal(nm.daemon, SIGTERM));
    EXPECT_EQ(nm.wait_exit(10000), 0);
}

}  // namespace
