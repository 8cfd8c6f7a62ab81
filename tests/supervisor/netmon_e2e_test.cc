// qorv-netmon end to end: the real daemon supervising scripted agents in a
// temporary install root.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <string>

#include "supervisor/netmon_harness.h"

namespace {

using nh::index_of;

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
    struct failure {
        const char *what;
        std::function<std::vector<std::string>(nh::Root &)> setup;  // returns the arguments
        std::vector<std::string> said;  // "*" at the end: any rest of the line
        int status, daemon_status;      // daemon_status -1: no daemon to wait for
    };
    const std::string dflt = "/opt/qorvexa/varnix/";
    std::vector<failure> cases = {
        {"logs/ missing",
         [](nh::Root &x) {
             x.waiting_agent();
             rmdir(x.dir("logs").c_str());
             return std::vector<std::string>{"-r", x.root()};
         },
         {"ERROR tr_init: fopen error: No such file or directory",
          "ERROR [panic]: src/core/logging*",
          "ERROR main: the daemon ended during start-up without a status; its log is "
          "ROOT//logs//qorv-netmon.log.0"},
         1,
         -1},
        {"run/ missing",
         [](nh::Root &x) {
             x.waiting_agent();
             rmdir(x.dir("run").c_str());
             return std::vector<std::string>{"-r", x.root()};
         },
         {"ERROR main: Failed to write pidfile. Exiting"},
         1,
         1},
        {"agent missing (a root without its final slash)",
         [](nh::Root &x) {
             x.waiting_agent();
             return std::vector<std::string>{"-r", x.base()};
         },
         {"ERROR main: ROOTbin/qorv-netagent doesn't exist. Exiting"},
         1,
         1},
        {"agent path longer than its buffer",
         [](nh::Root &x) {
             std::string deep = x.dir(std::string(230, 'd'));
             for (const char *d : {"", "/logs", "/run", "/home"})
                 mkdir((deep + d).c_str(), 0755);
             return std::vector<std::string>{"-r", deep + "/"};
         },
         {"ERROR main: ROOT/" + std::string(230, 'd') +
          "/bin/qorv-netagent is longer than 255 bytes. Exiting"},
         1,
         -1},
        // The file exists, so the check passes, but exec fails in the
        // child, which removes the pid file on the supervisor's behalf; the
        // supervisor then sees an early end and stops.
        {"agent not executable",
         [](nh::Root &x) {
             qt::write_file(x.dir("bin/qorv-netagent"), "not a program\n");
             return std::vector<std::string>{"-r", x.root()};
         },
         {"ERROR main: unable to execute qorv-netagent: Permission denied"},
         1,
         0},
        {"bad option",
         [](nh::Root &) { return std::vector<std::string>{"-x"}; },
         {"ERROR npmd_parse_opts: invalid option ?", "ERROR main: options parse error exiting"},
         1,
         -1},
        {"missing option argument",
         [](nh::Root &x) {
             return std::vector<std::string>{"-r", x.root(), "-p"};
         },
         {"ERROR npmd_parse_opts: invalid option ?", "ERROR main: options parse error exiting"},
         1,
         -1},
    };
    if (!qt::file_exists(dflt))
        cases.push_back(
            {"no -r, default root absent",
             [](nh::Root &) { return std::vector<std::string>{}; },
             {"ERROR daemonize: failed chdir to " + dflt + "home/: No such file or directory",
              "ERROR Failed to daemonize. Aborting"},
             1,
             -1});
    for (const failure &f : cases) {
        SCOPED_TRACE(f.what);
        nh::Root x;
        nh::Netmon n(reaper, x);
        std::vector<std::string> args = f.setup(x);
        n.run(args);
        EXPECT_EQ(n.first_status, f.status) << n.out;
        EXPECT_FALSE(n.pidfile_at_return);
        auto said = nh::messages(n.out);
        ASSERT_EQ(said.size(), f.said.size()) << n.out;
        for (size_t i = 0; i < said.size(); i++) {
            std::string want = f.said[i];
            for (size_t at; (at = want.find("ROOT")) != std::string::npos;)
                want.replace(at, 4, x.base());
            if (want.back() == '*')
                EXPECT_EQ(said[i].rfind(want.substr(0, want.size() - 1), 0), 0u) << said[i];
            else
                EXPECT_EQ(said[i], want);
        }
        // Each line as it went to the log, time stamp included.
        std::string log = x.log();
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
        if (n.out.find("ERROR main: options parse error") != std::string::npos) {
            for (const char *d : {"logs", "run", "home"})
                EXPECT_EQ(qt::count_entries(x.dir(d)), 0) << d;
        }
    }
}

