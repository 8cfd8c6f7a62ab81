// Soak of the supervisor: hundreds of qorv-netmon lifetimes, several at a
// time in separate install roots, with scripted agents that end at random
// moments in random ways (exit codes, signals, real core dumps, hangs),
// SIGTERM and SIGINT at random moments (a restart and a core renaming
// included), and parents (-p) that vanish.  Every lifetime is checked as
// supervisor/netmon_scenario.h describes.
//
// Off by default (it takes minutes):
//   QORV_SOAK=1 build/bin/soak_netmon_soak_test             all batches
//   QORV_SOAK=1 ctest --test-dir build -R Soak -j2           the same, by ctest
//   QORV_SOAK_SEED=N ...                                      replays a run
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "supervisor/netmon_scenario.h"

namespace {

using namespace nh;

// One reaper for every thread, made the subreaper before the first daemon
// starts (see Soak below).
Reaper &reaper() {
    static Reaper r;
    return r;
}

struct rng {
    std::mt19937_64 g;
    int in(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(g); }
    template <class T>
    T pick(std::initializer_list<T> v) {
        return v.begin()[in(0, int(v.size()) - 1)];
    }
};

launch_plan an_end(rng &r, int lo, int hi, bool away) {
    launch_plan l{r.in(lo, hi), ACT_EXIT, 0};
    switch (r.in(0, away ? 5 : 4)) {
        case 0:
            l.arg = r.pick({0, 0, 1, 2, 255});
            break;
        case 1:
        case 2:
            l.act = ACT_SIGNAL;
            l.arg = r.pick({SIGKILL, SIGTERM, SIGUSR1, SIGHUP, SIGQUIT, SIGINT});
            break;
        case 3:
        case 4:
            l.act = ACT_CORE_HOME;
            break;
        default:
            l.act = ACT_CORE_AWAY;
    }
    return l;
}

// Ends "early" stay well inside the two-second window, late ones well past
// it, so that the expected decision does not hang on the machine's load.
constexpr int EARLY_MAX_MS = 1700, LATE_MS = 3300;

enum soak_kind { KIND_EARLY, KIND_SECOND, KIND_TERM, KIND_PARENT };

scenario make_scenario(rng &r) {
    int k = r.in(0, 99);
    soak_kind kind = k < 25 ? KIND_EARLY : k < 50 ? KIND_SECOND : k < 78 ? KIND_TERM : KIND_PARENT;
    const char *const names[] = {"early end", "restart then second end", "SIGTERM/SIGINT",
                                 "parent gone"};
    scenario s{names[kind], {}};
    const launch_plan hang{0, ACT_HANG, 0};
    int variant = r.in(0, 2);
    switch (kind) {
        case KIND_EARLY:
            s.launches = {an_end(r, 0, EARLY_MAX_MS, false)};
            break;
        case KIND_SECOND:
            s.launches = {an_end(r, LATE_MS, LATE_MS + 900, true),
                          an_end(r, 0, 2500, r.in(0, 3) == 0)};
            break;
        case KIND_TERM:
            s.stop_sig = r.pick({SIGTERM, SIGINT});
            if (variant == 0) {  // while the agent runs
                s.launches = {hang};
                s.stop_ms = r.in(0, 3000);
            } else if (variant == 1) {  // while the agent is being restarted
                s.launches = {an_end(r, LATE_MS, LATE_MS, false), hang};
                s.stop_ms = LATE_MS + r.in(-40, 80);
            } else {  // while the supervisor waits for a core file
                s.launches = {{LATE_MS, ACT_CORE_AWAY, 0}, hang};
                s.stop_ms = LATE_MS + r.in(150, 2800);
            }
            break;
        default:
            s.launches = variant == 0 ? std::vector<launch_plan>{hang}
                         : variant == 1
                             ? std::vector<launch_plan>{an_end(r, LATE_MS, LATE_MS, false), hang}
                             : std::vector<launch_plan>{{LATE_MS, ACT_CORE_AWAY, 0}, hang};
            s.parent_kill_ms = variant == 0 ? r.in(0, 3000) : LATE_MS + r.in(-100, 2800);
    }
    return s;
}

constexpr int BATCHES = 4, PER_BATCH = 56, CONCURRENT = 8;

uint64_t soak_seed() {
    const char *s = getenv("QORV_SOAK_SEED");
    return s != nullptr ? strtoull(s, nullptr, 0) : 20261206;
}

class Soak : public ::testing::TestWithParam<int> {};

TEST_P(Soak, LifetimesEndCleanlyWithWholeOrderedLogs) {
    if (getenv("QORV_SOAK") == nullptr) GTEST_SKIP() << "set QORV_SOAK=1 to run the soak (minutes)";
    // Every daemon must find this process already its subreaper.
    ASSERT_TRUE(reaper().subreaper());
    const int batch = GetParam();
    const uint64_t seed = soak_seed();
    printf("soak seed %llu (QORV_SOAK_SEED replays it), batch %d\n", (unsigned long long)seed,
           batch);
    std::vector<scenario> plans;
    rng r{std::mt19937_64(seed * 1000003 + uint64_t(batch))};
    for (int i = 0; i < PER_BATCH; i++)
        plans.push_back(make_scenario(r));

    std::atomic<int> next{0};
    std::mutex mu;
    std::vector<std::string> failures;
    std::map<std::string, int> kinds;
    auto t0 = std::chrono::steady_clock::now();
    std::vector<std::thread> workers;
    for (int w = 0; w < CONCURRENT; w++)
        workers.emplace_back([&] {
            for (int i; (i = next++) < PER_BATCH;) {
                outcome o = run_lifetime(plans[size_t(i)], reaper());
                std::lock_guard<std::mutex> g(mu);
                kinds[plans[size_t(i)].what]++;
                if (!o.ok) failures.push_back("lifetime " + std::to_string(i) + ": " + o.why);
            }
        });
    for (auto &t : workers)
        t.join();
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    printf("batch %d: %d lifetimes in %.0f s:", batch, PER_BATCH, secs);
    for (const auto &[kind, n] : kinds)
        printf(" %s %d,", kind.c_str(), n);
    printf(" failures %zu\n", failures.size());
    for (const std::string &f : failures)
        ADD_FAILURE() << f;
}

INSTANTIATE_TEST_SUITE_P(Batches, Soak, ::testing::Range(0, BATCHES));

}  // namespace
