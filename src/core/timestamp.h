// timestamp: time pairs, the core clocks and the microsecond tick counter.
//
// ticks counts microseconds of the monotonic clock.  It is advanced only by
// tick_update, on the thread that runs the main poll; other threads may read
// it (n_counter_get) and see a whole, possibly slightly old, value.
#pragma once

#include <sys/time.h>
#include <time.h>

#include <cstdint>

extern uint64_t ticks;

// Conversions from a pair clamp first: a negative seconds or fraction field
// is set to 0 in the caller's pair and contributes nothing.
uint64_t timespec_to_usec(struct timespec *ts);
uint64_t timespec_usec(struct timespec *ts);  // second entry point, same result
uint64_t timeval_to_usec(struct timeval *tv);
uint64_t timeval_usec(struct timeval *tv);  // second entry point, same result
uint64_t timespec_to_nsec(struct timespec *ts);
void usec_to_timeval(uint64_t usec, struct timeval *tv);
uint64_t usec_to_msec(uint64_t usec);
uint64_t msec_to_usec(uint64_t msec);

// Monotonic clock since the base, at 100 ns resolution.  Returns 0.
int timestamp_monotonic(struct timespec *ts);
// Same clock under the name its callers use for process uptime.
int timestamp_uptime(struct timespec *ts);
// Wall clock at 1 µs resolution.  Returns 0.
int timestamp_wall(struct timespec *ts);
// Makes "now" the origin of the monotonic clock; returns the base (ns).
uint64_t timestamp_mark_base(void);
// The monotonic clock since the base in microseconds.
uint64_t timestamp_now_usec(void);

// Advances ticks by the microseconds elapsed since the previous call and
// returns the monotonic time in microseconds.  The first call only takes
// the first sample.
uint64_t tick_update(void);

// Start-up of timestamp_mod.
void timestamp_init(void *arg);
