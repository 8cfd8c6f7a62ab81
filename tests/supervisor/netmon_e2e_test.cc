// qorv-netmon end to end: the real daemon supervising scripted agents in a
// temporary install root.
#include <dirent.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "supervisor/netmon_scenario.h"

namespace {

using nh::launch_plan;

// Core dumps need the kernel to write plain "core" files.
bool plain_core_files() {
    return qt::read_file("/proc/sys/kernel/core_pattern") == "core\n" &&
           qt::read_file("/proc/sys/kernel/core_uses_pid") == "0\n";
}

// Descriptors of the agent other than /dev/null and its own script.
std::string foreign_fds(pid_t agent) {
    std::string fds = "/proc/" + std::to_string(agent) + "/fd", out;
    DIR *d = opendir(fds.c_str());
    if (d == nullptr) return "no " + fds;
    while (struct dirent *e = readdir(d)) {
        char target[4096] = "";
        ssize_t n = readlink((fds + "/" + e->d_name).c_str(), target, sizeof(target) - 1);
        if (n <= 0) continue;
        target[n] = '\0';
        std::string t = target;
        if (t != "/dev/null" && t.find("/bin/qorv-netagent") == std::string::npos)
            out += std::string(e->d_name) + " -> " + t + "\n";
    }
    closedir(d);
    return out;
}

std::string started_line(pid_t pid) {
    return "INFO main: starting qorv-netagent (" + std::to_string(pid) + ")";
}

std::string exit_line(pid_t pid, int code) {
    return "INFO qorv-netagent(" + std::to_string(pid) + ") exited with exit code " +
           std::to_string(code) + ". Check qorv-netagent log file for more details";
}

class NetmonE2E : public ::testing::Test {
  protected:
    nh::Reaper reaper;
    nh::Root root;
    nh::Netmon nm{reaper, root};

    void stop_with(int sig) {
        ASSERT_GT(nm.daemon, 0);  // kill(-1) would signal every process
        ASSERT_EQ(kill(nm.daemon, sig), 0);
        EXPECT_EQ(nm.wait_exit(), 0);
    }
};

class NetmonRun : public NetmonE2E, public ::testing::WithParamInterface<int> {};

// A whole lifetime: start (with -p text, which never fires), a second
// supervisor refused, then the stop signal.
TEST_P(NetmonRun, StartsAgentWithRootPathsRefusesSecondAndStopsOnSignal) {
    root.waiting_agent();
    nm.run({"-r", root.root(), "-p", "abc"});
    ASSERT_EQ(nm.first_status, 0) << nm.out;
    EXPECT_EQ(nm.out, "");
    EXPECT_TRUE(nm.pidfile_at_return);
    ASSERT_TRUE(nm.wait_trace(2));
    const std::string r = root.root();
    pid_t agent = nm.first_agent();
    auto tr = root.trace_lines();
    EXPECT_EQ(tr[0],
              std::to_string(agent) + " -c " + r + "conf/ -l " + r + "logs/ -r " + r + "run/");
    EXPECT_EQ(tr[1], root.dir("home"));  // the agent runs in the home directory

    // Only 0, 1 and 2 (all /dev/null) are inherited, besides the script the
    // shell itself reads: no log stream, lock or start-up pipe.  (The shell
    // opens the trace file for a moment while it writes; a descriptor from
    // the supervisor would stay.)
    std::string leaked;
    EXPECT_TRUE(nh::wait_until([&] { return (leaked = foreign_fds(agent)).empty(); }, 2000))
        << leaked;

    // The doubled slashes of the supervisor's own names are kept.
    EXPECT_TRUE(qt::file_exists(root.base() + "//logs//qorv-netmon.log.0"));
    EXPECT_EQ(qt::read_file(root.pidfile()), std::to_string(nm.daemon) + "\n");
    struct stat sb;
    ASSERT_EQ(stat(root.pidfile().c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mode & 07777, 0644u);

    // Same root, spelt without the final slash.
    nh::Netmon second(reaper, root);
    second.run({"-r", root.base()});
    EXPECT_EQ(second.first_status, 1);
    EXPECT_EQ(
        nh::messages(second.out),
        std::vector<std::string>{"ERROR main: another qorv-netmon (" + std::to_string(nm.daemon) +
                                 ") is running on " + root.base() + "/run/. Exiting"});
    EXPECT_EQ(qt::read_file(root.pidfile()), std::to_string(nm.daemon) + "\n");

    auto t0 = std::chrono::steady_clock::now();
    stop_with(GetParam());
    // Acted on at once, not at the loop's next two-second pass.
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1500));
    EXPECT_EQ(root.trace_lines().back(), "TERM");
    // Nothing logged on the way out, and the parent check never fired.
    std::vector<std::string> want = {
        "INFO Logging infra initialized...",
        "INFO Varnix daemon (" + std::to_string(nm.daemon) + ") starting..",
        "INFO Starting child \"" + r + "bin/qorv-netagent\"",
        started_line(agent),
    };
    EXPECT_EQ(root.log_lines(), want);
    EXPECT_EQ(nm.unclean_end({agent}), "");
}

