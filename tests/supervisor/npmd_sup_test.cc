// Supervision decisions, driven by a test clock and fake operations: no
// processes are started and nothing sleeps.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "supervisor/netmon_harness.h"
#include "supervisor/npmd.h"

namespace {

constexpr int64_t S = NPM_NS_PER_S;

// The fake world: one clock, recorded effects.
struct World {
    int64_t mono = 1000 * S;
    time_t wall = 1700000000;
    pid_t next_pid = 500;
    bool fork_fails = false;
    bool parent_alive = true;
    int spawns = 0, stops = 0, terminates = 0, pauses = 0;
};
World w;

const npmd_ops fake_ops = {
    [] { return w.mono; },
    [] { return w.wall; },
    [](npm_proc *, const char *) -> pid_t {
        if (w.fork_fails) {
            errno = EAGAIN;
            return -1;
        }
        w.spawns++;
        return w.next_pid++;
    },
    [](int ms) {
        w.pauses++;
        w.mono += int64_t{ms} * 1000000;
        w.wall += ms / 1000;
    },
    [](pid_t) { return w.parent_alive ? 1 : 0; },
    [] { w.stops++; },
    [](int sig) {
        EXPECT_EQ(sig, SIGTERM);
        w.terminates++;
    },
};

int exited(int code) { return code << 8; }
int signaled(int sig, bool core) { return sig | (core ? 0x80 : 0); }

class NpmdSup : public ::testing::Test {
protected:
    char argv0[16] = "qorv-netagent";
    npm_proc agent = {"qorv-netagent", nullptr, {argv0}, 0, 0, 0};
    npmd_conf conf = {};

    void SetUp() override {
        w = World{};
        npmd_sup_setup(&agent, "/r/bin/qorv-netagent", &conf, &fake_ops);
        launch(100);
    }
    void launch(pid_t pid) {
        agent.np_pid = pid;
        agent.np_start_ns = w.mono;
    }
    // Runs f and returns the log messages it produced.
    template <class F>
    std::vector<std::string> logged(F f) {
        testing::internal::CaptureStdout();
        f();
        return nh::messages(testing::internal::GetCapturedStdout());
    }
};

TEST(NpmPolicy, EarlyWindowIsTwoWholeSecondsInclusive) {
    npm_proc p = {};
    p.np_start_ns = 50 * S;
    EXPECT_EQ(npm_end_event(&p, 50 * S), NPM_EV_END_EARLY);
    EXPECT_EQ(npm_end_event(&p, 52 * S), NPM_EV_END_EARLY);  // exactly 2 s
    EXPECT_EQ(npm_end_event(&p, 53 * S - 1), NPM_EV_END_EARLY);
    EXPECT_EQ(npm_end_event(&p, 53 * S), NPM_EV_END_LATE);
    EXPECT_EQ(npm_end_event(&p, 49 * S), NPM_EV_END_EARLY);  // a clock behind the start
    EXPECT_EQ(npm_next_action(&p, NPM_EV_END_LATE), NPM_ACT_RESTART);
    EXPECT_EQ(npm_next_action(&p, NPM_EV_END_EARLY), NPM_ACT_STOP);
    p.np_restarted = 1;
    EXPECT_EQ(npm_next_action(&p, NPM_EV_END_LATE), NPM_ACT_STOP);
    EXPECT_EQ(npm_next_action(&p, NPM_EV_DAY_PASSED), NPM_ACT_RESET);
}

TEST(NpmPolicy, DailyResetOnFourPassesOutOfFiveAfterMoreThanADay) {
    npm_proc p = {};
    p.np_start_ns = 7 * S;
    const int64_t day = 7 * S + NPM_DAY_S * S;
    for (uint64_t pass = 1; pass <= 10; pass++) {
        EXPECT_FALSE(npm_pass_resets(pass, &p, day)) << pass;  // exactly a day is not more
        EXPECT_EQ(npm_pass_resets(pass, &p, day + S), pass % 5 != 0) << pass;
    }
}

TEST_F(NpmdSup, RestartOnceThenStop) {
    w.mono += 10 * S;
    w.wall -= 365 * 86400;  // a wall-clock step changes no decision
    auto out = logged([] { EXPECT_EQ(npmd_on_child_exit(100, exited(7)), NPM_ACT_RESTART); });
    EXPECT_EQ(out, std::vector<std::string>{"INFO qorv-netagent(100) exited with exit code 7. "
                                            "Check qorv-netagent log file for more details"});
    EXPECT_EQ(agent.np_pid, 500);
    EXPECT_EQ(agent.np_restarted, 1);
    EXPECT_EQ(agent.np_start_ns, w.mono);

    w.mono += 3600 * S;  // well past the early window, but the restart is used
    out = logged([] { EXPECT_EQ(npmd_on_child_exit(500, signaled(SIGKILL, false)), NPM_ACT_STOP); });
    EXPECT_EQ(out, std::vector<std::string>{"INFO qorv-netagent(500) terminated on signal 9(core "
                                            "not dumped)"});
    EXPECT_EQ(w.spawns, 1);
    EXPECT_EQ(w.stops, 1);
}

TEST_F(NpmdSup, EndWithinTwoSecondsStopsWithoutRestart) {
    w.mono += 2 * S;  // exactly 2 s after launch
    auto out = logged([] { EXPECT_EQ(npmd_on_child_exit(100, exited(0)), NPM_ACT_STOP); });
    EXPECT_TRUE(out.empty());  // status 0 is not reported
    EXPECT_EQ(w.stops, 1);
    EXPECT_EQ(w.spawns, 0);
}

TEST_F(NpmdSup, FastDyingAgentIsReportedAndJudged) {
    // Ends in the very nanosecond of its launch.
    auto out = logged([] { EXPECT_EQ(npmd_on_child_exit(100, exited(3)), NPM_ACT_STOP); });
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].rfind("INFO qorv-netagent(100) exited with exit code 3.", 0), 0u);
}

