// qorv-netmon end to end: the real daemon supervising scripted agents in a
// temporary install root.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <string>

#include "supervisor/netmon_harness.h"

namespace {

using nh::count_of;
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
    // After the daemon's end: its pid file is gone and no agent is left.
    void expect_clean_end(pid_t agent) {
        EXPECT_FALSE(qt::file_exists(root.pidfile()));
        reaper.reap();
        EXPECT_FALSE(nh::alive(agent)) << "agent " << agent << " left running";
        EXPECT_FALSE(reaper.reaped(agent)) << "agent " << agent << " was orphaned, not reaped";
    }
};

TEST_F(NetmonE2E, StartsAgentWithRootPathsAndLogsInOrder) {
    root.waiting_agent();
    nm.run_root();
    ASSERT_EQ(nm.st.first_status, 0);
    ASSERT_TRUE(nm.wait_trace(2));
    const std::string r = root.root();
    pid_t agent = nm.first_agent();
    auto tr = root.trace_lines();
    EXPECT_EQ(tr[0],
              std::to_string(agent) + " -c " + r + "conf/ -l " + r + "logs/ -r " + r + "run/");
    EXPECT_EQ(tr[1], root.dir("home"));  // the agent runs in the home directory

    // Only 0, 1 and 2 (all /dev/null) are inherited, besides the script the
    // shell itself reads.  (The shell opens the trace file for a moment
    // while it writes; a descriptor from the supervisor would stay.)
    std::string leaked;
    EXPECT_TRUE(nh::wait_until([&] { return (leaked = foreign_fds(agent)).empty(); }, 2000))
        << leaked;

    // The doubled slashes of the supervisor's own names are kept.
    EXPECT_TRUE(qt::file_exists(root.base() + "//logs//qorv-netmon.log.0"));
    EXPECT_EQ(qt::read_file(root.pidfile()), std::to_string(nm.daemon) + "\n");
    struct stat sb;
    ASSERT_EQ(stat(root.pidfile().c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mode & 07777, 0644u);

    auto lines = root.log_lines();
    std::vector<std::string> want = {
        "INFO Logging infra initialized...",
        "INFO Varnix daemon (" + std::to_string(nm.daemon) + ") starting..",
        "INFO Starting child \"" + r + "bin/qorv-netagent\"",
        started_line(agent),
    };
    EXPECT_EQ(lines, want);
    stop_with(SIGTERM);
    expect_clean_end(agent);
}

TEST_F(NetmonE2E, RootWithoutSlashJoinsAgentPathsWithoutSeparator) {
    // -r B: the supervisor uses B/run/ and B/logs/, the agent is
    // Bbin/qorv-netagent, so the one in B/bin/ is not found.
    nh::Root x("x");
    nh::Netmon first(reaper, x);
    x.waiting_agent();
    first.run({"-r", x.base()});
    EXPECT_EQ(first.st.first_status, 0);
    EXPECT_EQ(first.wait_exit(), 1);
    EXPECT_EQ(x.log_lines().back(),
              "ERROR main: " + x.base() + "bin/qorv-netagent doesn't exist. Exiting");
    EXPECT_FALSE(qt::file_exists(x.pidfile()));

    unlink(x.dir("logs/qorv-netmon.log.0").c_str());
    ASSERT_EQ(mkdir((x.base() + "bin").c_str(), 0755), 0);
    x.agent("echo \"$$ $*\" >> TRACE\nexec sleep 30", x.base() + "bin/qorv-netagent");
    nh::Netmon second(reaper, x);
    second.run({"-r", x.base()});
    ASSERT_TRUE(second.wait_trace(1));
    const std::string b = x.base();
    EXPECT_EQ(x.trace_lines()[0], std::to_string(second.first_agent()) + " -c " + b + "conf/ -l " +
                                      b + "logs/ -r " + b + "run/");
    EXPECT_TRUE(qt::file_exists(b + "/logs//qorv-netmon.log.0"));
    EXPECT_EQ(qt::read_file(x.pidfile()), std::to_string(second.daemon) + "\n");
    ASSERT_GT(second.daemon, 0);
    ASSERT_EQ(kill(second.daemon, SIGTERM), 0);
    EXPECT_EQ(second.wait_exit(), 0);
    EXPECT_FALSE(qt::file_exists(x.pidfile()));
}

TEST_F(NetmonE2E, AgentThatCannotBeExecutedEndsSupervision) {
    // The file exists, so the check passes, but exec fails in the child,
    // which removes the supervisor's pid file on its behalf.
    qt::write_file(root.dir("bin/qorv-netagent"), "not a program\n");
    chmod(root.dir("bin/qorv-netagent").c_str(), 0644);
    nm.run_root();
    EXPECT_EQ(nm.wait_exit(), 0);
    pid_t agent = nm.first_agent();
    auto lines = root.log_lines();
    EXPECT_GE(index_of(lines, "ERROR main: unable to execute qorv-netagent: Permission denied"), 0);
    // Last, after the child's own line.
    EXPECT_EQ(index_of(lines, exit_line(agent, 1)), static_cast<long>(lines.size()) - 1);
    EXPECT_FALSE(qt::file_exists(root.pidfile()));
}

TEST_F(NetmonE2E, AgentPathLongerThanItsBufferIsRefused) {
    // A root of 250 characters and more: the program path cannot fit in
    // 256 bytes and must not be cut to some other path.
    nh::Root deep(std::string(230, 'd'));
    nh::Netmon dm(reaper, deep);
    deep.agent("exit 0");
    dm.run({"-r", deep.root()});
    EXPECT_EQ(dm.wait_exit(), 1);
    EXPECT_EQ(deep.log_lines().back(), "ERROR main: " + deep.base() +
                                           "/bin/qorv-netagent is longer than 255 bytes. Exiting");
    EXPECT_FALSE(qt::file_exists(deep.pidfile()));
}

TEST_F(NetmonE2E, ExitReportsThenRestartsOnceThenStops) {
    // First run: more than the early-failure window, then exit 7.  Second
    // run: killed; the day's restart is used, so the supervisor stops.
    root.agent(
        "echo $$ >> TRACE\n"
        "if [ $(wc -l < TRACE) -eq 1 ]; then sleep 3.2; exit 7; fi\n"
        "sleep 0.3; kill -KILL $$");
    nm.run_root();
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
    expect_clean_end(a2);
}

TEST_F(NetmonE2E, FastDyingAgentIsReportedAndEndsSupervision) {
    // The agent may end before the supervisor has stored its pid; it is
    // still reported and judged as an early failure.
    root.agent("echo $$ >> TRACE\nexit 5");
    nm.run_root();
    EXPECT_EQ(nm.wait_exit(), 0);
    pid_t agent = nm.first_agent();
    auto lines = root.log_lines();
    EXPECT_EQ(lines.back(), exit_line(agent, 5));
    EXPECT_EQ(root.trace_lines().size(), 1u);
    expect_clean_end(agent);
}

class NetmonStopSignal : public NetmonE2E, public ::testing::WithParamInterface<int> {};

TEST_P(NetmonStopSignal, StopsAgentRemovesPidFileAndLogsNothing) {
    root.waiting_agent();
    nm.run_root();
    ASSERT_TRUE(nm.wait_trace(2));
    pid_t agent = nm.first_agent();
    size_t before = root.log_lines().size();
    auto t0 = std::chrono::steady_clock::now();
    stop_with(GetParam());
    // Acted on at once, not at the loop's next two-second pass.
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1500));
    EXPECT_EQ(root.trace_lines().back(), "TERM");
    EXPECT_EQ(root.log_lines().size(), before);
    expect_clean_end(agent);
}

