// scripts/deps.sh, the build-dependency check of scripts/run-local.sh,
// scripts/test-all.sh and .ci/run: with stand-ins for dpkg-query, id, sudo
// and apt-get first on the PATH, so nothing is installed for real.
#include <gmock/gmock.h>

#include "packaging/shell.h"
#include "support/test_support.h"

namespace {

const std::string SRC = QORV_TEST_SRC_DIR "/..";

class BuildDeps : public ::testing::Test {
  protected:
    qt::TempDir tmp;
    const std::string bin = tmp / "bin", log = tmp / "apt.log", list = tmp / "packages.txt";

    void SetUp() override {
        ASSERT_EQ(sh::run("mkdir " + sh::q(bin)).status, 0);
        tool("dpkg-query",  // -W -f=FORMAT PKG...
             "shift 2\nfor p; do case \" $FAKE_INSTALLED \" in *\" $p \"*) echo "
             "\"$p=install ok installed\";; *\" $p- \"*) echo \"$p=deinstall ok "
             "config-files\";; *) echo \"dpkg-query: no packages found matching $p\" >&2;; "
             "esac; done");
        tool("id", "echo \"$FAKE_UID\"");
        tool("sudo",
             "[ \"$1\" = -n ] && shift\n[ \"$FAKE_SUDO\" = yes ] || exit 1\nSUDO_USED=1 exec "
             "\"$@\"");
        tool("apt-get", "echo \"${SUDO_USED:+sudo }apt-get $*\" >> " + sh::q(log));
        qt::write_file(list,
                       "# purpose package\nbuild g++\nbuild cmake\n\ntest libgtest-dev\nci clang\n");
    }
    void tool(const std::string &name, const std::string &body) {
        qt::write_file(bin + "/" + name, "#!/bin/sh\n" + body + "\n");
        ASSERT_EQ(sh::run("chmod +x " + sh::q(bin + "/" + name)).status, 0);
    }
    // Runs cmd under bash with the stand-ins, as uid, with the packages in
    // installed ("name-": removed, its configuration kept).
    sh::result run(const std::string &cmd, const std::string &installed, int uid = 1000,
                   bool sudo = false, const std::string &path = "") {
        return sh::run("env -i PATH=" + sh::q(path.empty() ? bin + ":/usr/bin:/bin" : path) +
                       " QORV_PACKAGES=" + sh::q(list) + " FAKE_INSTALLED=" + sh::q(installed) +
                       " FAKE_UID=" + std::to_string(uid) + " FAKE_SUDO=" + (sudo ? "yes" : "no") +
                       " /bin/bash -c " + sh::q(cmd));
    }
    std::string deps(const std::string &purposes) {
        return ". " + sh::q(SRC + "/scripts/deps.sh") + " && qorv_deps " + purposes;
    }
};

TEST_F(BuildDeps, InstallsOrNamesOnlyTheMissingPackagesOfThePurposes) {
    // Everything asked for is there: nothing said, nothing run, no root
    // rights needed (clang is missing, but only ci wants it).
    auto r = run(deps("build test"), "g++ cmake libgtest-dev");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    const std::string want = "apt-get install -y --no-install-recommends cmake libgtest-dev";
    // Missing and a removed one, no way to install: the command to run.
    r = run(deps("build test"), "g++ libgtest-dev-");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "bash: missing packages; install them with: sudo " + want + "\n");
    EXPECT_FALSE(qt::file_exists(log));
    // As root, and through password-less sudo: installed.
    r = run(deps("build test"), "g++", 0);
    EXPECT_EQ(r.status, 0) << r.out;
    r = run(deps("build test"), "g++", 1000, true);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(qt::read_file(log), "apt-get update -q\n" + want + "\nsudo apt-get update -q\nsudo " +
                                      want + "\n");
}

TEST_F(BuildDeps, ScriptsStopBeforeBuildingAndFallBackToMake) {
    for (const char *script : {"run-local.sh", "test-all.sh"}) {
        auto r = run(SRC + "/scripts/" + script + " " + sh::q(tmp / "out"), "g++");
        EXPECT_EQ(r.status, 1) << script;
        EXPECT_THAT(r.out, ::testing::MatchesRegex(std::string(script) +
                                                   ": missing packages; install them with: sudo "
                                                   "apt-get install .* cmake.*\n"));
        EXPECT_FALSE(qt::file_exists(tmp / "out")) << script;
    }
    const std::string gen = ". " + sh::q(SRC + "/scripts/deps.sh") + " && qorv_generator " +
                            sh::q(tmp.path()) + "; echo \"[$?]\"";
    EXPECT_EQ(run(gen, "", 1000, false, bin).out, "-GUnix Makefiles\n[0]\n");
    tool("ninja", "");
    EXPECT_EQ(run(gen, "", 1000, false, bin).out, "-GNinja\n[0]\n");
    qt::write_file(tmp / "CMakeCache.txt", "");
    EXPECT_EQ(run(gen, "", 1000, false, bin).out, "[0]\n");
}

}  // namespace
