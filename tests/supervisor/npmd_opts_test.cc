// The supervisor's options.
#include <gtest/gtest.h>

#include <string>

#include "supervisor/npmd.h"

namespace {

// The paths derived from each root and the agent's entry are checked for
// every root by the option fuzz target's invariants, replayed with its seeds
// (defaults, roots with and without a slash, at and one past the path
// limit) in every test run, the entry's arguments and the parent (-p with a
// pid, and with text that reads as 0) by the end-to-end tests.  What they
// leave open: which root counts.
TEST(NpmdOpts, LastRootCountsAndNonOptionsAreIgnored) {
    std::string args[] = {"qorv-netmon", "-r", "/a/", "stray", "-r", "/b/"};
    char *argv[] = {args[0].data(), args[1].data(), args[2].data(), args[3].data(),
                    args[4].data(), args[5].data(), nullptr};
    npmd_conf conf;
    ASSERT_EQ(npmd_conf_init(&conf), 0);
    ASSERT_EQ(npmd_parse_opts(6, argv, &conf), 0);
    EXPECT_STREQ(conf.nc_pidfile, "/b//run/qorv-netmon.pid");
    npmd_conf_release(&conf);
}

}  // namespace
