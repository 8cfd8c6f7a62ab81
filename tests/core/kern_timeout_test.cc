#include "core/kern_timeout.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/timestamp.h"

namespace {

struct fired_rec {
    std::string name;
    uint64_t at;  // ticks when it fired
};
std::vector<fired_rec> fired;

void note(void *arg) {
    fired.push_back({static_cast<const char *>(arg), ticks});
}

std::vector<std::string> fired_names() {
    std::vector<std::string> out;
    for (auto &f : fired)
        out.push_back(f.name);
    return out;
}

// The wheel is built once per process; each test starts a whole second
// after the last (ticks only ever move forward) with the wheel caught up.
class Callout : public ::testing::Test {
  protected:
    void SetUp() override {
        static bool built;
        if (!built) {
            ticks = 5000000;
            softclock_init(nullptr);
            built = true;
        }
        ticks = (ticks / 1000000 + 1) * 1000000;
        softclock();
        fired.clear();
        ASSERT_EQ(callout_free_count(), NCALLOUT) << "a test left timeouts armed";
    }
    // Advances ticks in steps of step_usec up to ticks + total, running
    // softclock after each step as the main poll does.
    static void run_for(uint64_t total, uint64_t step = 1000) {
        for (uint64_t end = ticks + total; ticks < end;) {
            ticks += step;
            softclock();
        }
    }
};

TEST_F(Callout, FiresAtTheFirstRunThatReachesItsTick) {
    ticks += 300;
    softclock();
    const uint64_t t = ticks;
    timeout(note, (void *)"a", 62500);
    const uint64_t target_ms = (t + 62500) / 1000;
    run_for(70000, 100);
    ASSERT_EQ(fired.size(), 1u);
    EXPECT_EQ(fired[0].at / 1000, target_ms);
    EXPECT_EQ(callout_free_count(), NCALLOUT);
}

TEST_F(Callout, RunsLessThanATickApartDoNothing) {
    timeout(note, (void *)"a", 1000);
    ticks += 999;
    softclock();
    EXPECT_TRUE(fired.empty());
    ticks += 1;
    softclock();
    EXPECT_EQ(fired_names(), (std::vector<std::string>{"a"}));
    // Due now, but the last run was under 1000 µs ago.
    timeout(note, (void *)"b", 1);
    ticks += 999;
    softclock();
    EXPECT_EQ(fired.size(), 1u);
    ticks += 1;
    softclock();
    EXPECT_EQ(fired.size(), 2u);
}

TEST_F(Callout, NonPositiveDelayMeansOneTick) {
    struct callout c;
    callout_init(&c);
    callout_reset(&c, 0, note, (void *)"zero");
    timeout(note, (void *)"neg", -5);
    run_for(1000);
    EXPECT_EQ(fired_names(), (std::vector<std::string>{"zero", "neg"}));
    EXPECT_EQ(c.c_flags, CALLOUT_ACTIVE);  // fired: no longer pending
    EXPECT_EQ(c.c_func, nullptr);
}

TEST_F(Callout, SubTickDelaysFireAtTheNextTickNotAfterAWrap) {
    ticks += 400;
    softclock();
    // (ticks + d) / 1000 is the tick just processed for these delays.
    timeout(note, (void *)"1", 1);
    timeout(note, (void *)"500", 500);
    struct callout c;
    callout_init(&c);
    callout_reset(&c, 599, note, (void *)"599");
    run_for(1000);
    EXPECT_EQ(fired_names(), (std::vector<std::string>{"1", "500", "599"}));
    EXPECT_EQ(callout_free_count(), NCALLOUT);
}

struct rearm_ctx {
    struct callout *self;
    int runs;
    int limit;
    int delay;
};

void rearm_caller_owned(void *arg) {
    auto *r = static_cast<rearm_ctx *>(arg);
    if (++r->runs < r->limit) callout_reset(r->self, r->delay, rearm_caller_owned, r);
}

TEST_F(Callout, SelfRearmingSubTickCalloutRunsOncePerTick) {
    struct callout c;
    callout_init(&c);
    rearm_ctx r{&c, 0, 1000, 1};
    callout_reset(&c, 1, rearm_caller_owned, &r);
    // One run per wheel tick, also when the last tick of a run re-arms
    // for that same tick.
    ticks += 1000;
    softclock();
    EXPECT_EQ(r.runs, 1);
    run_for(5000);
    EXPECT_EQ(r.runs, 6);
    EXPECT_EQ(callout_stop(&c), 1);
}

TEST_F(Callout, SameTickFiresInArmingOrder) {
    struct callout c1, c2;
    callout_init(&c1);
    callout_init(&c2);
    ticks += 100;
    timeout(note, (void *)"t1", 5000);
    callout_reset(&c1, 5300, note, (void *)"c1");
    timeout(note, (void *)"t2", 5800);
    callout_reset(&c2, 5000, note, (void *)"c2");
    timeout(note, (void *)"later", 6000);
    run_for(10000);
    EXPECT_EQ(fired_names(), (std::vector<std::string>{"t1", "c1", "t2", "c2", "later"}));
}

struct callout *rearmed_from;
struct callout *rearmed_to;

void rearm_with_timeout(void *) {
    rearmed_to = timeout(note, (void *)"again", 3000);
}

TEST_F(Callout, CallbackTakingATimeoutGetsItsOwnEntryBack) {
    rearmed_from = timeout(rearm_with_timeout, nullptr, 2000);
    run_for(2000);
    EXPECT_EQ(rearmed_to, rearmed_from);
    EXPECT_EQ(callout_free_count(), NCALLOUT - 1);
    run_for(3000);
    EXPECT_EQ(fired_names(), (std::vector<std::string>{"again"}));
    EXPECT_EQ(callout_free_count(), NCALLOUT);
}

struct callout *victim;
void stop_victim(void *arg) {
    note(arg);
    EXPECT_EQ(callout_stop(victim), 1);
}

TEST_F(Callout, CallbackMayStopTheNextCalloutOfTheWalk) {
    // Caller-owned and table callouts alike; both on the same tick.
    struct callout b;
    callout_init(&b);
    timeout(stop_victim, (void *)"a", 4000);
    callout_reset(&b, 4000, note, (void *)"b");
    timeout(note, (void *)"c", 4000);
    victim = &b;
    run_for(4000);
    EXPECT_EQ(fired_names(), (std::vector<std::string>{"a", "c"}));
    EXPECT_EQ(b.c_flags, 0u);

    fired.clear();
    timeout(stop_victim, (void *)"a", 4000);
    victim = timeout(note, (void *)"b", 4000);
    timeout(note, (void *)"c", 4000);
    run_for(4000);
    EXPECT_EQ(fired_names(), (std::vector<std::string>{"a", "c"}));
    EXPECT_EQ(callout_free_count(), NCALLOUT);
}

TEST_F(Callout, StopAndUntimeoutOnlyTouchWhatIsStillArmed) {
    struct callout c;
    callout_init(&c);
    EXPECT_EQ(callout_stop(&c), 0);
    callout_reset(&c, 3000, note, (void *)"c");
    EXPECT_EQ(c.c_flags, CALLOUT_ACTIVE | CALLOUT_PENDING);
    EXPECT_EQ(callout_stop(&c), 1);
    EXPECT_EQ(callout_stop(&c), 0);
    EXPECT_EQ(c.c_flags, 0u);

    callout_handle h;
    callout_handle_init(&h);
    EXPECT_EQ(h, nullptr);
    untimeout(note, nullptr, h);  // null handle: nothing
    h = timeout(note, (void *)"x", 2000);
    untimeout(note, (void *)"y", h);         // another argument: left alone
    untimeout(stop_victim, (void *)"x", h);  // another function: left alone
    run_for(2000);
    EXPECT_EQ(fired_names(), (std::vector<std::string>{"x"}));
    // Fired: untimeout of the old handle does nothing, even once the entry
    // serves other work.
    struct callout *other = timeout(note, (void *)"other", 2000);
    ASSERT_EQ(other, h);
    untimeout(note, (void *)"x", h);
    run_for(2000);
    EXPECT_EQ(fired_names(), (std::vector<std::string>{"x", "other"}));

    h = timeout(note, (void *)"z", 2000);
    untimeout(note, (void *)"z", h);
    EXPECT_EQ(callout_free_count(), NCALLOUT);
    run_for(3000);
    EXPECT_EQ(fired.size(), 2u);
}

TEST_F(Callout, ResetMovesAPendingCallout) {
    struct callout c;
    callout_init(&c);
    callout_reset(&c, 2000, note, (void *)"first");
    callout_reset(&c, 5000, note, (void *)"second");
    run_for(3000);
    EXPECT_TRUE(fired.empty());
    run_for(2000);
    EXPECT_EQ(fired_names(), (std::vector<std::string>{"second"}));

    // A pending timeout entry re-armed in place stays off the free list:
    // it fires once, later, and the table is whole afterwards.
    fired.clear();
    struct callout *h = timeout(note, (void *)"t", 2000);
    callout_reset(h, 4000, note, (void *)"t2");
    EXPECT_EQ(callout_free_count(), NCALLOUT - 1);
    for (int i = 0; i < NCALLOUT - 1; i++)
        timeout(note, (void *)"fill", 1000);
    EXPECT_EQ(callout_free_count(), 0);
    run_for(4000);
    EXPECT_EQ(fired.back().name, "t2");
    EXPECT_EQ(fired.size(), static_cast<size_t>(NCALLOUT));
    EXPECT_EQ(callout_free_count(), NCALLOUT);
}

TEST_F(Callout, MoreThanOneTurnAheadWaitsForItsOwnTurn) {
    ticks += 250;
    const uint64_t t = ticks;
    timeout(note, (void *)"100ms", 100000);
    timeout(note, (void *)"36ms", 36000);  // the same bucket one turn earlier
    run_for(64000);
    EXPECT_EQ(fired_names(), (std::vector<std::string>{"36ms"}));
    run_for(40000);
    ASSERT_EQ(fired.size(), 2u);
    EXPECT_EQ(fired[1].at / 1000, (t + 100000) / 1000);
}

std::vector<int> order;
void note_int(void *arg) {
    order.push_back(static_cast<int>(reinterpret_cast<intptr_t>(arg)));
}

TEST_F(Callout, LateRunFiresInTickOrder) {
    order.clear();
    for (int d : {900000, 5000, 200000, 30000, 64000, 1000, 65000})
        timeout(note_int, reinterpret_cast<void *>(static_cast<intptr_t>(d)), d);
    ticks += 10000000;
    softclock();
    EXPECT_EQ(order, (std::vector<int>{1000, 5000, 30000, 64000, 65000, 200000, 900000}));
    EXPECT_EQ(callout_free_count(), NCALLOUT);
}

void fill_table_then_one_more() {
    dup2(STDERR_FILENO, STDOUT_FILENO);  // the panic line is echoed to stdout
    for (int i = 0; i < NCALLOUT; i++)
        timeout(note, nullptr, 1000 + i);
    if (callout_free_count() != 0) _exit(5);
    timeout(note, nullptr, 1000);
}

TEST_F(Callout, SixtyFifthTimeoutStopsTheProcess) {
    EXPECT_DEATH(fill_table_then_one_more(),
                 "\\[panic\\]: timeout: timeout table full(.|\n)*src/core/kern_timeout.cc:[0-9]+: "
                 "timeout: Assertion");
}

void reset_free_entry() {
    struct callout *h = timeout(note, nullptr, 1000);
    untimeout(note, nullptr, h);
    callout_reset(h, 1000, note, nullptr);
}

TEST_F(Callout, ResetOfAFreeTimeoutEntryStops) {
    EXPECT_DEATH(reset_free_entry(), "timeout entry is free");
}

}  // namespace