INSTANTIATE_TEST_SUITE_P(Signals, NetmonRun, ::testing::Values(SIGTERM, SIGINT));

// Start-up failures: the command says what went wrong, on standard output,
// in the daemon's own words, and exits with its status.
TEST_F(NetmonE2E, StartUpFailuresAreReportedByTheCommand) {
    const std::string deep(230, 'd'), dflt = "/opt/qorvexa/varnix/";
    const std::vector<std::string> bad_opt = {"ERROR npmd_parse_opts: invalid option ?",
                                              "ERROR main: options parse error exiting"};
    const struct {
        const char *what;
        std::string sub;                      // the root's directory
        const char *rm;                       // a directory removed from it
        char agent;                           // 'w' waiting agent, 'x' not executable, '-' none
        std::vector<std::string> args, said;  // ROOT: the root without its slash
        int status, daemon_status;            // -1: no daemon to wait for
    } cases[] = {
        // clang-format off
        {"logs/ missing", "", "logs", 'w', {"-r", "ROOT/"},
         {"ERROR tr_init: fopen error: No such file or directory",
          "ERROR [panic]: src/core/logging*",  // "*": any rest of the line
          "ERROR main: the daemon ended during start-up without a status; its log is "
          "ROOT//logs//qorv-netmon.log.0"}, 1, -1},
        {"run/ missing", "", "run", 'w', {"-r", "ROOT/"},
         {"ERROR main: Failed to write pidfile. Exiting"}, 1, 1},
        {"agent missing (a root without its final slash)", "", "", 'w', {"-r", "ROOT"},
         {"ERROR main: ROOTbin/qorv-netagent doesn't exist. Exiting"}, 1, 1},
        {"agent path longer than its buffer", deep, "", '-', {"-r", "ROOT/"},
         {"ERROR main: ROOT/bin/qorv-netagent is longer than 255 bytes. Exiting"}, 1, 1},
        // The file exists, so the check passes, but exec fails in the child,
        // which removes the pid file on the supervisor's behalf; the
        // supervisor then sees an early end and stops.
        {"agent not executable", "", "", 'x', {"-r", "ROOT/"},
         {"ERROR main: unable to execute qorv-netagent: Permission denied"}, 1, 0},
        {"bad option", "", "", 'w', {"-x"}, bad_opt, 1, -1},
        {"missing option argument", "", "", 'w', {"-r", "ROOT/", "-p"}, bad_opt, 1, -1},
        {"no -r, default root absent", "", "", 'w', {},
         {"ERROR daemonize: failed chdir to " + dflt + "home/: No such file or directory",
          "ERROR Failed to daemonize. Aborting"}, qt::file_exists(dflt) ? -1 : 1, -1},
        // clang-format on
    };
    auto fill = [](std::string t, const nh::Root &x) {
        for (size_t at; (at = t.find("ROOT")) != std::string::npos;)
            t.replace(at, 4, x.base());
        return t;
    };
    for (const auto &f : cases) {
        if (f.status < 0) continue;  // an installed product is in the way
        SCOPED_TRACE(f.what);
        nh::Root x(f.sub);
        if (f.agent == 'w') x.waiting_agent();
        if (f.agent == 'x') qt::write_file(x.dir("bin/qorv-netagent"), "not a program\n");
        if (*f.rm) rmdir(x.dir(f.rm).c_str());
        nh::Netmon n(reaper, x);
        std::vector<std::string> args;
        for (const std::string &a : f.args)
            args.push_back(fill(a, x));
        n.run(args);
        EXPECT_EQ(n.first_status, f.status) << n.out;
        EXPECT_FALSE(n.pidfile_at_return);
        auto said = nh::messages(n.out);
        ASSERT_EQ(said.size(), f.said.size()) << n.out;
        for (size_t i = 0; i < said.size(); i++) {
            std::string want = fill(f.said[i], x);
            if (want.back() == '*')
                want.pop_back(), said[i].resize(std::min(said[i].size(), want.size()));
            EXPECT_EQ(said[i], want);
        }
        // Each line as it went to the log, time stamp included.
        const std::string log = x.log();
        for (const std::string &l : qt::split_lines(n.out)) {
            if (!log.empty() && l.find("ERROR main: the daemon ended") == std::string::npos) {
                EXPECT_NE(log.find(l + "\n"), std::string::npos) << l;
            }
        }
        if (f.daemon_status >= 0) {
            EXPECT_EQ(n.wait_exit(), f.daemon_status);
        }
        if (f.daemon_status == 0) {  // the child's report is the last line
            EXPECT_EQ(x.log_lines().back(), exit_line(n.first_agent(), 1));
        }
        EXPECT_FALSE(qt::file_exists(x.pidfile()));
        if (f.said == bad_opt) {  // nothing written
            for (const char *d : {"logs", "run", "home"})
                EXPECT_EQ(qt::count_entries(x.dir(d)), 0) << d;
        }
    }
}

