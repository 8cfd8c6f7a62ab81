// Replays every seed and every saved regression input of the fuzz targets
// through the targets' own entry functions, built with the normal compiler,
// so that an input which once broke an invariant is tried in every test
// run.  A broken invariant stops this program with the check and the input
// file named on standard error.
#define QORV_FUZZ_NO_DRIVER
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../../fuzz/agent_diag_fuzz.cc"
#include "../../fuzz/kv_fuzz.cc"
#include "../../fuzz/kv_metadata_fuzz.cc"
#include "../../fuzz/kvc_file_fuzz.cc"
#include "../../fuzz/kv_metrics_fuzz.cc"
#include "../../fuzz/kv_text_fuzz.cc"
#include "../../fuzz/netctl_request_fuzz.cc"
#include "../../fuzz/netctl_tree_fuzz.cc"
#include "../../fuzz/npmd_opts_fuzz.cc"
#include "support/test_support.h"

namespace {

struct fuzz_target {
    const char *name;  // directory under fuzz/corpus/ and fuzz/regressions/
    int (*entry)(const uint8_t *data, size_t size);
};

const fuzz_target targets[] = {
    {"agent_diag", fz_run_agent_diag},
    {"kv", fz_run_kv},
    {"kv_metadata", fz_run_kv_metadata},
    {"kvc_file", fz_run_kvc_file},
    {"kv_metrics", fz_run_kv_metrics},
    {"kv_text", fz_run_kv_text},
    {"netctl_request", fz_run_netctl_request},
    {"netctl_tree", fz_run_netctl_tree},
    {"npmd_opts", fz_run_npmd_opts},
};

std::vector<std::string> files_in(const std::string &dir) {
    std::vector<std::string> out;
    if (DIR *d = opendir(dir.c_str())) {
        while (struct dirent *e = readdir(d))
            if (e->d_name[0] != '.') out.push_back(dir + "/" + e->d_name);
        closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

class FuzzReplay : public ::testing::TestWithParam<fuzz_target> {};

TEST_P(FuzzReplay, SeedsAndRegressionsKeepEveryInvariant) {
    const std::string fuzz = std::string(QORV_TEST_SRC_DIR) + "/../fuzz/";
    std::vector<std::string> files = files_in(fuzz + "corpus/" + GetParam().name);
    ASSERT_FALSE(files.empty()) << "no seed inputs for " << GetParam().name;
    for (const std::string &f : files_in(fuzz + "regressions/" + GetParam().name))
        files.push_back(f);
    for (const std::string &f : files) {
        std::string bytes = qt::read_file(f);
        fz::input_name = f.c_str();
        EXPECT_EQ(GetParam().entry(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size()),
                  0);
    }
    fz::input_name = nullptr;
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplay, ::testing::ValuesIn(targets),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
