// The manual pages: groff finds nothing to warn about, man renders them,
// and they keep up with the programs: every option the programs accept and
// every WARN or ERROR line the supervisor logs is documented.
#include <gmock/gmock.h>

#include <regex>

#include "packaging/shell.h"
#include "support/test_support.h"

namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;

const std::string SRC = QORV_SOURCE_DIR;

struct page {
    const char *file;    // under man/
    const char *source;  // the program's source with its getopt string
    bool logs;           // has a DIAGNOSTICS section
};
const page PAGES[] = {
    {"qorv-netmon.8", "src/supervisor/npmd_opts.cc", true},
    {"qorv-netagent.8", "src/agent/agent.cc", true},
    {"qorv-netctl.1", "src/tools/qorv_netctl.cc", false},
};

std::string man_path(const page &p) {
    return SRC + "/man/" + p.file;
}

// One section of the page as plain text (rendered on very long lines,
// without hyphenation), every run of white space made one space, with a
// space at both ends.
std::string section(const page &p, const std::string &name) {
    auto r = sh::run("groff -man -Tascii -P-cbou -rLL=5000n -rHY=0 " + sh::q(man_path(p)));
    EXPECT_EQ(r.status, 0) << r.out;
    std::string text;
    bool in = false;
    for (const auto &l : qt::split_lines(r.out)) {
        // Headings start in the first column; everything else is indented.
        if (!l.empty() && l[0] != ' ')
            in = l == name;
        else if (in)
            text += l + " ";
    }
    return " " + std::regex_replace(text, std::regex("\\s+"), " ");
}

TEST(ManPages, RenderWithoutWarnings) {
    if (!sh::have("groff")) GTEST_SKIP() << "groff is not installed";
    for (const auto &p : PAGES) {
        auto r = sh::run("groff -man -ww -z " + sh::q(man_path(p)));
        EXPECT_EQ(r.status, 0) << p.file;
        EXPECT_THAT(r.out, IsEmpty()) << p.file;
        if (!sh::have("man")) continue;
        qt::TempDir tmp;
        r = sh::run("MANWIDTH=80 man -l " + sh::q(man_path(p)) + " 2>" + sh::q(tmp / "err"));
        EXPECT_EQ(r.status, 0) << p.file;
        EXPECT_THAT(qt::read_file(tmp / "err"), IsEmpty()) << p.file;
        std::vector<std::string> want = {"NAME",        "SYNOPSIS", "DESCRIPTION", "OPTIONS",
                                         "EXIT STATUS", "FILES",    "ENVIRONMENT", "EXAMPLES",
                                         "SEE ALSO",    "SIGNALS"};
        if (p.logs) want.push_back("DIAGNOSTICS");
        for (const auto &h : want)
            EXPECT_THAT(r.out, HasSubstr("\n" + h + "\n")) << p.file;
    }
}

// Every option letter of the program's getopt string is described under
// OPTIONS.
TEST(ManPages, DescribeEveryOption) {
    if (!sh::have("groff")) GTEST_SKIP() << "groff is not installed";
    for (const auto &p : PAGES) {
        std::string code = qt::read_file(SRC + "/" + p.source);
        std::smatch m;
        ASSERT_TRUE(std::regex_search(code, m, std::regex("getopt\\([^\"]*\"\\+?([^\"]*)\"")))
            << p.source;
        std::string opts = section(p, "OPTIONS");
        ASSERT_GT(opts.size(), 1u) << p.file;
        for (char c : m[1].str()) {
            if (c == ':') continue;
            EXPECT_THAT(opts, HasSubstr(std::string(" -") + c + " ")) << p.file << ": -" << c;
        }
    }
}

// Every WARN and ERROR text of the supervisor appears under DIAGNOSTICS,
// with any word standing for each printf conversion.
TEST(ManPages, SupervisorDiagnosticsComplete) {
    if (!sh::have("groff")) GTEST_SKIP() << "groff is not installed";
    std::string diag = section(PAGES[0], "DIAGNOSTICS");
    ASSERT_GT(diag.size(), 1u);
    std::string code = sh::run("cat " + sh::q(SRC) + "/src/supervisor/*.cc").out;
    std::regex call(R"((?:TR_(?:ERROR|WARN),|npmd_fail\()\s*"((?:[^"\\]|\\.)*)\")");
    int n = 0;
    for (std::sregex_iterator it(code.begin(), code.end(), call), end; it != end; ++it, n++) {
        std::string text = it->str(1);
        if (text == "%s") continue;  // a message passed on
        // printf conversions become ".+", everything else stands for itself.
        std::string lit = std::regex_replace(text, std::regex(R"([.^$|()\[\]{}*+?\\])"), "\\$&");
        lit = std::regex_replace(lit, std::regex(R"(%[-0-9.]*(?:l|z)?[sdcu])"), ".+");
        lit = std::regex_replace(lit, std::regex(R"(\\\\")"), "\"");
        EXPECT_TRUE(std::regex_search(diag, std::regex(lit))) << "not documented: " << text;
    }
    EXPECT_GT(n, 10);
}

}  // namespace
