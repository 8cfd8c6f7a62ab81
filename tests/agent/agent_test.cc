// qorv-netagent as a process: its log file, its stop signals, its command
// line.
#include <gtest/gtest.h>

#include <string>

#include "supervisor/netmon_harness.h"

namespace {

class Agent : public ::testing::Test {
protected:
    nh::Reaper reaper;
    nh::Root root;
    // The supervisor passes directories with a final slash; logging joins
    // them with one more.
    std::string log() const { return qt::read_file(root.dir("logs//qorv-netagent.log.0")); }

    pid_t spawn(const std::vector<std::string> &args) {
        pid_t pid = fork();
        if (pid == 0) {
            int fd = open(root.dir("agent.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, 1);
            std::vector<std::string> av{"qorv-netagent"};
            av.insert(av.end(), args.begin(), args.end());
            std::vector<char *> argv;
            for (auto &a : av) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(nh::bin("qorv-netagent").c_str(), argv.data());
            _exit(127);
        }
        reaper.track(pid);
        return pid;
    }
    std::vector<std::string> std_args() const {
        return {"-c", root.dir("conf/"), "-l", root.dir("logs/"), "-r", root.dir("run/")};
    }
};

class AgentStop : public Agent, public ::testing::WithParamInterface<int> {};

TEST_P(AgentStop, LogsStartAndStopAndExitsZero) {
    pid_t pid = spawn(std_args());
    std::string start = "INFO qorv-netagent (" + std::to_string(pid) + ") starting: conf " +
                        root.dir("conf/") + ", logs " + root.dir("logs/") + ", run " +
                        root.dir("run/");
    ASSERT_TRUE(nh::wait_until([&] { return nh::index_of(nh::messages(log()), start) >= 0; }, 3000))
        << log();
    ASSERT_EQ(kill(pid, GetParam()), 0);
    int st = 0;
    ASSERT_TRUE(reaper.wait(pid, 3000, &st));
    EXPECT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 0);
    auto lines = nh::messages(log());
    EXPECT_EQ(lines.back(), "INFO qorv-netagent (" + std::to_string(pid) +
                                ") stopping on signal " + std::to_string(GetParam()));
    EXPECT_GT(nh::index_of(lines, lines.back()), nh::index_of(lines, start));
}

INSTANTIATE_TEST_SUITE_P(Signals, AgentStop, ::testing::Values(SIGTERM, SIGINT));

TEST_F(Agent, IncompleteCommandLineExitsOneWithoutLogFile) {
    auto args = std_args();
    args.resize(4);  // no -r
    pid_t pid = spawn(args);
    int st = 0;
    ASSERT_TRUE(reaper.wait(pid, 3000, &st));
    EXPECT_EQ(WEXITSTATUS(st), 1);
    EXPECT_EQ(nh::messages(qt::read_file(root.dir("agent.out"))),
              std::vector<std::string>{
                  "ERROR agent_parse_args: usage: qorv-netagent -c DIR -l DIR -r DIR"});
    EXPECT_FALSE(qt::file_exists(root.dir("logs//qorv-netagent.log.0")));
}

}  // namespace
