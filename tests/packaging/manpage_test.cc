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

// The lines of one section of the page as plain text (rendered on very
// long lines, without hyphenation), every run of white space made one
// space, each with a space at both ends.
std::vector<std::string> section(const page &p, const std::string &name) {
    auto r = sh::run("groff -man -Tascii -P-cbou -rLL=5000n -rHY=0 " + sh::q(man_path(p)));
    EXPECT_EQ(r.status, 0) << r.out;
    std::vector<std::string> lines;
    bool in = false;
    for (const auto &l : qt::split_lines(r.out)) {
        // Headings start in the first column; everything else is indented.
        if (!l.empty() && l[0] != ' ')
            in = l == name;
        else if (in)
            lines.push_back(std::regex_replace(" " + l + " ", std::regex("\\s+"), " "));
    }
    return lines;
}

// The string literals that follow each marker in code, escapes kept.
std::vector<std::string> literals_after(const std::string &code,
                                        const std::vector<std::string> &markers) {
    std::vector<std::string> out;
    for (const auto &m : markers)
        for (size_t at = code.find(m); at != std::string::npos; at = code.find(m, at + 1)) {
            size_t q = code.find_first_not_of(" \t\n", at + m.size());
            if (q == std::string::npos || code[q] != '"') continue;
            size_t end = q + 1;
            while (end < code.size() && code[end] != '"')
                end += code[end] == '\\' ? 2 : 1;
            out.push_back(code.substr(q + 1, end - q - 1));
        }
    return out;
}

// Whether line holds the printf format's fixed parts in order, any text
// standing for each conversion.
bool matches(const std::string &line, std::string format) {
    format = std::regex_replace(format, std::regex(R"(\\")"), "\"");
    static const std::regex conversion(R"(%[-0-9.]*(?:l|z)?[sdcu])");
    std::sregex_token_iterator it(format.begin(), format.end(), conversion, -1), end;
    size_t at = 0;
    for (; it != end; ++it) {
        std::string part = *it;
        if (part.empty()) continue;
        at = line.find(part, at);
        if (at == std::string::npos) return false;
        at += part.size();
    }
    return true;
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

// Every option of the program's getopt string, and every long option, is
// described under OPTIONS.
TEST(ManPages, DescribeEveryOption) {
    if (!sh::have("groff")) GTEST_SKIP() << "groff is not installed";
    for (const auto &p : PAGES) {
        std::string code = qt::read_file(SRC + "/" + p.source);
        std::smatch m;
        ASSERT_TRUE(std::regex_search(code, m, std::regex("getopt(?:_long)?\\([^\"]*\"\\+?([^\"]*)\"")))
            << p.source;
        std::string opts;
        for (const auto &l : section(p, "OPTIONS"))
            opts += l;
        ASSERT_FALSE(opts.empty()) << p.file;
        // Long options: {"name", no_argument, ...} entries.
        std::regex lng(R"re(\{"([a-z-]+)", (?:no|required|optional)_argument)re");
        for (std::sregex_iterator it(code.begin(), code.end(), lng), end; it != end; ++it)
            if (it->str(1) != "help") {
                EXPECT_THAT(opts, HasSubstr(" --" + it->str(1) + " ")) << p.file;
            }
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
    auto diag = section(PAGES[0], "DIAGNOSTICS");
    ASSERT_FALSE(diag.empty());
    std::string code = sh::run("cat " + sh::q(SRC) + "/src/supervisor/*.cc").out;
    int n = 0;
    for (const auto &text : literals_after(code, {"TR_ERROR,", "TR_WARN,", "npmd_fail("})) {
        if (text == "%s") continue;  // a message passed on
        n++;
        bool found = false;
        for (const auto &l : diag)
            found |= matches(l, text);
        EXPECT_TRUE(found) << "not documented: " << text;
    }
    EXPECT_GT(n, 10);
}

}  // namespace
