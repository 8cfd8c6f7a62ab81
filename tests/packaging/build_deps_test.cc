// scripts/deps.sh, the package check of scripts/run-local.sh,
// scripts/test-all.sh and .ci/run, with stand-ins for dpkg-query (knows
// $HAVE; "name-": removed, its configuration kept), id ($ID), sudo (works
// when $SUDO is set), apt-get (logs) and cmake (fails) first on the PATH.
#include <gmock/gmock.h>

#include "packaging/shell.h"
#include "support/test_support.h"

namespace {

const std::string SRC = QORV_TEST_SRC_DIR "/..";

TEST(BuildDeps, InstallsOrNamesTheMissingPackagesBeforeAnyBuild) {
    qt::TempDir tmp;
    const std::string bin = tmp.path(), log = tmp / "apt.log";
    const std::string tools[][2] = {
        {"dpkg-query",
         "shift 2; for p; do case \" $HAVE \" in *\" $p \"*) echo \"$p=install ok "
         "installed\";; *\" $p- \"*) echo \"$p=deinstall ok config-files\";; esac; "
         "done"},
        {"id", "echo $ID"},
        {"cmake", "echo cmake ran; exit 9"},
        {"sudo", "shift; [ \"$SUDO\" ] && SUDO_USED=1 exec \"$@\""},
        {"apt-get", "echo ${SUDO_USED:+sudo }apt-get \"$@\" >> " + sh::q(log)}};
    for (auto &t : tools)
        qt::write_file(bin + "/" + t[0], "#!/bin/sh\n" + t[1] + "\n");
    ASSERT_EQ(sh::run("chmod +x " + sh::q(bin) + "/*").status, 0);
    qt::write_file(tmp / "list",
                   "# purpose package\nbuild g++\nbuild cmake\ntest libgtest-dev\nci clang");
    auto run = [&](const std::string &cmd, const std::string &env) {
        return sh::run("env -i PATH=" + sh::q(bin) + ":/usr/bin:/bin QORV_PACKAGES=" +
                       sh::q(tmp / "list") + " ID=1000 " + env + " /bin/bash -c " + sh::q(cmd));
    };
    const std::string deps = ". " + sh::q(SRC + "/scripts/deps.sh") + " && qorv_deps build test";
    // All there (clang is missing, but only ci wants it): silent, no rights needed.
    auto r = run(deps, "HAVE='g++ cmake libgtest-dev'");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    const std::string want = "apt-get install -y --no-install-recommends ";
    r = run(deps, "HAVE='g++ libgtest-dev-'");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out,
              "bash: missing packages; install them with: sudo " + want + "cmake libgtest-dev\n");
    // Installed as root, and through password-less sudo.
    EXPECT_EQ(run(deps, "HAVE='g++ cmake' ID=0").status, 0);
    EXPECT_EQ(run(deps, "HAVE='g++ libgtest-dev' SUDO=1").status, 0);
    EXPECT_EQ(qt::read_file(log), "apt-get update -q\n" + want +
                                      "libgtest-dev\nsudo apt-get update -q\nsudo " + want +
                                      "cmake\n");
    // The two scripts stop before they make anything, each for its own
    // packages; without Ninja they would build with Make.
    for (auto [script, pkgs] :
         {std::pair{"run-local.sh", "cmake"}, {"test-all.sh", "cmake libgtest-dev"}}) {
        r = run(SRC + "/scripts/" + script + " " + sh::q(tmp / "out"), "HAVE=g++");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out,
                  script + (": missing packages; install them with: sudo " + want) + pkgs + "\n");
    }
    r = sh::run("PATH=" + sh::q(bin) + " /bin/bash -c " +
                sh::q(". " + sh::q(SRC + "/scripts/deps.sh") + "; qorv_generator /nonexistent"));
    EXPECT_EQ(r.out, "-GUnix Makefiles\n");
}

}  // namespace
