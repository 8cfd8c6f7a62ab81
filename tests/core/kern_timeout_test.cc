#include "core/kern_timeout.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

using names = std::vector<std::string>;
names fired;
std::vector<uint64_t> fired_at;  // ticks at each firing
void note(void *arg) {
    fired.push_back(static_cast<const char *>(arg));
    fired_at.push_back(ticks);
}

// The wheel is built once; each test starts a whole second after the last
// (ticks only move forward), with the wheel caught up.
struct Callout : ::testing::Test {
    void SetUp() override {
        static bool built = (ticks = 5000000, softclock_init(nullptr), true);
        (void)built;
        ticks = (ticks / 1000000 + 1) * 1000000;
        softclock();
        fired.clear();
        fired_at.clear();
    }
    void TearDown() override { EXPECT_EQ(callout_free_count(), NCALLOUT); }
    // Moves ticks on by total µs in steps, running softclock after each.
    static void run_for(uint64_t total, uint64_t step = 1000) {
        for (uint64_t end = ticks + total; ticks < end; softclock())
            ticks += step;
    }
};

TEST_F(Callout, FiresInTheFirstRunThatReachesItsTickShortDelaysAtTheNext) {
    ticks += 300;
    softclock();
    const uint64_t t = ticks;
    timeout(note, (void *)"62500", 62500);
    run_for(70000, 100);
    ASSERT_EQ(fired_at.size(), 1u);
    EXPECT_EQ(fired_at[0], (t + 62500) / 1000 * 1000);  // first 100 µs step of that tick
    run_for(1000, 1000);
    // (ticks + delay) / 1000 is the tick just processed for these: they
    // must fire at the next tick, not after the tick counter wraps.
    struct callout c;
    callout_init(&c);
    timeout(note, (void *)"1", 1);
    callout_reset(&c, 599, note, (void *)"599");
    timeout(note, (void *)"0", 0);
    timeout(note, (void *)"-5", -5);
    ticks += 999;  // under 1000 µs since the last run: nothing yet
    softclock();
    EXPECT_EQ(fired.size(), 1u);
    run_for(1);
    EXPECT_EQ(fired, (names{"62500", "1", "599", "0", "-5"}));
    EXPECT_EQ(c.c_flags, CALLOUT_ACTIVE);  // fired, no longer pending
}

struct rearm {
    struct callout c;
    int runs, delay;
};
void rearm_fn(void *arg) {
    auto *r = static_cast<rearm *>(arg);
    r->runs++;
    callout_reset(&r->c, r->delay, rearm_fn, r);
}

TEST_F(Callout, OrderWithinATickAcrossTurnsAndAfterAStall) {
    struct callout c;
    callout_init(&c);
    ticks += 100;
    timeout(note, (void *)"t1", 5000);
    callout_reset(&c, 5300, note, (void *)"c");
    timeout(note, (void *)"t2", 5800);
    timeout(note, (void *)"100ms", 100000);  // the bucket of 36 ms, one turn on
    timeout(note, (void *)"36ms", 36000);
    run_for(64000);
    EXPECT_EQ(fired, (names{"t1", "c", "t2", "36ms"}));
    run_for(37000);
    EXPECT_EQ(fired.back(), "100ms");
    fired.clear();
    rearm sub{{}, 0, 1}, per{{}, 0, 62500};
    callout_reset(&sub.c, 1, rearm_fn, &sub);
    callout_reset(&per.c, 62500, rearm_fn, &per);
    for (const char *d : {"900000", "5000", "200000", "65000", "1000", "64000"})
        timeout(note, (void *)d, atoi(d));
    ticks += 10000000;  // a ten-second stall: caught up tick by tick
    softclock();
    EXPECT_EQ(fired, (names{"1000", "5000", "64000", "65000", "200000", "900000"}));
    // Re-armed from the present, the periodic ones ran once where due and
    // once more at most: no burst of missed periods.
    EXPECT_EQ(sub.runs, 2);
    EXPECT_EQ(per.runs, 1);
    run_for(1000000);
    EXPECT_EQ(sub.runs, 1002);  // one run per tick, not one per softclock
    EXPECT_EQ(per.runs, 1 + 16);
    EXPECT_EQ(callout_stop(&sub.c) + callout_stop(&per.c), 2);
}

struct callout *victim, *from, *to;
void stop_victim(void *arg) {
    note(arg);
    EXPECT_EQ(callout_stop(victim), 1);
}
void take_again(void *) {
    to = timeout(note, (void *)"again", 3000);
}

TEST_F(Callout, CallbacksMayStopTheNextCalloutAndRetakeTheirEntry) {
    struct callout b;
    callout_init(&b);
    timeout(stop_victim, (void *)"a", 4000);
    callout_reset(&b, 4000, note, (void *)"b");
    timeout(note, (void *)"c", 4000);
    victim = &b;
    run_for(4000);
    timeout(stop_victim, (void *)"d", 4000);
    victim = timeout(note, (void *)"e", 4000);  // a table entry this time
    timeout(note, (void *)"f", 4000);
    run_for(4000);
    EXPECT_EQ(fired, (names{"a", "c", "d", "f"}));
    EXPECT_EQ(b.c_flags, 0u);
    from = timeout(take_again, nullptr, 2000);
    run_for(5000);
    EXPECT_EQ(to, from);  // freed before its callback ran
    EXPECT_EQ(fired.back(), "again");
}

TEST_F(Callout, StopResetAndUntimeoutTouchOnlyWhatIsArmed) {
    struct callout c;
    callout_init(&c);
    EXPECT_EQ(callout_stop(&c), 0);
    callout_reset(&c, 2000, note, (void *)"moved away");
    callout_reset(&c, 5000, note, (void *)"c");  // re-arming moves it
    struct callout *h = timeout(note, (void *)"x", 2000);
    untimeout(note, (void *)"y", h);         // another argument
    untimeout(stop_victim, (void *)"x", h);  // another function
    run_for(2000);
    EXPECT_EQ(timeout(note, (void *)"other", 2000), h);   // the fired entry, reused
    untimeout(note, (void *)"x", h);                      // the old work's: no effect
    callout_reset(h, 4000, note, (void *)"other later");  // re-armed in place
    EXPECT_EQ(callout_free_count(), NCALLOUT - 1);
    run_for(4000);
    EXPECT_EQ(fired, (names{"x", "c", "other later"}));
    EXPECT_EQ(callout_stop(&c), 0);
}

void fill_table(int extra) {
    dup2(STDERR_FILENO, STDOUT_FILENO);  // the panic line is echoed to stdout
    for (int i = 0; i < NCALLOUT + extra; i++)
        timeout(note, nullptr, 1000 + i);
    _exit(callout_free_count());
}

void reset_free_entry() {
    struct callout *h = timeout(note, nullptr, 1000);
    untimeout(note, nullptr, h);
    callout_reset(h, 1000, note, nullptr);
}

TEST_F(Callout, FullTableAndStaleHandlesStop) {
    EXPECT_EXIT(fill_table(0), ::testing::ExitedWithCode(0), "");
    EXPECT_DEATH(fill_table(1),
                 "\\[panic\\]: timeout: timeout table full(.|\n)*src/core/kern_timeout.cc:[0-9]+: "
                 "timeout: Assertion");
    EXPECT_DEATH(reset_free_entry(), "timeout entry is free");
}

}  // namespace