TEST_F(NetmonE2E, RootWithoutSlashJoinsAgentPathsWithoutSeparator) {
    // -r B: the supervisor uses B/run/ and B/logs/, the agent is
    // Bbin/qorv-netagent.
    nh::Root x("x");
    nh::Netmon n(reaper, x);
    ASSERT_EQ(mkdir((x.base() + "bin").c_str(), 0755), 0);
    x.agent("echo \"$$ $*\" >> TRACE\nexec sleep 30", x.base() + "bin/qorv-netagent");
    n.run({"-r", x.base()});
    ASSERT_EQ(n.first_status, 0) << n.out;
    ASSERT_TRUE(n.wait_trace(1));
    const std::string b = x.base();
    EXPECT_EQ(x.trace_lines()[0], std::to_string(n.first_agent()) + " -c " + b + "conf/ -l " + b +
                                      "logs/ -r " + b + "run/");
    EXPECT_TRUE(qt::file_exists(b + "/logs//qorv-netmon.log.0"));
    EXPECT_EQ(qt::read_file(x.pidfile()), std::to_string(n.daemon) + "\n");
    ASSERT_GT(n.daemon, 0);
    ASSERT_EQ(kill(n.daemon, SIGTERM), 0);
    EXPECT_EQ(n.wait_exit(), 0);
    EXPECT_EQ(n.unclean_end({n.first_agent()}), "");
}

TEST_F(NetmonE2E, ExitReportsThenRestartsOnceThenStops) {
    // First run: more than the early-failure window, then exit 7.  Second
    // run: killed; the day's restart is used, so the supervisor stops.
    root.agent(
        "echo $$ >> TRACE\n"
        "if [ $(wc -l < TRACE) -eq 1 ]; then sleep 3.2; exit 7; fi\n"
        "sleep 0.3; kill -KILL $$");
    nm.run_root();
    EXPECT_EQ(nm.first_status, 0);
    ASSERT_TRUE(nm.wait_trace(2, 8000));
    auto tr = root.trace_lines();
    pid_t a1 = atoi(tr[0].c_str()), a2 = atoi(tr[1].c_str());
    EXPECT_FALSE(nh::alive(a1)) << "ended agent not reaped";  // no zombie
    EXPECT_EQ(nm.wait_exit(), 0);
    auto lines = root.log_lines();
    long rep1 = index_of(lines, exit_line(a1, 7));
    long rep2 = index_of(lines, "INFO qorv-netagent(" + std::to_string(a2) +
                                    ") terminated on signal 9(core not dumped)");
    EXPECT_GE(rep1, 0);
    EXPECT_GT(rep2, rep1);
    EXPECT_EQ(rep2, static_cast<long>(lines.size()) - 1);  // the restart is not announced
    EXPECT_EQ(root.trace_lines().size(), 2u);
    EXPECT_EQ(nm.unclean_end({a1, a2}), "");
}

TEST_F(NetmonE2E, FastDyingAgentIsReportedAndEndsSupervision) {
    // The agent may end before the supervisor has stored its pid; it is
    // still reported and judged as an early failure.  Start-up itself
    // succeeded.
    root.agent("echo $$ >> TRACE\nexit 5");
    nm.run_root();
    EXPECT_EQ(nm.first_status, 0) << nm.out;
    EXPECT_EQ(nm.wait_exit(), 0);
    pid_t agent = nm.first_agent();
    EXPECT_EQ(root.log_lines().back(), exit_line(agent, 5));
    EXPECT_EQ(root.trace_lines().size(), 1u);
    EXPECT_EQ(nm.unclean_end({agent}), "");
}

