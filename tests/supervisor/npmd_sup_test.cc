// Supervision decisions, driven by a test clock and fake operations: no
// processes are started and nothing sleeps.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "supervisor/netmon_harness.h"
#include "supervisor/npmd.h"

namespace {

constexpr int64_t S = NPM_NS_PER_S;

struct World {
    int64_t mono = 1000 * S;
    time_t wall = 1700000000;
    pid_t next_pid = 500;
    bool fork_fails = false, parent_alive = true;
    int spawns = 0, stops = 0, terminates = 0, pauses = 0, signals = 0;
} w;

const npmd_ops fake_ops = {
    [] { return w.mono; },
    [] { return w.wall; },
    [](npm_proc *, const char *) -> pid_t {
        if (w.fork_fails) return errno = EAGAIN, -1;
        return w.spawns++, w.next_pid++;
    },
    [](int ms) { w.pauses++, w.mono += int64_t{ms} * 1000000; },
    [](pid_t) { return w.parent_alive ? 1 : 0; },
    [] { w.stops++; },
    [](int) { w.terminates++; },
    [](pid_t, int) { return w.signals++, 0; },
};

int exited(int code) {
    return code << 8;
}
int signaled(int sig, bool core) {
    return sig | (core ? 0x80 : 0);
}
const std::string kWarn =
    "WARN npm_rename_core: access system call failed: No such file or directory";

class NpmdSup : public ::testing::Test {
  protected:
    char argv0[16] = "qorv-netagent";
    npm_proc agent = {"qorv-netagent", nullptr, {argv0}, 100, 0, 0};
    npmd_conf conf = {};
    qt::TempDir dir;  // the working directory, where "core" is looked for
    char oldcwd[4096];