TEST_F(NpmdSup, OtherChildrenAndStopsAreIgnored) {
    auto out = logged([] {
        EXPECT_EQ(npmd_on_child_exit(101, exited(1)), NPM_ACT_NONE);
        EXPECT_EQ(npmd_on_child_exit(100, 0x137f), NPM_ACT_NONE);  // stopped by SIGSTOP
        EXPECT_EQ(npmd_on_child_exit(100, 0xffff), NPM_ACT_NONE);  // continued
    });
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(agent.np_pid, 100);
    EXPECT_EQ(w.stops + w.spawns, 0);
}

TEST_F(NpmdSup, FailedRestartIsLoggedAndLeavesNoPidToSignal) {
    w.mono += 60 * S;
    w.fork_fails = true;
    auto out = logged([] { EXPECT_EQ(npmd_on_child_exit(100, exited(0)), NPM_ACT_NONE); });
    EXPECT_EQ(out, std::vector<std::string>{
                       "ERROR npmd_restart: unable to fork qorv-netagent: Resource temporarily "
                       "unavailable"});
    EXPECT_EQ(agent.np_restarted, 1);
    EXPECT_EQ(agent.np_pid, 0);  // the dead agent's pid may belong to someone else now
}

TEST_F(NpmdSup, DailyResetReArmsTheRestart) {
    w.mono += 10 * S;
    npmd_on_child_exit(100, exited(0));
    ASSERT_EQ(agent.np_restarted, 1);
    w.mono += (NPM_DAY_S + 1) * S;
    for (int i = 0; i < 4; i++) agent.np_restarted = 1, npmd_on_pass();
    EXPECT_EQ(agent.np_restarted, 0);
    agent.np_restarted = 1;
    auto out = logged([] { npmd_on_pass(); });  // pass 5: no reset
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(agent.np_restarted, 1);
    out = logged([] { npmd_on_pass(); });  // pass 6 resets again: the launch is still old
    EXPECT_EQ(out, std::vector<std::string>{"INFO main: resetting restart count after a day"});
    EXPECT_EQ(npmd_on_child_exit(500, exited(0)), NPM_ACT_RESTART);
    EXPECT_EQ(w.spawns, 2);
}