TEST_F(NetmonE2E, ParentGoneStopsAgentAndSupervisor) {
    pid_t gone = fork();
    if (gone == 0) _exit(0);
    ASSERT_TRUE(reaper.wait(gone, 3000));
    root.waiting_agent();
    nm.run({"-r", root.root(), "-p", std::to_string(gone)});
    EXPECT_EQ(nm.wait_exit(), 0);
    EXPECT_EQ(root.log_lines().back(),
              "INFO npmd_check_parent_process: Parent process stopped. Exiting.");
    // The agent may be stopped before its script got going; if it ran, it
    // was sent SIGTERM.
    auto tr = root.trace_lines();
    if (tr.size() > 2) {
        EXPECT_EQ(tr.back(), "TERM");
    }
    EXPECT_EQ(nm.unclean_end({nm.first_agent()}), "");
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

// Core dumps need the kernel to write plain "core" files.
bool plain_core_files() {
    std::string pat = qt::read_file("/proc/sys/kernel/core_pattern");
    std::string pid = qt::read_file("/proc/sys/kernel/core_uses_pid");
    return pat == "core\n" && pid == "0\n";
}

class NetmonCore : public NetmonE2E {
  protected:
    void SetUp() override {
        if (!plain_core_files())
            GTEST_SKIP() << "core_pattern is not \"core\": no core file in the working directory";
        struct rlimit rl = {RLIM_INFINITY, RLIM_INFINITY};
        ASSERT_EQ(setrlimit(RLIMIT_CORE, &rl), 0);
        // Sanitizer runtimes of a sanitized supervisor would set the limit
        // back to 0 for the agents they start.
        for (const char *var : {"ASAN_OPTIONS", "TSAN_OPTIONS"}) {
            const char *old = getenv(var);
            setenv(var, (std::string(old ? old : "") + ":disable_coredump=0").c_str(), 1);
        }
    }
    // An agent whose first two runs crash with a core in dir (the second
    // after a moment); a third run waits.
    void crashing_agent(const std::string &dir) {
        root.agent(
            "trap 'exit 0' TERM\necho $$ >> TRACE\n"
            "if [ $(wc -l < TRACE) -le 2 ]; then sleep 0.$(wc -l < TRACE); cd " +
            dir +
            " && kill -SEGV $$; fi\n"
            "while :; do sleep 0.05; done");
    }
};

TEST_F(NetmonCore, CoreFileIsRenamedWithPidAndTime) {
    crashing_agent(root.dir("home"));
    time_t t0 = time(nullptr);
    nm.run_root();
    EXPECT_EQ(nm.wait_exit(), 0);  // a crash right after launch ends supervision
    time_t t1 = time(nullptr);
    pid_t agent = nm.first_agent();
    auto lines = root.log_lines();
    long rep = index_of(lines, "INFO qorv-netagent(" + std::to_string(agent) +
                                   ") terminated on signal 11(core dumped)");
    ASSERT_GE(rep, 0);
    ASSERT_LT(rep + 1, static_cast<long>(lines.size()));
    const std::string prefix = "INFO npm_rename_core: creating core file \"core.qorv-netagent." +
                               std::to_string(agent) + ".";
    ASSERT_EQ(lines[rep + 1].rfind(prefix, 0), 0u) << lines[rep + 1];
    long when = atol(lines[rep + 1].c_str() + prefix.size());
    EXPECT_GE(when, t0);
    EXPECT_LE(when, t1);
    std::string name = "core.qorv-netagent." + std::to_string(agent) + "." + std::to_string(when);
    EXPECT_GT(qt::file_size(root.dir("home/" + name)), 0);
    EXPECT_FALSE(qt::file_exists(root.dir("home/core")));
    EXPECT_EQ(nm.unclean_end({agent}), "");
}

// A core dumped elsewhere: three tries, whose waits count as run time, so
// the agent is restarted; the restarted agent crashes the same way, and a
// termination during that wait is acted on at once.
TEST_F(NetmonCore, CoreDumpedElsewhereIsTriedThreeTimesAndTerminationCutsTheWait) {
    std::string elsewhere = root.dir("conf");
    crashing_agent(elsewhere);
    nm.run_root();
    const std::string warn =
        "WARN npm_rename_core: access system call failed: No such file or directory";
    auto warns = [&] {
        long n = 0;
        for (const auto &l : root.log_lines())
            n += l == warn;
        return n;
    };
    ASSERT_TRUE(nh::wait_until([&] { return warns() == 4; }, 8000)) << root.log();
    auto t0 = std::chrono::steady_clock::now();
    stop_with(SIGTERM);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(700));
    auto lines = root.log_lines();
    long last = index_of(lines, "INFO Could not rename core file after 3 tries");
    EXPECT_GT(last, index_of(lines, warn) + 2);
    EXPECT_EQ(lines.back(), warn);  // nothing after: no more tries, no report, no restart
    EXPECT_EQ(root.trace_lines().size(), 2u);
    EXPECT_TRUE(qt::file_exists(elsewhere + "/core"));
    EXPECT_FALSE(qt::file_exists(root.pidfile()));
}

}  // namespace