INSTANTIATE_TEST_SUITE_P(Signals, NetmonStopSignal, ::testing::Values(SIGTERM, SIGINT));

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
    expect_clean_end(nm.first_agent());
}

TEST_F(NetmonE2E, ParentGivenAsTextNeverFires) {
    root.waiting_agent();
    nm.run({"-r", root.root(), "-p", "abc"});
    ASSERT_TRUE(nm.wait_trace(2));
    // The first pass runs right after the launch; give it room to misfire.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(nh::alive(nm.daemon));
    EXPECT_LT(index_of(root.log_lines(),
                       "INFO npmd_check_parent_process: Parent process stopped. Exiting."),
              0);
    pid_t agent = nm.first_agent();
    stop_with(SIGTERM);
    expect_clean_end(agent);
}

class NetmonBadOptions : public NetmonE2E,
                         public ::testing::WithParamInterface<std::vector<std::string>> {};

TEST_P(NetmonBadOptions, ReportOnStandardOutputAndWriteNothing) {
    std::vector<std::string> args = GetParam();
    for (auto &a : args)
        if (a == "ROOT") a = root.root();
    auto s = nh::start(reaper, nh::bin("qorv-netmon"), args, root.dir("out"));
    ASSERT_TRUE(WIFEXITED(s.first_status));
    EXPECT_EQ(WEXITSTATUS(s.first_status), 1);
    auto lines = nh::messages(s.out);
    long a = index_of(lines, "ERROR npmd_parse_opts: invalid option ?");
    EXPECT_GE(a, 0) << s.out;
    EXPECT_EQ(index_of(lines, "ERROR main: options parse error exiting"), a + 1) << s.out;
    for (const char *d : {"logs", "run", "home"})
        EXPECT_EQ(qt::count_entries(root.dir(d)), 0) << d;
}

