// Logging under pressure: a log directory that fills up, rotations that
// cannot rename or create their generations.  Logging must go on or drop
// lines, each line whole, without stopping the process, and the byte count
// must follow what really reached the file.  Each case logs from a child
// process, so that logging's process-wide state starts fresh and a stop
// shows in the child's status.
#include <errno.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <regex>
#include <string>

#include "core/agent_config.h"
#include "core/child.h"
#include "core/logging.h"

namespace {

const std::regex kWholeLine(
    "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} INFO "
    "(Logging infra initialized\\.\\.\\.|line [0-9]+ x+ end)");

// Logs lines first..last of about 100 bytes each.
void log_lines(int first, int last) {
    std::string pad(70, 'x');
    for (int i = first; i <= last; i++)
        tr_log(1, TR_INFO, "line %d %s end", i, pad.c_str());
}

// Every line of text is whole; returns how many carry "line N".
size_t check_whole(const std::string &text) {
    size_t n = 0;
    for (const std::string &l : qt::split_lines(text)) {
        EXPECT_TRUE(std::regex_match(l, kWholeLine)) << "damaged line: " << l;
        n += l.find(" INFO line ") != std::string::npos;
    }
    if (!text.empty()) {
        EXPECT_EQ(text.back(), '\n') << "ends inside a line";
    }
    return n;
}

#define NEED_MOUNT(fs)                                                \
    if (!(fs).mounted())                                              \
    GTEST_SKIP() << "cannot mount a small tmpfs here (" << (fs).why() \
                 << "): the full-disk cases need one (run as root, with mount rights)"

using qt::SmallFs;

TEST(LoggingPressure, FullDirectoryDropsWholeLinesAndCountsOnlyWrittenBytes) {
    SmallFs fs("size=64k,nr_inodes=64");
    NEED_MOUNT(fs);
    const std::string base = fs / "p.log", filler = fs / "filler";
    auto r = qt::run_child([&] {
        qt::log_to(base);
        qt::write_file(filler, std::string(16384, 'f'));
        log_lines(1, 1000);  // about 100 KB into what is left of 64 KB
        printf("full %d\n", tr_main_log_bytes());
        unlink(filler.c_str());  // room again
        log_lines(1001, 1040);
        printf("after %d\n", tr_main_log_bytes());
    });
    ASSERT_TRUE(r.exited(0)) << r.err;
    std::string text = qt::read_file(base + ".0");
    size_t kept = check_whole(text);
    EXPECT_LT(kept, 1040u) << "the directory never filled up";
    EXPECT_NE(text.find(" INFO line 1001 "), std::string::npos) << "no line after space came back";
    EXPECT_EQ(r.out.substr(r.out.find("after ")), "after " + std::to_string(text.size()) + "\n");
    EXPECT_FALSE(qt::file_exists(base + ".1"));
}

TEST(LoggingPressure, RotationThatCannotCreateTheNewFileKeepsLogging) {
    // No inode is left for a new base.0 once base.0 has become base.1.
    SmallFs fs("size=1m,nr_inodes=4");
    NEED_MOUNT(fs);
    const std::string base = fs / "p.log";
    qt::write_file(base + ".1", "older\n");
    qt::presize(base + ".0", 52428700);
    for (int i = 0; qt::file_exists(fs / "f0") || i == 0; i++) {
        std::string f = fs / "f";
        f += std::to_string(i);
        FILE *fp = fopen(f.c_str(), "w");
        if (fp == nullptr) break;  // the inodes are used up
        fclose(fp);
    }
    auto r = qt::run_child([&] {
        qt::log_to(base);
        log_lines(1, 5);  // the first crosses the limit
    });
    ASSERT_TRUE(r.exited(0)) << "logging stopped the process: " << r.err;
    // base.0 went to base.1 and could not be made anew: the lines follow
    // on in base.1, after the old content.
    EXPECT_FALSE(qt::file_exists(base + ".0"));
    EXPECT_EQ(qt::read_file(base + ".2"), "older\n");
    std::string cur = qt::read_file(base + ".1");
    ASSERT_GT(cur.size(), 52428700u);
    EXPECT_EQ(check_whole(cur.substr(52428700)), 5u);
    EXPECT_FALSE(qt::file_exists(base + ".3"));
}

// A rotation that cannot move a generation (here a read-only directory)
// leaves logging in the current file: every line lands there whole, the
// main file's failure says nothing (any other line would not be whole), and
// no generation is lost.  Root ignores directory modes, so the logging runs
// as nobody.
TEST(LoggingPressure, RotationThatCannotRenameLeavesLoggingInTheCurrentFile) {
    qt::TempDir dir;
    const std::string sub = dir / "d", base = sub + "/p.log";
    chmod(dir.path().c_str(), 0755);
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    qt::presize(base + ".0", 52428700);
    ASSERT_EQ(chown(sub.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chown((base + ".0").c_str(), 65534, 65534), 0);
    auto r = qt::run_child([&] {
        CHILD_CHECK(setresgid(65534, 65534, 65534) == 0 && setresuid(65534, 65534, 65534) == 0);
        qt::log_to(base);
        CHILD_CHECK(chmod(sub.c_str(), 0555) == 0);
        CHILD_CHECK(rename((base + ".0").c_str(), (base + ".x").c_str()) != 0);
        log_lines(1, 3);
    });
    ASSERT_TRUE(r.exited(0)) << r.err;
    chmod(sub.c_str(), 0755);
    std::string cur = qt::read_file(base + ".0");
    ASSERT_GT(cur.size(), 52428700u);
    EXPECT_EQ(check_whole(cur.substr(52428700)), 3u);
    EXPECT_FALSE(qt::file_exists(base + ".1"));
}

}  // namespace