// Lifetimes with scripted agents, checked as netmon_scenario.h says; run
// side by side.
TEST_F(NetmonE2E, ScriptedLifetimesEndAsPlanned) {
    const int late = 3300;  // well past the two-second window
    const launch_plan hang = {0, nh::ACT_HANG, 0};
    std::vector<nh::scenario> rows = {
        // A late end is restarted; the next end stops: the day's restart is used.
        {"late exit 7, then killed", {{late, nh::ACT_EXIT, 7}, {300, nh::ACT_SIGNAL, SIGKILL}}},
        // Ends before its pid is stored are reported and judged alike.
        {"exit 5 at once", {{0, nh::ACT_EXIT, 5}}},
        {"parent already gone", {hang}, 0, 0, 0},
    };
    if (plain_core_files()) {
        rows.push_back({"core in home at once", {{0, nh::ACT_CORE_HOME, 0}}});
        // The three one-second tries count as run time: restarted.
        rows.push_back(
            {"core elsewhere at once", {{0, nh::ACT_CORE_AWAY, 0}, {0, nh::ACT_EXIT, 0}}});
        // A termination during a try's wait is acted on at once.
        rows.push_back({"SIGTERM while waiting for a core",
                        {{late, nh::ACT_CORE_AWAY, 0}, hang},
                        SIGTERM,
                        late + 1500});
    }
    std::vector<nh::outcome> got(rows.size());
    std::vector<std::thread> runs;
    for (size_t i = 0; i < rows.size(); i++)
        runs.emplace_back([&, i] { got[i] = nh::run_lifetime(rows[i], reaper); });
    for (auto &t : runs)
        t.join();
    for (size_t i = 0; i < rows.size(); i++)
        EXPECT_TRUE(got[i].ok) << rows[i].text() << ": " << got[i].why;
}

TEST_F(NetmonE2E, AgentIgnoringSigtermIsKilledAfterGrace) {
    root.agent("trap '' TERM\necho $$ >> TRACE\nwhile :; do sleep 0.05; done");
    nm.run({"-r", root.root()}, nh::bin("qorv-netmon-testgrace"));
    ASSERT_TRUE(nm.wait_trace(1));
    pid_t agent = nm.first_agent();
    stop_with(SIGTERM);
    auto lines = root.log_lines();
    EXPECT_EQ(lines.back(), "WARN npmd_terminate: qorv-netagent(" + std::to_string(agent) +
                                ") still running 300 ms after SIGTERM, killing it");
    EXPECT_EQ(lines[lines.size() - 2], started_line(agent));
    EXPECT_EQ(nm.unclean_end({agent}), "");
}

}  // namespace
