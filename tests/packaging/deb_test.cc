// The Debian packages: built with cpack from this build, their file lists
// and control fields, lintian, the supervisor run from a throw-away root
// the package was unpacked into, and a program built against the library
// package unpacked into another.
#include <gmock/gmock.h>

#include <set>

#include "packaging/shell.h"
#include "supervisor/netmon_harness.h"

namespace {

using ::testing::HasSubstr;

const std::string ROOT = "/opt/qorvexa/varnix";

TEST(Deb, BuiltCheckedLintedUnpackedAndRun) {
    for (const char *tool : {"cpack", "dpkg-deb", "dpkg-shlibdeps"})
        if (!sh::have(tool)) GTEST_SKIP() << tool << " is not installed";
    qt::TempDir tmp;
    auto r = sh::run("cpack -G DEB --config " + sh::q(QORV_BUILD_DIR "/CPackConfig.cmake") +
                     " -B " + sh::q(tmp.path()));
    ASSERT_EQ(r.status, 0) << r.out;
    const std::string deb = sh::line("ls " + sh::q(tmp.path()) + "/qorv-netmon_*.deb");
    ASSERT_THAT(deb, HasSubstr("/qorv-netmon_" QORV_VERSION "_"));

    // Files: outside the install root exactly these (and their folders);
    // under it the programs and the five folders, conf/ may hold files.
    std::set<std::string> files;
    for (const auto &l : qt::split_lines(sh::run("dpkg-deb -c " + sh::q(deb)).out)) {
        std::string p = l.substr(l.find(" ./") + 2);
        if (p.size() > 1 && p.back() == '/') p.pop_back();
        files.insert(p);
    }
    const std::set<std::string> host = {"/usr/bin/qorv-netctl -> " + ROOT + "/bin/qorv-netctl",
                                        "/usr/share/man/man8/qorv-netmon.8.gz",
                                        "/usr/share/man/man8/qorv-netagent.8.gz",
                                        "/usr/share/man/man1/qorv-netctl.1.gz",
                                        "/lib/systemd/system/qorv-netmon.service",
                                        "/usr/share/bash-completion/completions/qorv-netctl",
                                        "/usr/share/doc/qorv-netmon/copyright",
                                        "/usr/share/doc/qorv-netmon/changelog.gz",
                                        "/usr/share/lintian/overrides/qorv-netmon"};
    const std::set<std::string> under = {"",
                                         "/bin",
                                         "/bin/qorv-netmon",
                                         "/bin/qorv-netagent",
                                         "/bin/qorv-netctl",
                                         "/conf",
                                         "/logs",
                                         "/run",
                                         "/home"};
    std::set<std::string> conf;
    for (const auto &p : files) {
        if (p.rfind(ROOT + "/conf/", 0) == 0) conf.insert(p);
        bool parent = ROOT.rfind(p + "/", 0) == 0;
        for (const auto &h : host)
            parent |= h.rfind(p + "/", 0) == 0;
        EXPECT_TRUE(host.count(p) || parent || conf.count(p) ||
                    (p.rfind(ROOT, 0) == 0 && under.count(p.substr(ROOT.size()))))
            << p;
    }
    for (const auto &want : host)
        EXPECT_EQ(files.count(want), 1u) << want;
    for (const auto &want : under)
        EXPECT_EQ(files.count(ROOT + want), 1u) << want;

    // Fields; Depends names the package of every library the programs load.
    auto field = [&](const char *f) { return sh::line("dpkg-deb -f " + sh::q(deb) + " " + f); };
    EXPECT_EQ(field("Package"), "qorv-netmon");
    EXPECT_EQ(field("Version"), QORV_VERSION);
    EXPECT_EQ(field("Architecture"), sh::line("dpkg --print-architecture"));
    std::string deps = ", " + field("Depends") + ",";
    auto libs =
        sh::run("ldd " QORV_BIN_DIR "/qorv-netmon " QORV_BIN_DIR "/qorv-netagent " QORV_BIN_DIR
                "/qorv-netctl | awk '$2 == \"=>\" && $3 ~ /^\\// {print $3}' | sort -u");
    for (const auto &lib : qt::split_lines(libs.out)) {
        std::string pkg = sh::line("dpkg -S " + sh::q(lib) +
                                   " 2>/dev/null || dpkg -S \"$(realpath " + sh::q(lib) + ")\"");
        pkg = pkg.substr(0, pkg.find(':'));
        EXPECT_TRUE(deps.find(", " + pkg + ",") != std::string::npos ||
                    deps.find(", " + pkg + " (") != std::string::npos)
            << lib << " from " << pkg << " in " << deps;
    }
    // The agent's configuration file is the one file under conf/, and the
    // one conffile; the maintainer scripts are valid shell.
    EXPECT_EQ(conf, std::set<std::string>{ROOT + "/conf/qorv-netagent.conf"});
    const std::string ctl = tmp / "control";
    ASSERT_EQ(sh::run("dpkg-deb -e " + sh::q(deb) + " " + sh::q(ctl)).status, 0);
    auto listed = qt::split_lines(qt::read_file(ctl + "/conffiles"));
    EXPECT_EQ(std::set<std::string>(listed.begin(), listed.end()), conf);
    for (const char *s : {"postinst", "prerm", "postrm"})
        EXPECT_EQ(
            sh::run("test -x " + sh::q(ctl + "/" + s) + " && sh -n " + sh::q(ctl + "/" + s)).status,
            0)
            << s;

    // lintian with the package's own overrides: no error, no warning.
    if (sh::have("lintian")) {
        r = sh::run("lintian --fail-on error,warning " + sh::q(deb));
        EXPECT_EQ(r.status, 0) << r.out;
    }

    // Unpacked into a throw-away root, the installed supervisor runs the
    // installed agent, whose statistics the installed tool reads, and the
    // installed completion offers names from it.
    const std::string dest = tmp / "root", root = dest + ROOT + "/";
    ASSERT_EQ(sh::run("dpkg-deb -x " + sh::q(deb) + " " + sh::q(dest)).status, 0);
    nh::Reaper reaper;  // the detached daemon becomes this process's child
    // The command returns once the daemon is up.
    r = sh::run(sh::q(root + "bin/qorv-netmon") + " -r " + sh::q(root));
    ASSERT_EQ(r.status, 0) << r.out;
    const std::string tool = sh::q(root + "bin/qorv-netctl") + " -r " + sh::q(root + "run");
    ASSERT_TRUE(nh::wait_until(
        [&] { return (r = sh::run(tool + " agent.proc.stats.uptime_s")).status == 0; }, 10000))
        << r.out;
    EXPECT_THAT(r.out, HasSubstr("agent.proc.stats.uptime_s = "));
    const std::string comp = dest + "/usr/share/bash-completion/completions/qorv-netctl";
    r = sh::run("bash -c " + sh::q("source " + sh::q(comp) + "; COMP_WORDS=(" + tool +
                                   " agent.proc.stats.up); COMP_CWORD=3; _qorv_netctl; echo "
                                   "\"${COMPREPLY[*]}\"; complete -p qorv-netctl"));
    EXPECT_EQ(r.out, "agent.proc.stats.uptime_s\ncomplete -F _qorv_netctl qorv-netctl\n");

    pid_t daemon = atoi(qt::read_file(root + "run/qorv-netmon.pid").c_str());
    ASSERT_GT(daemon, 0);
    reaper.track(daemon);
    ASSERT_EQ(kill(daemon, SIGTERM), 0);
    int status = -1;
    ASSERT_TRUE(reaper.wait(daemon, 20000, &status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    // The library package of the same run: under /usr, lintian-clean, and
    // usable where it is unpacked (its package files find the rest relative
    // to themselves).
    const std::string dev = sh::line("ls " + sh::q(tmp.path()) + "/qorv-netmon-dev_*.deb");
    ASSERT_THAT(dev, HasSubstr("/qorv-netmon-dev_" QORV_VERSION "_"));
    EXPECT_EQ(sh::line("dpkg-deb -f " + sh::q(dev) + " Section"), "libdevel");
    const std::string lib = "/usr/" QORV_LIB_DIR;
    std::set<std::string> want = {lib + "/libqorv-core.a",
                                  lib + "/pkgconfig/qorv-core.pc",
                                  lib + "/cmake/QorvCore/QorvCoreConfig.cmake",
                                  lib + "/cmake/QorvCore/QorvCoreConfigVersion.cmake",
                                  "/usr/share/doc/qorv-netmon-dev/copyright",
                                  "/usr/share/doc/qorv-netmon-dev/changelog.gz"},
                          got;
    r = sh::run("cd " + sh::q(QORV_SOURCE_DIR "/src") +
                " && find core -name '*.h' ! -name '*_internal.h'");
    for (const auto &h : qt::split_lines(r.out))
        want.insert("/usr/include/qorv/" + h);
    for (const auto &l : qt::split_lines(sh::run("dpkg-deb -c " + sh::q(dev)).out))
        if (l[0] != 'd') got.insert(l.substr(l.find(" ./") + 2));
    EXPECT_EQ(got, want);
    if (sh::have("lintian")) {
        r = sh::run("lintian --fail-on error,warning " + sh::q(dev));
        EXPECT_EQ(r.status, 0) << r.out;
    }
#ifndef QORV_SANITIZED  // the archive would need the sanitizers' run-time
    const std::string devroot = tmp / "devroot", out = tmp / "hello";
    ASSERT_EQ(sh::run("dpkg-deb -x " + sh::q(dev) + " " + sh::q(devroot)).status, 0);
    r = sh::run("mkdir " + sh::q(out) + " && cd " + sh::q(out) +
                " && PKG_CONFIG_LIBDIR=" + sh::q(devroot + lib + "/pkgconfig") + " " +
                sh::q(QORV_SOURCE_DIR "/examples/hello-agent/build-with-pkg-config.sh"));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(qt::file_exists(out + "/hello-agent"));
#endif
}

}  // namespace
