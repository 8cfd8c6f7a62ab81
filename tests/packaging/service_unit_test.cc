// The systemd unit: its paths are the supervisor's own defaults, its stop
// and restart settings fit how the daemon stops and gives up, and
// systemd-analyze verify accepts it.
#include <gmock/gmock.h>
#include <sys/stat.h>

#include <iterator>
#include <map>
#include <sstream>
#include <vector>

#include "packaging/shell.h"
#include "supervisor/npmd.h"
#include "support/test_support.h"

namespace {

using ::testing::Contains;
using ::testing::IsEmpty;

const std::string UNIT = QORV_SOURCE_DIR "/packaging/qorv-netmon.service";

// Every "Key=value" of the unit; a key given twice keeps both values.
std::map<std::string, std::vector<std::string>> unit_keys() {
    std::map<std::string, std::vector<std::string>> keys;
    for (const auto &l : qt::split_lines(qt::read_file(UNIT))) {
        size_t eq = l.find('=');
        if (l.empty() || l[0] == '#' || l[0] == '[' || eq == std::string::npos) continue;
        keys[l.substr(0, eq)].push_back(l.substr(eq + 1));
    }
    return keys;
}

std::vector<std::string> words(const std::string &s) {
    std::istringstream in(s);
    return {std::istream_iterator<std::string>(in), {}};
}

// "/a//b/" -> "/a/b"
std::string tidy(std::string p) {
    for (size_t at; (at = p.find("//")) != std::string::npos;)
        p.erase(at, 1);
    if (p.size() > 1 && p.back() == '/') p.pop_back();
    return p;
}

TEST(ServiceUnit, MatchesTheDaemon) {
    struct npmd_conf c {};
    ASSERT_EQ(npmd_conf_init(&c), 0);
    auto k = unit_keys();
    auto one = [&](const std::string &key) {
        EXPECT_EQ(k[key].size(), 1u) << key;
        return k[key].empty() ? std::string() : k[key][0];
    };
    // It detaches and writes its pid file.
    EXPECT_EQ(one("Type"), "forking");
    EXPECT_EQ(one("PIDFile"), c.nc_pidfile);
    EXPECT_EQ(words(one("ExecStart")),
              std::vector<std::string>{std::string(c.nc_root) + "bin/qorv-netmon"});
    // SIGTERM to the daemon alone; it stops the agent itself and may wait
    // 10 s for it before SIGKILL, so systemd must wait longer than that.
    EXPECT_EQ(one("KillSignal"), "SIGTERM");
    EXPECT_EQ(one("KillMode"), "mixed");
    std::string stop = one("TimeoutStopSec");
    ASSERT_FALSE(stop.empty());
    EXPECT_EQ(stop.back(), 's');
    EXPECT_GT(atoi(stop.c_str()), 10);
    // Giving up on the agent is an exit 0, which must not bring the daemon
    // (and a fresh budget) back, nor may a failed start (the command's
    // status 1 or 2) be retried; a daemon killed by a signal is.
    EXPECT_EQ(one("Restart"), "on-abnormal");
    EXPECT_EQ(k.count("RestartPreventExitStatus"), 0u);
    // A reload is SIGHUP to the daemon, which passes it on to the agent.
    EXPECT_EQ(words(one("ExecReload")),
              (std::vector<std::string>{"/bin/kill", "-HUP", "$MAINPID"}));
    // The read-only system leaves exactly the daemon's writable folders.
    EXPECT_EQ(one("ProtectSystem"), "strict");
    std::vector<std::string> rw;
    for (const auto &line : k["ReadWritePaths"])
        for (const auto &w : words(line))
            rw.push_back(tidy(w));
    for (const char *dir : {c.nc_logdir, c.nc_rundir, c.nc_homedir})
        EXPECT_THAT(rw, Contains(tidy(dir))) << dir;
    for (const char *key : {"ProtectHome", "PrivateTmp", "NoNewPrivileges"})
        EXPECT_EQ(one(key), "yes") << key;
    npmd_conf_release(&c);
}

// systemd-analyze verify, against a root that holds the daemon at the
// unit's path, the reload command and the host's targets: no message at
// all.
TEST(ServiceUnit, SystemdAnalyzeVerifies) {
    if (!sh::have("systemd-analyze")) GTEST_SKIP() << "systemd-analyze is not installed";
    qt::TempDir tmp;
    const std::string root = tmp.path();
    auto r = sh::run("mkdir -p " + sh::q(root + "/opt/qorvexa/varnix/bin") + " " +
                     sh::q(root + "/bin") + " && cp /bin/kill " + sh::q(root + "/bin/") + " && " +
                     "mkdir -p " + sh::q(root + "/lib/systemd/system") + " " +
                     sh::q(root + "/usr/lib/systemd/system") + " && cp " +
                     sh::q(QORV_BIN_DIR "/qorv-netmon") + " " +
                     sh::q(root + "/opt/qorvexa/varnix/bin/") + " && cp " + sh::q(UNIT) + " " +
                     sh::q(root + "/lib/systemd/system/") + " && cp /lib/systemd/system/*.target " +
                     sh::q(root + "/usr/lib/systemd/system/"));
    ASSERT_EQ(r.status, 0) << r.out;
    r = sh::run("systemd-analyze verify --man=no --root=" + sh::q(root) +
                " /lib/systemd/system/qorv-netmon.service");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_THAT(r.out, IsEmpty());
}

}  // namespace
