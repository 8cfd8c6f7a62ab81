// One agent per install root, as an operator meets it: a second agent
// started by hand on the root of a running one refuses to start and names
// it in the agent's log, and the running one goes on serving; a supervisor
// killed outright takes its agent with it (the agent stops as on SIGTERM
// and removes its socket), and a new supervisor on the same root starts an
// agent that serves.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "core/netctl/netctl_sock.h"
#include "supervisor/netmon_harness.h"

namespace {

// True when the agent on sock answers a read of one of its variables.
bool serving(const std::string &sock) {
    int fd = netctl_client_connect(sock.c_str(), 2000);
    if (fd < 0) return false;
    struct netctl_msg m;
    char name[NETCTL_NAME_MAX + 1], body[65536];
    bool ok = netctl_client_request(fd, "agent.proc.stats.uptime_s", NETCTL_OP_READ, 0) == 0 &&
              netctl_client_response(fd, &m, name, body, sizeof(body)) == 1 &&
              m.nm_len == sizeof(struct kv_record);
    close(fd);
    return ok;
}

TEST(AgentSingleE2E, OneAgentPerRootAndNoneLeftByAKilledSupervisor) {
    nh::Reaper reaper;
    nh::Root root;
    const std::string prog = root.dir("bin/qorv-netagent"), run = root.root() + "run/",
                      sock = run + NETCTL_SOCK_NAME, log = root.dir("logs/qorv-netagent.log.0");
    ASSERT_EQ(std::system(("cp '" QORV_BIN_DIR "/qorv-netagent' '" + prog + "'").c_str()), 0);
    nh::Netmon nm(reaper, root);
    nm.run({"-r", root.root()});
    ASSERT_EQ(nm.first_status, 0) << nm.out;
    const pid_t agent = nm.first_agent();
    ASSERT_GT(agent, 0);
    reaper.track(agent);  // killed at the end if it outlives its supervisor
    ASSERT_TRUE(nh::wait_until([&] { return serving(sock); }, 10000)) << qt::read_file(log);

    // By hand, with the supervisor's arguments.
    pid_t second = fork();
    if (second == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        execl(prog.c_str(), "qorv-netagent", "-c", root.dir("conf/").c_str(), "-l",
              (root.root() + "logs/").c_str(), "-r", run.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    reaper.track(second);
    int st = -1;
    ASSERT_TRUE(reaper.wait(second, 10000, &st));
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 1) << st;
    EXPECT_NE(
        qt::read_file(log).find(" ERROR agent_lock_rundir: another qorv-netagent (" +
                                std::to_string(agent) + ") is running on " + run + ". Exiting\n"),
        std::string::npos)
        << qt::read_file(log);
    EXPECT_TRUE(serving(sock));

    // SIGKILL leaves the supervisor no say; the orphaned agent comes to
    // this process, the subreaper.
    ASSERT_GT(nm.daemon, 0);
    ASSERT_EQ(kill(nm.daemon, SIGKILL), 0);
    ASSERT_TRUE(reaper.wait(agent, 10000, &st)) << "the agent outlived its supervisor";
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
    EXPECT_NE(qt::read_file(log).find("INFO qorv-netagent (" + std::to_string(agent) +
                                      ") stopping on signal 15\n"),
              std::string::npos);
    EXPECT_FALSE(qt::file_exists(sock));

    // The killed supervisor's log is kept aside: the harness reads pids
    // from the first lines of the new one.
    ASSERT_EQ(
        rename(root.dir("logs/qorv-netmon.log.0").c_str(), root.dir("logs/killed.log").c_str()), 0);
    nh::Netmon again(reaper, root);
    again.run({"-r", root.root()});
    ASSERT_EQ(again.first_status, 0) << again.out;
    EXPECT_TRUE(nh::wait_until([&] { return serving(sock); }, 10000)) << qt::read_file(log);
    ASSERT_GT(again.daemon, 0);
    ASSERT_EQ(kill(again.daemon, SIGTERM), 0);
    EXPECT_EQ(again.wait_exit(10000), 0);
    EXPECT_EQ(again.unclean_end({again.first_agent()}), "");
}

}  // namespace