    void SetUp() override {
        w = World{};
        agent.np_start_ns = w.mono;
        npmd_sup_setup(&agent, "/r/bin/qorv-netagent", &conf, &fake_ops);
        ASSERT_NE(getcwd(oldcwd, sizeof(oldcwd)), nullptr);
        ASSERT_EQ(chdir(dir.path().c_str()), 0);
    }
    void TearDown() override { ASSERT_EQ(chdir(oldcwd), 0); }
    // Handles one child end and returns the action and the messages logged.
    std::vector<std::string> end(pid_t pid, int status, npm_action want) {
        return nh::messages(
            qt::captured([&] { EXPECT_EQ(npmd_on_child_exit(pid, status), want); }));
    }
};

TEST(NpmPolicy, EarlyWindowIsTwoWholeSeconds) {
    npm_proc p = {};
    p.np_start_ns = 50 * S;
    EXPECT_EQ(npm_end_event(&p, 52 * S), NPM_EV_END_EARLY);  // exactly 2 s
    EXPECT_EQ(npm_end_event(&p, 53 * S - 1), NPM_EV_END_EARLY);
    EXPECT_EQ(npm_end_event(&p, 53 * S), NPM_EV_END_LATE);
    EXPECT_EQ(npm_end_event(&p, 49 * S), NPM_EV_END_EARLY);  // a clock behind the start
}

TEST_F(NpmdSup, RestartOnceThenStop) {
    w.mono += 10 * S;
    w.wall -= 365 * 86400;  // a wall-clock step changes no decision
    EXPECT_EQ(end(100, exited(7), NPM_ACT_RESTART),
              std::vector<std::string>{"INFO qorv-netagent(100) exited with exit code 7. Check "
                                       "qorv-netagent log file for more details"});
    EXPECT_EQ(agent.np_pid, 500);
    EXPECT_EQ(agent.np_start_ns, w.mono);
    w.mono += 3600 * S;  // long past the early window, but the day's restart is used
    EXPECT_EQ(end(500, signaled(SIGKILL, false), NPM_ACT_STOP),
              std::vector<std::string>{"INFO qorv-netagent(500) terminated on signal 9(core not "
                                       "dumped)"});
    EXPECT_EQ(w.spawns, 1);
    EXPECT_EQ(w.stops, 1);
}

TEST_F(NpmdSup, OtherChildrenAndStoppedAgentAreIgnoredACleanEarlyEndStopsSilently) {
    EXPECT_TRUE(end(101, exited(1), NPM_ACT_NONE).empty());
    EXPECT_TRUE(end(100, 0x137f, NPM_ACT_NONE).empty());  // stopped by SIGSTOP
    EXPECT_TRUE(end(100, 0xffff, NPM_ACT_NONE).empty());  // continued
    EXPECT_EQ(agent.np_pid, 100);
    EXPECT_EQ(w.stops + w.spawns, 0);
    w.mono += 2 * S;
    EXPECT_TRUE(end(100, exited(0), NPM_ACT_STOP).empty());
    EXPECT_EQ(w.spawns, 0);
}

TEST_F(NpmdSup, FailedRestartIsLoggedAndLeavesNoPidToSignal) {
    w.mono += 60 * S;
    w.fork_fails = true;
    EXPECT_EQ(end(100, exited(0), NPM_ACT_NONE),
              std::vector<std::string>{"ERROR npmd_restart: unable to fork qorv-netagent: "
                                       "Resource temporarily unavailable"});
    EXPECT_EQ(agent.np_restarted, 1);
    EXPECT_EQ(agent.np_pid, 0);  // the dead agent's pid may be someone else's by now
}

TEST_F(NpmdSup, DailyResetReArmsTheRestartOnFourPassesOutOfFive) {
    conf.nc_check_parent = 1;  // a live parent changes nothing
    w.mono += NPM_DAY_S * S;   // exactly a day is not more than a day
    for (int pass = 1; pass <= 11; pass++) {
        if (pass == 6) w.mono += S;
        agent.np_restarted = 1;
        auto out = nh::messages(qt::captured(npmd_on_pass));
        const bool reset = pass > 5 && pass != 10;  // the 11th re-arms for the end below
        EXPECT_EQ(agent.np_restarted, reset ? 0 : 1) << pass;
        EXPECT_EQ(out,
                  reset ? std::vector<std::string>{"INFO main: resetting restart count after a day"}
                        : std::vector<std::string>{})
            << pass;
    }
    EXPECT_EQ(w.terminates, 0);
    EXPECT_EQ(end(100, exited(0), NPM_ACT_RESTART).size(), 0u);
}

TEST_F(NpmdSup, CoreFileGetsUniqueName) {
    qt::write_file(dir / "core", "dump");
    w.mono += 5 * S;
    EXPECT_EQ(
        end(100, signaled(SIGSEGV, true), NPM_ACT_RESTART),
        (std::vector<std::string>{
            "INFO qorv-netagent(100) terminated on signal 11(core dumped)",
            "INFO npm_rename_core: creating core file \"core.qorv-netagent.100.1700000000\""}));
    EXPECT_EQ(qt::read_file(dir / "core.qorv-netagent.100.1700000000"), "dump");
    EXPECT_FALSE(qt::file_exists(dir / "core"));
}

TEST_F(NpmdSup, MissingCoreIsTriedThreeTimesAndWaitingCountsAsRunTime) {
    // Ended after half a second, but the three one-second waits put the
    // decision past the early window: restarted.
    w.mono += S / 2;
    auto out = end(100, signaled(SIGABRT, true), NPM_ACT_RESTART);
    EXPECT_EQ(out,
              (std::vector<std::string>{
                  "INFO qorv-netagent(100) terminated on signal 6(core dumped)",
                  "INFO npm_rename_core: creating core file \"core.qorv-netagent.100.1700000000\"",
                  kWarn, kWarn, kWarn, "INFO Could not rename core file after 3 tries"}));
    EXPECT_EQ(w.pauses, 3);
}

TEST_F(NpmdSup, ParentGoneIsCheckedBeforeEachCoreWait) {
    conf.nc_check_parent = 1;
    w.parent_alive = false;
    end(100, signaled(SIGSEGV, true), NPM_ACT_STOP);
    EXPECT_EQ(w.terminates, 3);
    EXPECT_EQ(w.pauses, 0);
}

TEST_F(NpmdSup, CoreNameThatWouldBeCutIsRefused) {
    qt::write_file(dir / "core", "dump");
    std::string name(120, 'n');
    auto out =
        nh::messages(qt::captured([&] { EXPECT_EQ(npm_rename_core(name.c_str(), 100), -1); }));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].rfind("ERROR npm_rename_core: core file name too long: core.nnn", 0), 0u);
    EXPECT_TRUE(qt::file_exists(dir / "core"));
}

// A reload with no agent running (a restart failed) is only logged; the
// end-to-end tests pass one on to a running agent.
TEST_F(NpmdSup, SighupWithoutAnAgentIsOnlyLogged) {
    agent.np_pid = 0;
    EXPECT_EQ(
        nh::messages(qt::captured(npmd_on_reload)),
        std::vector<std::string>{"INFO npmd_reload: SIGHUP ignored, no qorv-netagent running"});
    EXPECT_EQ(w.signals, 0);
}

}  // namespace
