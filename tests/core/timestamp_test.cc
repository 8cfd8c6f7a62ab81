#include "core/timestamp.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>

#include "core/utils_unix.h"

namespace {

uint64_t mono_ns, real_ns;
int fake_clock(clockid_t id, struct timespec *ts) {
    uint64_t ns = id == CLOCK_REALTIME ? real_ns : mono_ns;
    *ts = {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    return 0;
}

struct FakeClock : ::testing::Test {
    void SetUp() override {
        timestamp_set_clock(fake_clock);
        mono_ns = 7000000000;
        tick_reset();
        ticks = 0;
    }
    void TearDown() override {
        mono_ns = 0;
        timestamp_mark_base();
        timestamp_set_clock(nullptr);
    }
};

TEST(TimestampConvert, NegativeFieldsClampInTheCallersPairAndBigValuesFit) {
    struct timespec ts = {-1, 5000};
    EXPECT_EQ(timespec_to_usec(&ts), 5u);
    EXPECT_EQ(ts.tv_sec, 0);
    ts = {3, -7};
    EXPECT_EQ(timespec_to_nsec(&ts), 3000000000u);
    EXPECT_EQ(ts.tv_nsec, 0);
    struct timeval tv = {-9, 250};
    EXPECT_EQ(timeval_usec(&tv), 250u);
    EXPECT_EQ(tv.tv_sec, 0);
    ts = {5000000000, 999999999};  // seconds beyond 32 bits
    EXPECT_EQ(timespec_to_nsec(&ts), 5000000000999999999u);
    usec_to_timeval(2500000, &tv);
    EXPECT_EQ(tv.tv_sec * 1000000 + tv.tv_usec, 2500000);
    EXPECT_EQ(tv.tv_usec, 500000);
}

TEST_F(FakeClock, MonotonicAt100nsWallAt1usAndTheBase) {
    struct timespec ts;
    mono_ns = 1234567891;
    timestamp_uptime(&ts);
    EXPECT_EQ(ts.tv_sec, 1);
    EXPECT_EQ(ts.tv_nsec, 234567800);
    for (long ns : {100L, 300L, 700L, 123456700L}) {  // whole steps stay exact
        mono_ns = static_cast<uint64_t>(ns);
        timestamp_monotonic(&ts);
        EXPECT_EQ(ts.tv_nsec, ns);
    }
    real_ns = 1700000000123456789;
    timestamp_wall(&ts);
    EXPECT_EQ(ts.tv_sec, 1700000000);
    EXPECT_EQ(ts.tv_nsec, 123456000);

    mono_ns = 50000000000;
    EXPECT_EQ(timestamp_mark_base(), 50000000000u);
    mono_ns += 2500000;
    EXPECT_EQ(timestamp_now_usec(), 2500u);
    mono_ns = 1000;  // behind the base: the origin, not 584 years
    EXPECT_EQ(timestamp_now_usec(), 0u);
}

TEST_F(FakeClock, TickUpdateSamplesThenAddsElapsedMicroseconds) {
    EXPECT_EQ(tick_update(), 7000000u);
    EXPECT_EQ(ticks, 0u);  // first call: sample only
    mono_ns += 1500000;
    tick_update();
    EXPECT_EQ(ticks, 1500u);
    mono_ns += 999;  // same microsecond: nothing, and the old sample stays
    tick_update();
    mono_ns += 1;
    tick_update();
    EXPECT_EQ(ticks, 1501u);
    mono_ns -= 5000000;  // a clock stepping back changes nothing
    tick_update();
    mono_ns += 7000000;
    tick_update();
    EXPECT_EQ(ticks, 3501u);
    mono_ns += 40ull * 60 * 1000000000;  // a 40-minute stall: beyond 2^31 µs
    tick_update();
    EXPECT_EQ(ticks, 3501u + 40ull * 60 * 1000000);
}

TEST_F(FakeClock, FirstSampleRightAtTheBaseCounts) {
    timestamp_mark_base();
    tick_update();  // 0 µs since the base
    mono_ns += 3000;
    tick_update();
    EXPECT_EQ(ticks, 3u);
}

std::atomic<int> alarms;

TEST(UtilsSleep, SignalsDoNotShortenTheSleep) {
    struct sigaction sa = {}, old;
    sa.sa_handler = [](int) { alarms++; };  // no SA_RESTART: EINTR
    sigaction(SIGALRM, &sa, &old);
    pthread_t self = pthread_self(), killer;
    pthread_create(
        &killer, nullptr,
        [](void *p) -> void * {
            for (int i = 0; i < 3; i++) {
                usleep(20000);
                pthread_kill(*static_cast<pthread_t *>(p), SIGALRM);
            }
            return nullptr;
        },
        &self);
    auto t0 = std::chrono::steady_clock::now();
    utils_usleep(150000);
    auto slept = std::chrono::steady_clock::now() - t0;
    pthread_join(killer, nullptr);
    sigaction(SIGALRM, &old, nullptr);
    EXPECT_EQ(alarms.load(), 3);
    EXPECT_GE(slept, std::chrono::microseconds(150000));
}

}  // namespace
