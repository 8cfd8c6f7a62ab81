#include "core/timestamp.h"
#include "core/timestamp_internal.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>

#include "core/utils_unix.h"

namespace {

uint64_t mono_ns = 7000000000, real_ns;
int fake_clock(clockid_t id, struct timespec *ts) {
    uint64_t ns = id == CLOCK_REALTIME ? real_ns : mono_ns;
    *ts = {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    return 0;
}

TEST(Timestamp, ConversionsClampNegativeFieldsInTheCallersPair) {
    struct timespec ts = {-1, 5000};
    EXPECT_EQ(timespec_to_usec(&ts), 5u);
    EXPECT_EQ(ts.tv_sec, 0);
    ts = {5000000000, -7};  // seconds beyond 32 bits
    EXPECT_EQ(timespec_to_nsec(&ts), 5000000000000000000u);
    EXPECT_EQ(ts.tv_nsec, 0);
    struct timeval tv = {-9, 250};
    EXPECT_EQ(timeval_usec(&tv), 250u);
    usec_to_timeval(2500000, &tv);
    EXPECT_EQ(tv.tv_sec * 1000000 + tv.tv_usec * 1000, 2000000 + 500000000);
}

TEST(Timestamp, ClocksAndTicksFromAnInjectedSource) {
    timestamp_set_clock(fake_clock);
    struct timespec ts;
    real_ns = 1700000000123456789;
    timestamp_wall(&ts);
    EXPECT_EQ(ts.tv_sec * 1000000000 + ts.tv_nsec, 1700000000123456000);
    for (uint64_t ns : {1234567891ul, 300ul, 123456700ul}) {  // whole 100 ns steps stay exact
        mono_ns = ns;
        timestamp_uptime(&ts);
        EXPECT_EQ(static_cast<uint64_t>(ts.tv_sec * 1000000000 + ts.tv_nsec), ns / 100 * 100);
    }
    mono_ns = 50000000000;
    EXPECT_EQ(timestamp_mark_base(), 50000000000u);
    tick_reset();
    ticks = 0;
    EXPECT_EQ(tick_update(), 0u);  // a first sample right at the base is a sample
    EXPECT_EQ(ticks, 0u);
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
    mono_ns += 2400ull * 1000000000;  // a 40-minute stall, beyond 2^31 µs
    tick_update();
    EXPECT_EQ(ticks, 3501u + 2400000000u);
    mono_ns = 10;  // behind the base: the origin, not 584 years
    EXPECT_EQ(timestamp_now_usec(), 0u);
    mono_ns = 0;
    timestamp_mark_base();
    timestamp_set_clock(nullptr);
}

TEST(Timestamp, SleepIsNotShortenedBySignals) {
    static std::atomic<int> alarms;
    struct sigaction sa = {}, old;
    sa.sa_handler = [](int) { alarms++; };  // no SA_RESTART: EINTR
    sigaction(SIGALRM, &sa, &old);
    pthread_t self = pthread_self(), killer;
    pthread_create(
        &killer, nullptr,
        [](void *p) -> void * {
            // The next signal only once the last was handled: two pending
            // ones would merge.
            for (int i = 0; i < 3; i++) {
                usleep(20000), pthread_kill(*static_cast<pthread_t *>(p), SIGALRM);
                for (int ms = 0; alarms == i && ms < 10000; ms++)
                    usleep(1000);
            }
            return nullptr;
        },
        &self);
    auto t0 = std::chrono::steady_clock::now();
    utils_usleep(150000);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::microseconds(150000));
    pthread_join(killer, nullptr);
    sigaction(SIGALRM, &old, nullptr);
    EXPECT_EQ(alarms, 3);
}

}  // namespace
