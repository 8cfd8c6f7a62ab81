#include "core/timestamp.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>

#include "core/utils_unix.h"

namespace {

uint64_t fake_mono_ns;
uint64_t fake_real_ns;

int fake_clock(clockid_t id, struct timespec *ts) {
    uint64_t ns = id == CLOCK_REALTIME ? fake_real_ns : fake_mono_ns;
    ts->tv_sec = static_cast<time_t>(ns / 1000000000);
    ts->tv_nsec = static_cast<long>(ns % 1000000000);
    return 0;
}

class TimestampClock : public ::testing::Test {
  protected:
    void SetUp() override {
        timestamp_set_clock(fake_clock);
        fake_mono_ns = fake_real_ns = 0;
        tick_reset();
        ticks = 0;
    }
    void TearDown() override { timestamp_set_clock(nullptr); }
};

TEST(TimestampConvert, NegativeFieldsClampInTheCallersPair) {
    struct timespec ts = {-1, 5000};
    EXPECT_EQ(timespec_to_usec(&ts), 5u);
    EXPECT_EQ(ts.tv_sec, 0);
    ts = {3, -7};
    EXPECT_EQ(timespec_usec(&ts), 3000000u);
    EXPECT_EQ(ts.tv_nsec, 0);
    ts = {-4, -4};
    EXPECT_EQ(timespec_to_nsec(&ts), 0u);
    EXPECT_EQ(ts.tv_sec, 0);
    EXPECT_EQ(ts.tv_nsec, 0);

    struct timeval tv = {-9, 250};
    EXPECT_EQ(timeval_to_usec(&tv), 250u);
    EXPECT_EQ(tv.tv_sec, 0);
    tv = {2, -1};
    EXPECT_EQ(timeval_usec(&tv), 2000000u);
    EXPECT_EQ(tv.tv_usec, 0);
}

TEST(TimestampConvert, LargeValuesAndRoundTrips) {
    // Seconds beyond 32 bits must not overflow an intermediate.
    struct timespec ts = {5000000000, 999999999};
    EXPECT_EQ(timespec_to_nsec(&ts), 5000000000999999999u);
    EXPECT_EQ(timespec_to_usec(&ts), 5000000000999999u);
    struct timeval tv;
    usec_to_timeval(2500000, &tv);
    EXPECT_EQ(tv.tv_sec, 2);
    EXPECT_EQ(tv.tv_usec, 500000);
    usec_to_timeval(999999, &tv);
    EXPECT_EQ(tv.tv_sec, 0);
    EXPECT_EQ(tv.tv_usec, 999999);
    EXPECT_EQ(usec_to_msec(1999), 1u);
    EXPECT_EQ(msec_to_usec(7), 7000u);
}

TEST_F(TimestampClock, MonotonicAt100nsAndWallAt1us) {
    struct timespec ts;
    fake_mono_ns = 1234567891;
    EXPECT_EQ(timestamp_monotonic(&ts), 0);
    EXPECT_EQ(ts.tv_sec, 1);
    EXPECT_EQ(ts.tv_nsec, 234567800);
    timestamp_uptime(&ts);
    EXPECT_EQ(ts.tv_nsec, 234567800);
    // Whole 100 ns steps come out exact through the double step.
    for (uint64_t ns : {100u, 300u, 700u, 123456700u}) {
        fake_mono_ns = ns;
        timestamp_monotonic(&ts);
        EXPECT_EQ(ts.tv_nsec, static_cast<long>(ns)) << ns;
    }

    fake_real_ns = 1700000000123456789;
    EXPECT_EQ(timestamp_wall(&ts), 0);
    EXPECT_EQ(ts.tv_sec, 1700000000);
    EXPECT_EQ(ts.tv_nsec, 123456000);
}

TEST_F(TimestampClock, BaseMovesTheOriginAndNeverGoesNegative) {
    fake_mono_ns = 50000000000;
    EXPECT_EQ(timestamp_mark_base(), 50000000000u);
    fake_mono_ns += 2500000;
    EXPECT_EQ(timestamp_now_usec(), 2500u);
    // A clock behind its base reads as the origin, not as ~584 years.
    fake_mono_ns = 1000;
    EXPECT_EQ(timestamp_now_usec(), 0u);
    fake_mono_ns = 0;
    timestamp_mark_base();
}

TEST_F(TimestampClock, TickUpdateFirstSampleThenSteps) {
    fake_mono_ns = 7000000000;
    EXPECT_EQ(tick_update(), 7000000u);
    EXPECT_EQ(ticks, 0u);  // the first call only samples
    fake_mono_ns += 1500000;
    EXPECT_EQ(tick_update(), 7001500u);
    EXPECT_EQ(ticks, 1500u);
    // Same microsecond: nothing moves.
    fake_mono_ns += 999;
    tick_update();
    EXPECT_EQ(ticks, 1500u);
    // The 999 ns were not lost: the old sample was kept.
    fake_mono_ns += 1;
    tick_update();
    EXPECT_EQ(ticks, 1501u);
    // A clock that steps back changes nothing, and the next step counts
    // from the last good sample.
    fake_mono_ns -= 5000000;
    tick_update();
    EXPECT_EQ(ticks, 1501u);
    fake_mono_ns += 5000000 + 2000000;
    tick_update();
    EXPECT_EQ(ticks, 3501u);
}

TEST_F(TimestampClock, FirstSampleAtTheBaseIsARealSample) {
    fake_mono_ns = 900000;
    timestamp_mark_base();
    tick_update();  // 0 µs since the base
    fake_mono_ns += 3000;
    tick_update();
    EXPECT_EQ(ticks, 3u);
    fake_mono_ns = 0;
    timestamp_mark_base();
}

TEST_F(TimestampClock, StallLongerThan32BitStepStillAdvances) {
    fake_mono_ns = 1000000;
    tick_update();
    // 40 minutes without an update: more than 2^31 µs.
    fake_mono_ns += 40ull * 60 * 1000000000;
    tick_update();
    EXPECT_EQ(ticks, 40ull * 60 * 1000000);
    fake_mono_ns += 1000000;
    tick_update();
    EXPECT_EQ(ticks, 40ull * 60 * 1000000 + 1000);
}

TEST(TimestampModule, InitTakesTheFirstSample) {
    tick_reset();
    ticks = 0;
    timestamp_init(nullptr);
    EXPECT_EQ(ticks, 0u);
    utils_usleep(2000);
    tick_update();
    EXPECT_GE(ticks, 2000u);
}

std::atomic<int> alarms;
void on_alarm(int) {
    alarms++;
}

TEST(UtilsSleep, ZeroReturnsAndSignalsDoNotShortenTheSleep) {
    auto t0 = std::chrono::steady_clock::now();
    utils_usleep(0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(5));

    struct sigaction sa = {}, old;
    sa.sa_handler = on_alarm;  // no SA_RESTART: nanosleep returns EINTR
    sigaction(SIGALRM, &sa, &old);
    alarms = 0;
    pthread_t self = pthread_self();
    std::atomic<bool> sleeping{false};
    pthread_t killer;
    struct ctx {
        pthread_t target;
        std::atomic<bool> *sleeping;
    } c{self, &sleeping};
    pthread_create(
        &killer, nullptr,
        [](void *p) -> void * {
            auto *c = static_cast<ctx *>(p);
            while (!c->sleeping->load()) {
            }
            for (int i = 0; i < 3; i++) {
                struct timespec d = {0, 20000000};
                nanosleep(&d, nullptr);
                pthread_kill(c->target, SIGALRM);
            }
            return nullptr;
        },
        &c);
    t0 = std::chrono::steady_clock::now();
    sleeping = true;
    utils_usleep(150000);
    auto slept = std::chrono::steady_clock::now() - t0;
    pthread_join(killer, nullptr);
    sigaction(SIGALRM, &old, nullptr);
    EXPECT_EQ(alarms.load(), 3);
    EXPECT_GE(slept, std::chrono::microseconds(150000));
}

}  // namespace
