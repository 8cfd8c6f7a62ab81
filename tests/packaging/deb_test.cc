// The Debian package: built with cpack from this build, its file list and
// control fields, lintian, and the supervisor run from a throw-away root
// the package was unpacked into.
#include <gmock/gmock.h>
#include <sys/stat.h>

#include <map>
#include <set>

#include "packaging/shell.h"
#include "supervisor/netmon_harness.h"

namespace {

using ::testing::HasSubstr;

const std::string ROOT = "/opt/qorvexa/varnix";

// Fields of a control file, continuation lines left out.
std::map<std::string, std::string> fields(const std::string &control) {
    std::map<std::string, std::string> f;
    for (const auto &l : qt::split_lines(control)) {
        size_t colon = l.find(": ");
        if (!l.empty() && l[0] != ' ' && colon != std::string::npos)
            f[l.substr(0, colon)] = l.substr(colon + 2);
    }
    return f;
}

// "./opt/x/" -> "/opt/x" for every entry of "dpkg-deb -c"; symlinks keep
// their target after " -> ".
std::set<std::string> paths(const std::string &listing) {
    std::set<std::string> out;
    for (const auto &l : qt::split_lines(listing)) {
        size_t at = l.find(" ./");
        if (at == std::string::npos) continue;
        std::string p = l.substr(at + 2);
        if (p.size() > 1 && p.back() == '/') p.pop_back();
        out.insert(p);
    }
    return out;
}

class Deb : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char *tool : {"cpack", "dpkg-deb", "dpkg-shlibdeps"})
            if (!sh::have(tool)) GTEST_SKIP() << tool << " is not installed";
        auto r = sh::run("cpack -G DEB --config " +
                         sh::q(std::string(QORV_BUILD_DIR) + "/CPackConfig.cmake") + " -B " +
                         sh::q(tmp_.path()));
        ASSERT_EQ(r.status, 0) << r.out;
        deb_ = sh::line("ls " + sh::q(tmp_.path()) + "/*.deb");
        ASSERT_THAT(deb_, HasSubstr("/qorv-netmon_" QORV_VERSION "_"));
    }
    std::string deb_out(const std::string &args) {
        auto r = sh::run("dpkg-deb " + args + " " + sh::q(deb_));
        EXPECT_EQ(r.status, 0) << args << ": " << r.out;
        return r.out;
    }
    qt::TempDir tmp_;
    std::string deb_;
};

TEST_F(Deb, FilesAndControlFields) {
    auto files = paths(deb_out("-c"));
    // Outside the install root, exactly these (and their parent folders).
    const std::set<std::string> host = {"/usr/bin/qorv-netctl -> " + ROOT + "/bin/qorv-netctl",
                                        "/usr/share/man/man8/qorv-netmon.8.gz",
                                        "/usr/share/man/man8/qorv-netagent.8.gz",
                                        "/usr/share/man/man1/qorv-netctl.1.gz",
                                        "/lib/systemd/system/qorv-netmon.service",
                                        "/usr/share/bash-completion/completions/qorv-netctl",
                                        "/usr/share/doc/qorv-netmon/copyright",
                                        "/usr/share/doc/qorv-netmon/changelog.gz",
                                        "/usr/share/lintian/overrides/qorv-netmon"};
    // Under it, the programs and the five folders; conf/ may hold files.
    const std::set<std::string> under = {"",
                                         "/bin",
                                         "/bin/qorv-netmon",
                                         "/bin/qorv-netagent",
                                         "/bin/qorv-netctl",
                                         "/conf",
                                         "/logs",
                                         "/run",
                                         "/home"};
    for (const auto &want : host)
        EXPECT_EQ(files.count(want), 1u) << want;
    for (const auto &want : under)
        EXPECT_EQ(files.count(ROOT + want), 1u) << want;
    for (const auto &p : files) {
        if (p.rfind(ROOT, 0) == 0) {
            std::string rel = p.substr(ROOT.size());
            EXPECT_TRUE(under.count(rel) || rel.rfind("/conf/", 0) == 0) << p;
            continue;
        }
        bool parent = ROOT.rfind(p + "/", 0) == 0;
        for (const auto &h : host)
            parent |= h.rfind(p + "/", 0) == 0;
        EXPECT_TRUE(host.count(p) || parent) << p;
    }

    auto f = fields(deb_out("-f"));
    EXPECT_EQ(f["Package"], "qorv-netmon");
    EXPECT_EQ(f["Version"], QORV_VERSION);
    EXPECT_EQ(f["Architecture"], sh::line("dpkg --print-architecture"));
    EXPECT_FALSE(f["Maintainer"].empty());
    EXPECT_FALSE(f["Description"].empty());
    // Depends names the package of every shared library the programs load.
    std::set<std::string> libs;
    for (const char *prog : {"qorv-netmon", "qorv-netagent", "qorv-netctl"}) {
        auto r = sh::run("ldd " + sh::q(std::string(QORV_BIN_DIR) + "/" + prog) +
                         " | awk '$2 == \"=>\" && $3 ~ /^\\// {print $3}'");
        for (const auto &lib : qt::split_lines(r.out))
            libs.insert(lib);
    }
    EXPECT_FALSE(libs.empty());
    for (const auto &lib : libs) {
        std::string pkg = sh::line("dpkg -S " + sh::q(lib) +
                                   " 2>/dev/null || dpkg -S \"$(realpath " + sh::q(lib) + ")\"");
        pkg = pkg.substr(0, pkg.find(':'));
        ASSERT_FALSE(pkg.empty()) << lib;
        std::string deps = ", " + f["Depends"] + ",";
        EXPECT_TRUE(deps.find(", " + pkg + ",") != std::string::npos ||
                    deps.find(", " + pkg + " (") != std::string::npos)
            << lib << " from " << pkg << " in " << deps;
    }

    // Every file under conf/ is a conffile, and only those are.
    std::set<std::string> conf, conffiles;
    for (const auto &p : files)
        if (p.rfind(ROOT + "/conf/", 0) == 0) conf.insert(p);
    auto ctl = tmp_ / "control";
    ASSERT_EQ(sh::run("dpkg-deb -e " + sh::q(deb_) + " " + sh::q(ctl)).status, 0);
    for (const auto &l : qt::split_lines(qt::read_file(ctl + "/conffiles")))
        conffiles.insert(l);
    EXPECT_EQ(conffiles, conf);
    // Maintainer scripts: executable, valid shell, and they never fail an
    // install on a host without systemd.
    for (const char *s : {"postinst", "prerm", "postrm"}) {
        struct stat st {};
        ASSERT_EQ(stat((ctl + "/" + s).c_str(), &st), 0) << s;
        EXPECT_EQ(st.st_mode & 0777, 0755u) << s;
        EXPECT_EQ(sh::run("sh -n " + sh::q(ctl + "/" + s)).status, 0) << s;
        EXPECT_THAT(qt::read_file(ctl + "/" + s), HasSubstr("set -e")) << s;
    }
}