TEST_F(NpmdSup, ParentGoneTerminatesBeforeTheDailyReset) {
    conf.nc_check_parent = 1;
    conf.nc_parent_pid = 4242;
    npmd_on_pass();
    EXPECT_EQ(w.terminates, 0);
    w.parent_alive = false;
    w.mono += (NPM_DAY_S + 1) * S;
    auto out = logged([] { npmd_on_pass(); });
    EXPECT_EQ(out, std::vector<std::string>{
                       "INFO npmd_check_parent_process: Parent process stopped. Exiting."});
    EXPECT_EQ(w.terminates, 1);
}

class NpmdCore : public NpmdSup {
protected:
    qt::TempDir dir;
    char oldcwd[4096];
    void SetUp() override {
        NpmdSup::SetUp();
        ASSERT_NE(getcwd(oldcwd, sizeof(oldcwd)), nullptr);
        ASSERT_EQ(chdir(dir.path().c_str()), 0);
    }
    void TearDown() override { ASSERT_EQ(chdir(oldcwd), 0); }
};

TEST_F(NpmdCore, CoreFileGetsUniqueNameThenRestart) {
    qt::write_file(dir / "core", "dump");
    w.mono += 5 * S;
    auto out = logged([] { EXPECT_EQ(npmd_on_child_exit(100, signaled(SIGSEGV, true)), NPM_ACT_RESTART); });
    EXPECT_EQ(out, (std::vector<std::string>{
                       "INFO qorv-netagent(100) terminated on signal 11(core dumped)",
                       "INFO npm_rename_core: creating core file \"core.qorv-netagent.100.1700000000\""}));
    EXPECT_EQ(qt::read_file(dir / "core.qorv-netagent.100.1700000000"), "dump");
    EXPECT_FALSE(qt::file_exists(dir / "core"));
    EXPECT_EQ(w.pauses, 0);
}

TEST_F(NpmdCore, MissingCoreIsTriedThreeTimesAndWaitingCountsAsRunTime) {
    // Ended after half a second; the three one-second waits put the decision
    // past the early window, so the agent is restarted.
    w.mono += S / 2;
    auto out = logged([] { EXPECT_EQ(npmd_on_child_exit(100, signaled(SIGABRT, true)), NPM_ACT_RESTART); });
    const std::string warn = "WARN npm_rename_core: access system call failed: No such file or directory";
    EXPECT_EQ(out, (std::vector<std::string>{
                       "INFO qorv-netagent(100) terminated on signal 6(core dumped)",
                       "INFO npm_rename_core: creating core file \"core.qorv-netagent.100.1700000000\"",
                       warn, warn, warn, "INFO Could not rename core file after 3 tries"}));
    EXPECT_EQ(w.pauses, 3);
}

TEST_F(NpmdCore, ParentGoneIsNoticedDuringTheCoreWaits) {
    conf.nc_check_parent = 1;
    w.parent_alive = false;
    w.mono += 5 * S;
    logged([] { npmd_on_child_exit(100, signaled(SIGSEGV, true)); });
    EXPECT_GE(w.terminates, 1);
    EXPECT_EQ(w.pauses, 0);  // checked before waiting, not after
}

TEST_F(NpmdCore, CoreNameThatWouldBeCutIsRefused) {
    qt::write_file(dir / "core", "dump");
    std::string name(120, 'n');
    auto out = logged([&] { EXPECT_EQ(npm_rename_core(name.c_str(), 100), -1); });
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].rfind("ERROR npm_rename_core: core file name too long: core.nnn", 0), 0u);
    EXPECT_TRUE(qt::file_exists(dir / "core"));
    EXPECT_EQ(w.pauses, 0);
}

}  // namespace
