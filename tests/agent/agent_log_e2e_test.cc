// The agent's logs as an operator meets them: a debug log that cannot be
// opened, a log emptied by hand after a rotation, a full disk that clears.
// The logs must go on, as text: whole lines, no NUL bytes.
#include <gmock/gmock.h>
#include <sys/resource.h>

#include <regex>

#include "core/child.h"
#include "supervisor/netmon_harness.h"

namespace {

using ::testing::HasSubstr;

// Under the supervisor, with a directory where the debug log would be.
TEST(AgentLogE2E, DebugLogThatCannotBeOpenedLeavesTheMainLogWorking) {
    nh::Reaper reaper;
    nh::Root root;
    ASSERT_EQ(std::system(("cp '" QORV_BIN_DIR "/qorv-netagent' '" + root.dir("bin/") + "'").c_str()),
              0);
    ASSERT_EQ(mkdir(root.dir("logs/agent-debug.log.0").c_str(), 0755), 0);
    nh::Netmon nm(reaper, root);
    nm.run({"-r", root.root()});
    ASSERT_EQ(nm.first_status, 0) << nm.out;
    const std::string log = root.dir("logs/qorv-netagent.log.0");
    ASSERT_TRUE(nh::wait_until([&] { return !nh::log_lines(log, "INFO agent_conf_apply").empty(); },
                               10000))
        << qt::read_file(log);
    auto errors = nh::log_lines(log, "ERROR");
    ASSERT_EQ(errors.size(), 1u) << qt::read_file(log);
    EXPECT_THAT(errors[0], ::testing::MatchesRegex("ERROR tr_init: debug log .*/agent-debug\\.log\\.0 "
                                                   "not opened: Is a directory"));
    pid_t pid = nh::pid_in_line(nh::log_lines(log, "INFO qorv-netagent ("), "INFO qorv-netagent (");
    ASSERT_GT(pid, 0);
    ASSERT_EQ(kill(pid, SIGHUP), 0);
    EXPECT_TRUE(nh::wait_until([&] { return nh::log_lines(log, "INFO agent_conf_apply").size() == 2; },
                               10000));
    ASSERT_TRUE(reaper.signal(nm.daemon, SIGTERM));
    EXPECT_EQ(nm.wait_exit(10000), 0);
    EXPECT_EQ(nh::log_lines(log, "INFO qorv-netagent (" + std::to_string(pid) + ") stopping").size(), 1u);
}

// After a rotation the operator empties the log, then the disk fills up
// and clears again.  On a small tmpfs where one can be mounted; elsewhere
// the agent's file size limit stands in for the full disk.
TEST(AgentLogE2E, LogStaysTextAfterRotationEmptyingAndAFullDisk) {
    nh::Reaper reaper;
    nh::Root root;
    qt::SmallFs fs("size=256k");
    const std::string dir = fs.mounted() ? fs / "" : root.dir("logs/");
    const std::string log = dir + "qorv-netagent.log.0", run = root.dir("run");
    // The value of md_update_interval the control socket serves becomes n.
    auto served = [&](int n) {
        const std::string name = "agent.config.md_update_interval";
        const std::string want = name + " = " + std::to_string(n) + "\n";
        return nh::wait_until([&] { return nh::netctl(run, name) == want; }, 10000);
    };
    // Every read of the configuration logs 20 bad lines and the value n.
    auto read_conf = [&](int n, pid_t agent) {
        std::string conf = "agent.md_update_interval = " + std::to_string(n) + "\n";
        for (int i = 0; i < 20; i++)
            conf += "agent.nosuch" + std::to_string(i) + " = 1\n";
        qt::write_file(root.dir("conf/qorv-netagent.conf"), conf);
        ASSERT_EQ(kill(agent, SIGHUP), 0);
        ASSERT_TRUE(served(n));
    };
    auto reads_kept = [&] { return qt::count_of(qt::read_file(log), "INFO agent_conf_apply"); };
    qt::presize(log, 52428799 - 300);  // start-up's lines rotate it
    pid_t agent =
        nh::start_agent(reaper, root, "/dev/null", dir, [] { signal(SIGXFSZ, SIG_IGN); });
    ASSERT_TRUE(served(60));  // up, with the defaults
    ASSERT_TRUE(qt::file_exists(dir + "qorv-netagent.log.1"));

    ASSERT_EQ(truncate(log.c_str(), 0), 0);  // ": > qorv-netagent.log.0"
    read_conf(1, agent);
    const size_t before = reads_kept();

    // The disk fills up.
    const std::string filler = fs / "filler";
    if (fs.mounted()) {
        FILE *f = fopen(filler.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::string block(4096, 'f');
        while (fwrite(block.data(), 1, block.size(), f) == block.size() && fflush(f) == 0) {
        }
        fclose(f);
    } else {
        struct rlimit rl = {rlim_t(qt::file_size(log) + 60), RLIM_INFINITY};
        ASSERT_EQ(prlimit(agent, RLIMIT_FSIZE, &rl, nullptr), 0);
    }
    read_conf(3, agent);
    read_conf(4, agent);
    const size_t full = reads_kept();
    EXPECT_LT(full, before + 2) << "the disk never filled up";
    // And clears.
    if (fs.mounted()) {
        unlink(filler.c_str());
    } else {
        struct rlimit rl = {RLIM_INFINITY, RLIM_INFINITY};
        ASSERT_EQ(prlimit(agent, RLIMIT_FSIZE, &rl, nullptr), 0);
    }
    read_conf(5, agent);
    ASSERT_TRUE(nh::wait_until([&] { return reads_kept() == full + 1; }, 10000));

    std::string text = qt::read_file(log);
    EXPECT_EQ(text.find('\0'), std::string::npos) << "NUL bytes in the log";
    const std::regex whole("[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} [A-Z]+ [^\\x00]*");
    for (const auto &l : qt::split_lines(text))
        EXPECT_TRUE(std::regex_match(l, whole)) << "damaged line: " << l;
    EXPECT_EQ(text.back(), '\n');
    reaper.signal(agent, SIGTERM);
    int st = -1;
    EXPECT_TRUE(reaper.wait(agent, 10000, &st));
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
}

}  // namespace
