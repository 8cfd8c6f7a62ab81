#include "core/ftimer.h"

#include <gtest/gtest.h>

#include <vector>

#include "core/timestamp.h"

namespace {

struct fire {
    uint64_t arg;
    uint32_t late;
};
std::vector<fire> fired;
void note(uint64_t arg, uint32_t late) {
    fired.push_back({arg, late});
}

// Wheels are never destroyed; kept here (a plain array, which outlives the
// static destructors) they stay reachable to the end.
struct ftimer_wheel *wheels[32];
int nwheels;
struct ftimer_wheel *wheel(ftimer_fn fn = note, int n = 2048, int tick = 62500) {
    return wheels[nwheels++ % 32] = ftimer_create(fn, n, tick);
}

TEST(Ftimer, CreationClampsTheBucketCountAndRefusesBadShapes) {
    for (auto [n, want] : {std::pair{0, 32u}, {8, 32u}, {4096, 4096u}, {65536, 16384u}})
        EXPECT_EQ(wheel(note, n)->fth_nbuckets, want) << n;
    struct ftimer_wheel *w = wheel();
    EXPECT_EQ(w->fth_maxticks, 128000000u);
    // The product is taken in 64 bits: 16384 buckets of 2^30 µs.
    EXPECT_EQ(wheel(note, 16384, 1 << 30)->fth_maxticks, uint64_t{1} << 44);
    struct ftimer_entry e = {};
    ftimer_sched(w, &e, 127999999);
    EXPECT_DEATH(ftimer_create(note, 48, 10), "src/core/ftimer.cc:[0-9]+: ftimer_create: "
                                              "Assertion `\\(\\(nbuckets - 1\\) & nbuckets\\) == 0'");
    EXPECT_DEATH(ftimer_create(note, 64, 0), "Assertion `tick >= 1'");
    EXPECT_DEATH(ftimer_sched(w, &e, 5), "ftimer_sched: Assertion `ft->ft_time == 0'");
    ftimer_unsched(w, &e);
    for (int bad : {128000000, -1, INT32_MIN})
        EXPECT_DEATH(ftimer_sched(w, &e, bad), "Assertion `to_ticks < fth->fth_maxticks'") << bad;
}

// Each case starts on a fresh wheel with ticks on a bucket boundary.
struct FtimerRun : ::testing::Test {
    struct ftimer_wheel *w;
    void SetUp() override {
        ticks = 100000000;
        w = wheel();
        ftimer_run(w);
        fired.clear();
    }
    void run_at(uint64_t t) {
        ticks = t;
        ftimer_run(w);
    }
};

TEST_F(FtimerRun, DueEntriesFireOnceTheirWidthHasPassedWithTheirLateness) {
    const uint64_t t0 = ticks;
    struct ftimer_entry a = {1, 0, nullptr, nullptr}, b = {2, 0, nullptr, nullptr};
    ftimer_sched(w, &a, 0);
    ftimer_run(w);  // same ticks: not yet
    ftimer_sched(w, &b, 100000);
    run_at(t0 + 62499);  // still the same width
    EXPECT_TRUE(fired.empty());
    run_at(t0 + 62500);
    ASSERT_EQ(fired.size(), 1u);
    EXPECT_EQ(fired[0].arg, 1u);
    EXPECT_EQ(fired[0].late, 62500u);
    EXPECT_FALSE(ftimer_scheduled(&a));
    run_at(t0 + 150000);  // b's width (62500..124999) is behind
    ASSERT_EQ(fired.size(), 2u);
    EXPECT_EQ(fired[1].late, 50000u);
    // Fired entries are no longer on the wheel: unscheduling counts nothing.
    const uint64_t unsched = ftimer_stats.fts_unsched;
    ftimer_unsched(w, &a);
    EXPECT_EQ(ftimer_stats.fts_unsched, unsched);
    EXPECT_EQ(w->fth_stats.fts_unsched, 0u);
}

TEST_F(FtimerRun, AveragesFoldEachSampleAndHalveOnEmptyRuns) {
    // Lateness 1 + 100, 1 + 50, 1 + 0 on a wheel of 1 µs buckets: an entry
    // due at t fires once its width [t, t + 1) has passed.
    struct ftimer_wheel *u = wheel(note, 32, 1);
    struct ftimer_entry e = {};
    std::vector<uint64_t> avgs;
    for (uint64_t late : {100, 50, 0}) {
        ticks += 1000;
        ftimer_run(u);
        ftimer_sched(u, &e, 0);
        ticks += 1 + late;
        ftimer_run(u);
        avgs.push_back(u->fth_stats.fts_delta_avg);
    }
    EXPECT_EQ(avgs, (std::vector<uint64_t>{101, 76, 38}));
    const uint64_t depth = u->fth_stats.fts_depth_avg;
    ftimer_run(u);  // nothing elapsed
    EXPECT_EQ(u->fth_stats.fts_depth_avg, depth / 2);
}

// Callbacks for the re-entrancy cases: arg indexes entries[].
struct ftimer_entry entries[8];
struct ftimer_wheel *cb_wheel;
void unsched_next(uint64_t arg, uint32_t late) {
    note(arg, late);
    ftimer_unsched(cb_wheel, &entries[(arg + 1) % 8]);
    if (arg == 0) ftimer_sched(cb_wheel, &entries[0], 1000);  // itself again
}

TEST_F(FtimerRun, CallbacksMayRescheduleThemselvesAndUnscheduleAnyOther) {
    cb_wheel = w = wheel(unsched_next);
    ftimer_run(w);
    for (uint64_t i = 0; i < 4; i++) {
        entries[i] = {i, 0, nullptr, nullptr};
        ftimer_sched(w, &entries[i], 1000);  // one bucket: all on the expired list together
    }
    run_at(ticks + 200000);
    // Swept head first and pushed: they come off in scheduling order.  Each
    // takes its successor off the expired list before it can fire.
    ASSERT_EQ(fired.size(), 2u);
    EXPECT_EQ(fired[0].arg, 0u);
    EXPECT_EQ(fired[1].arg, 2u);
    EXPECT_TRUE(ftimer_scheduled(&entries[0]));
    EXPECT_FALSE(ftimer_scheduled(&entries[1]) || ftimer_scheduled(&entries[3]));
    EXPECT_EQ(w->fth_stats.fts_unsched, 2u);  // 1 and 3; 2's target 3 was already off
    EXPECT_EQ(w->fth_expired, nullptr);
}

TEST_F(FtimerRun, ZeroTicksFarOverdueAndWholeTurnsAreHandled) {
    // At ticks 0 (start-up) a zero delay still makes a scheduled entry.
    ticks = 0;
    struct ftimer_wheel *z = wheel();
    struct ftimer_entry e = {7, 0, nullptr, nullptr};
    ftimer_sched(z, &e, 0);
    EXPECT_TRUE(ftimer_scheduled(&e));
    ftimer_unsched(z, &e);
    EXPECT_EQ(z->fth_stats.fts_unsched, 1u);

    // An entry 40 minutes overdue fires with the lateness clamped.
    ticks = 200000000;
    ftimer_run(z);
    ftimer_sched(z, &e, 1000000);
    ticks += 2400000000ull;
    ftimer_run(z);
    ASSERT_EQ(fired.size(), 1u);
    EXPECT_EQ(fired[0].late, 0x7fffffffu);

    // Exactly one turn (128 s) after the last run, a due entry fires now.
    fired.clear();
    ftimer_sched(z, &e, 1000000);
    ticks += 128000000;
    ftimer_run(z);
    ASSERT_EQ(fired.size(), 1u);
    EXPECT_EQ(fired[0].late, 127000000u);
    // A zero delay met by such a sweep at the same ticks waits its width.
    ftimer_sched(z, &e, 0);
    ticks += 128000000 * 3;
    struct ftimer_entry g = {8, 0, nullptr, nullptr};
    ftimer_sched(z, &g, 0);
    ftimer_run(z);
    EXPECT_EQ(fired.size(), 2u);  // e, not g
    EXPECT_TRUE(ftimer_scheduled(&g));
}

TEST_F(FtimerRun, EntryMetATurnEarlyIsRescheduledForTheRest) {
    const uint64_t t0 = ticks;
    struct ftimer_entry e = {3, 0, nullptr, nullptr};
    ticks = t0 + 1;
    ftimer_sched(w, &e, 127999999);  // due a whole turn on: the bucket after t0's
    const uint64_t due = e.ft_time;
    const uint64_t sched = w->fth_stats.fts_sched;
    run_at(t0 + 62500 + 10);
    EXPECT_TRUE(fired.empty());
    EXPECT_EQ(w->fth_stats.fts_resched, 1u);
    EXPECT_EQ(w->fth_stats.fts_sched, sched + 1);
    EXPECT_EQ(e.ft_time, due);
    run_at(due + 62500);
    ASSERT_EQ(fired.size(), 1u);
}

// Random schedule, unschedule and run sequences with re-entrant callbacks,
// against a map of due times: fuzz/kv_metrics_fuzz.cc, whose seeds every
// test run replays.

}  // namespace
