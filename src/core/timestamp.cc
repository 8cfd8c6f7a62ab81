// timestamp: clocks and the microsecond tick counter.
//
// The tick state is owned by the main poll thread: tick_update takes no
// lock.  ticks itself is stored with a relaxed atomic store so that readers
// on other threads always see a whole value.
#include "core/timestamp.h"
#include "core/timestamp_internal.h"

#include "core/logging.h"
#include "core/ncounter.h"
#include "core/sysinit.h"

uint64_t ticks;

static timestamp_clock_fn ts_clock = clock_gettime;
static uint64_t ts_base;    // ns of CLOCK_MONOTONIC; 0 until marked
static uint64_t tick_last;  // last sample, µs
static int tick_started;

// Seconds and a fraction of FracPerSec units per second, clamped to zero
// when negative (in the caller's pair), as a count of Unit-sized units.
template <uint64_t FracPerSec, uint64_t UnitsPerSec, class Sec, class Frac>
static uint64_t pair_to_units(Sec &sec, Frac &frac) {
    if (sec < 0) sec = 0;
    if (frac < 0) frac = 0;
    if constexpr (FracPerSec >= UnitsPerSec)
        return static_cast<uint64_t>(sec) * UnitsPerSec +
               static_cast<uint64_t>(frac) / (FracPerSec / UnitsPerSec);
    else
        return static_cast<uint64_t>(sec) * UnitsPerSec +
               static_cast<uint64_t>(frac) * (UnitsPerSec / FracPerSec);
}

uint64_t timespec_to_usec(struct timespec *ts) {
    return pair_to_units<1000000000, 1000000>(ts->tv_sec, ts->tv_nsec);
}
uint64_t timespec_usec(struct timespec *ts) {
    return timespec_to_usec(ts);
}

uint64_t timeval_to_usec(struct timeval *tv) {
    return pair_to_units<1000000, 1000000>(tv->tv_sec, tv->tv_usec);
}
uint64_t timeval_usec(struct timeval *tv) {
    return timeval_to_usec(tv);
}

uint64_t timespec_to_nsec(struct timespec *ts) {
    return pair_to_units<1000000000, 1000000000>(ts->tv_sec, ts->tv_nsec);
}

void usec_to_timeval(uint64_t usec, struct timeval *tv) {
    tv->tv_sec = static_cast<time_t>(usec / 1000000);
    tv->tv_usec = static_cast<suseconds_t>(usec % 1000000);
}

uint64_t usec_to_msec(uint64_t usec) {
    return usec / 1000;
}
uint64_t msec_to_usec(uint64_t msec) {
    return msec * 1000;
}

void timestamp_set_clock(timestamp_clock_fn fn) {
    ts_clock = fn != nullptr ? fn : clock_gettime;
}

static uint64_t clock_nsec(clockid_t id) {
    struct timespec ts = {0, 0};
    ts_clock(id, &ts);
    return timespec_to_nsec(&ts);
}

// Splits a count of 100 ns units into a timespec.
static void hundred_ns_to_timespec(uint64_t t, struct timespec *ts) {
    ts->tv_sec = static_cast<time_t>(t / 10000000);
    ts->tv_nsec = static_cast<long>(t % 10000000 * 100);
}

int timestamp_monotonic(struct timespec *ts) {
    int64_t d = static_cast<int64_t>(clock_nsec(CLOCK_MONOTONIC) - ts_base);
    // A clock read before its own base (a base marked from another source)
    // counts as the origin: converting a negative double to an unsigned
    // count is undefined.
    if (d < 0) d = 0;
    hundred_ns_to_timespec(static_cast<uint64_t>(static_cast<double>(d) * 0.01), ts);
    return 0;
}

int timestamp_uptime(struct timespec *ts) {
    return timestamp_monotonic(ts);
}

int timestamp_wall(struct timespec *ts) {
    hundred_ns_to_timespec(clock_nsec(CLOCK_REALTIME) / 1000 * 10, ts);
    return 0;
}

uint64_t timestamp_mark_base(void) {
    ts_base = clock_nsec(CLOCK_MONOTONIC);
    return ts_base;
}

uint64_t timestamp_now_usec(void) {
    struct timespec ts;
    timestamp_monotonic(&ts);
    return timespec_to_usec(&ts);
}

void tick_reset(void) {
    tick_last = 0;
    tick_started = 0;
}

uint64_t tick_update(void) {
    uint64_t now = timestamp_now_usec();
    if (tick_started) {
        // The step is taken in 64 bits: a stall of more than 2^31 µs
        // (35.8 minutes) must advance ticks like any other, where a 32-bit
        // step would turn negative and hold ticks still for as long again.
        int64_t step = static_cast<int64_t>(now - tick_last);
        if (step <= 0) return now;
        n_counter_set(ticks, ticks + static_cast<uint64_t>(step));
        tick_last = now;
        return now;
    }
    // The started flag alone tells a first call: a first sample of 0 µs
    // (right after the base was marked) is a real sample.
    tick_last = now;
    tick_started = 1;
    return now;
}

void timestamp_init(void *) {
    tr_log(1, TR_INFO, "[Timer] module initialized");
    tick_update();
}
SYSINIT(timestamp_mod, "timestamp_mod", SI_SUB_CORE, SI_ORDER_ANY, timestamp_init, nullptr);