// lintian with the package's own overrides: no error and no warning left.
TEST_F(Deb, LintianClean) {
    if (!sh::have("lintian")) GTEST_SKIP() << "lintian is not installed";
    auto r = sh::run("lintian --fail-on error,warning " + sh::q(deb_));
    EXPECT_EQ(r.status, 0) << r.out;
    for (const auto &l : qt::split_lines(r.out))
        EXPECT_TRUE(l.rfind("E: ", 0) != 0 && l.rfind("W: ", 0) != 0) << l;
}

// Unpacked into a throw-away root, the installed supervisor runs the
// installed agent, whose statistics the installed tool reads, and the
// installed completion offers names from it.
TEST_F(Deb, UnpackedRootRuns) {
    const std::string dest = tmp_ / "root", root = dest + ROOT + "/";
    ASSERT_EQ(sh::run("dpkg-deb -x " + sh::q(deb_) + " " + sh::q(dest)).status, 0);
    nh::Reaper reaper;
    auto s = nh::start(reaper, root + "bin/qorv-netmon", {"-r", root}, tmp_ / "out");
    ASSERT_EQ(s.first_status, 0) << s.out;
    const std::string ctl = root + "bin/qorv-netctl", rundir = root + "run";
    sh::result stats;
    ASSERT_TRUE(nh::wait_until(
        [&] {
            stats = sh::run(sh::q(ctl) + " -r " + sh::q(rundir) + " agent.proc.stats.uptime_s");
            return stats.status == 0;
        },
        10000))
        << stats.out << qt::read_file(root + "logs/qorv-netmon.log.0");
    EXPECT_THAT(stats.out, HasSubstr("agent.proc.stats.uptime_s = "));

    if (sh::have("bash")) {
        const std::string comp = dest + "/usr/share/bash-completion/completions/qorv-netctl";
        auto complete = [&](const std::string &word) {
            return sh::run("bash -c " +
                           sh::q("source " + sh::q(comp) + "; COMP_WORDS=(" + sh::q(ctl) + " -r " +
                                 sh::q(rundir) + " " + sh::q(word) +
                                 "); COMP_CWORD=3; _qorv_netctl; printf '%s\\n' "
                                 "\"${COMPREPLY[@]}\"; complete -p qorv-netctl"))
                .out;
        };
        EXPECT_THAT(complete("agent.proc.stats.up"),
                    HasSubstr("agent.proc.stats.uptime_s\ncomplete -F _qorv_netctl qorv-netctl"));
        EXPECT_THAT(complete(""), HasSubstr("agent."));
        EXPECT_THAT(complete("-"), HasSubstr("-j\n"));
    }

    pid_t daemon = atoi(qt::read_file(root + "run/qorv-netmon.pid").c_str());
    ASSERT_GT(daemon, 0);
    reaper.track(daemon);
    ASSERT_EQ(kill(daemon, SIGTERM), 0);
    int st = -1;
    ASSERT_TRUE(reaper.wait(daemon, 20000, &st));
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
    EXPECT_FALSE(qt::file_exists(root + "run/qorv-netmon.pid"));
}

}  // namespace