INSTANTIATE_TEST_SUITE_P(Options, NetmonBadOptions,
                         ::testing::Values(std::vector<std::string>{"-x"},
                                           std::vector<std::string>{"-r"},
                                           std::vector<std::string>{"-r", "ROOT", "-q"},
                                           std::vector<std::string>{"-r", "ROOT", "-p"}));

TEST_F(NetmonE2E, MissingRunDirectoryFailsAfterDetaching) {
    root.waiting_agent();
    rmdir(root.dir("run").c_str());
    nm.run_root();
    EXPECT_EQ(nm.st.first_status, 0);  // the calling shell sees the detach succeed
    EXPECT_EQ(nm.wait_exit(), 1);
    auto lines = root.log_lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(
        lines[lines.size() - 2],
        "WARN npm_write_pidfile: Failed to open pidfile for writing: No such file or directory");
    EXPECT_EQ(lines.back(), "ERROR main: Failed to write pidfile. Exiting");
}

TEST_F(NetmonE2E, SecondSupervisorOnSameRootIsRefused) {
    root.waiting_agent();
    nm.run_root();
    ASSERT_TRUE(nm.wait_trace(2));
    // Same root, spelt without the final slash.
    auto s = nh::start(reaper, nh::bin("qorv-netmon"), {"-r", root.base()}, root.dir("out2"));
    ASSERT_TRUE(WIFEXITED(s.first_status));
    EXPECT_EQ(WEXITSTATUS(s.first_status), 1);
    EXPECT_EQ(
        nh::messages(s.out),
        std::vector<std::string>{"ERROR main: another qorv-netmon (" + std::to_string(nm.daemon) +
                                 ") is running on " + root.base() + "/run/. Exiting"});
    EXPECT_TRUE(nh::alive(nm.daemon));
    EXPECT_EQ(qt::read_file(root.pidfile()), std::to_string(nm.daemon) + "\n");
    pid_t agent = nm.first_agent();
    stop_with(SIGTERM);
    expect_clean_end(agent);
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
    expect_clean_end(agent);
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
    // An agent whose first run crashes with a core in dir; later runs wait.
    void crashing_agent(const std::string &dir) {
        root.agent(
            "trap 'exit 0' TERM\necho $$ >> TRACE\n"
            "if [ $(wc -l < TRACE) -eq 1 ]; then cd " +
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
    expect_clean_end(agent);
}

TEST_F(NetmonCore, CoreDumpedElsewhereIsTriedThreeTimesThenAgentRestarts) {
    std::string elsewhere = root.dir("conf");
    crashing_agent(elsewhere);
    nm.run_root();
    ASSERT_TRUE(nm.wait_trace(2, 8000));
    const std::string warn =
        "WARN npm_rename_core: access system call failed: No such file or directory";
    auto lines = root.log_lines();
    EXPECT_EQ(count_of(lines, warn), 3);
    long last = index_of(lines, "INFO Could not rename core file after 3 tries");
    EXPECT_GT(last, index_of(lines, warn) + 2);
    // The three waits count as run time, so the agent is restarted.
    EXPECT_TRUE(qt::file_exists(elsewhere + "/core"));
    pid_t agent2 = atoi(root.trace_lines()[1].c_str());
    stop_with(SIGTERM);
    expect_clean_end(agent2);
}

TEST_F(NetmonCore, TerminationDuringCoreRenameWaitIsPrompt) {
    crashing_agent(root.dir("conf"));
    nm.run_root();
    const std::string warn =
        "WARN npm_rename_core: access system call failed: No such file or directory";
    ASSERT_TRUE(nm.wait_line(warn));
    auto t0 = std::chrono::steady_clock::now();
    stop_with(SIGTERM);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(700));
    auto lines = root.log_lines();
    EXPECT_EQ(lines.back(), warn);  // nothing after: no more tries, no report, no restart
    EXPECT_EQ(root.trace_lines().size(), 1u);
    EXPECT_FALSE(qt::file_exists(root.pidfile()));
}

}  // namespace
