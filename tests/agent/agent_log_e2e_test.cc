// The agent's log as an operator meets it: emptied by hand after a
// rotation, then on a disk that fills up and clears.  It must go on as
// text: whole lines, no NUL bytes.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include "supervisor/netmon_harness.h"

namespace {

// After a rotation the operator empties the log, then the disk fills up
// and clears again.  On a small tmpfs where one can be mounted; elsewhere
// the agent's file size limit stands in for the full disk.
TEST(AgentLogE2E, LogStaysTextAfterRotationEmptyingAndAFullDisk) {
    nh::Reaper reaper;
    nh::Root root;
    qt::SmallFs fs("size=256k");
    const std::string dir = fs.mounted() ? fs / "" : root.dir("logs/");
    const std::string log = dir + "qorv-netagent.log.0", filler = fs / "filler";
    qt::presize(log, 52428799 - 300);  // start-up's lines rotate it
    pid_t agent = nh::start_agent(reaper, root, dir, [] { signal(SIGXFSZ, SIG_IGN); });
    // A read of the configuration (on SIGHUP when hup) logs 20 bad lines,
    // and the control socket then serves the value n it sets.
    auto read_conf = [&](int n, bool hup) {
        std::string conf = "agent.md_update_interval = " + std::to_string(n) + "\n";
        for (int i = 0; i < 20; i++)
            conf += "agent.nosuch" + std::to_string(i) + " = 1\n";
        qt::write_file(root.dir("conf/qorv-netagent.conf"), conf);
        ASSERT_TRUE(!hup || kill(agent, SIGHUP) == 0);
        const std::string name = "agent.config.md_update_interval";
        ASSERT_TRUE(nh::wait_until(
            [&] { return nh::netctl(root.dir("run"), name) == name + " = " + std::to_string(n) + "\n"; },
            10000));
    };
    auto kept = [&] { return qt::count_of(qt::read_file(log), "INFO agent_conf_apply"); };
    auto disk_full = [&](bool full) {
        if (fs.mounted() && full) qt::write_file(filler, std::string(1 << 18, 'f'));
        if (fs.mounted() && !full) unlink(filler.c_str());
        struct rlimit rl = {full ? rlim_t(qt::file_size(log) + 60) : RLIM_INFINITY, RLIM_INFINITY};
        ASSERT_TRUE(fs.mounted() || prlimit(agent, RLIMIT_FSIZE, &rl, nullptr) == 0);
    };
    read_conf(60, false);  // up, with the defaults
    ASSERT_TRUE(qt::file_exists(dir + "qorv-netagent.log.1"));
    ASSERT_EQ(truncate(log.c_str(), 0), 0);  // ": > qorv-netagent.log.0"
    read_conf(1, true);
    const size_t before = kept();
    disk_full(true);
    read_conf(2, true);
    read_conf(3, true);
    const size_t full = kept();
    EXPECT_LT(full, before + 2) << "the disk never filled up";
    disk_full(false);
    read_conf(4, true);
    ASSERT_TRUE(nh::wait_until([&] { return kept() == full + 1; }, 10000));

    std::string text = qt::read_file(log);
    EXPECT_EQ(text.find('\0'), std::string::npos) << "NUL bytes in the log";
    EXPECT_EQ(text.back(), '\n');
    reaper.signal(agent, SIGTERM);
    int st = -1;
    EXPECT_TRUE(reaper.wait(agent, 10000, &st));
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
}

}  // namespace
