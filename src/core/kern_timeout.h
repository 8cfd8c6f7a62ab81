// kern_timeout: the callout wheel, one-shot timer callbacks at millisecond
// resolution, run by softclock on the main poll thread.
//
// ticks counts microseconds; one wheel tick is 1000 µs.  A callout armed
// for delay µs fires in the first softclock that has processed wheel tick
// (ticks + delay) / 1000.  The wheel has 64 buckets (one per tick modulo
// 64); callouts further ahead wait in their bucket for as many turns as it
// takes.  Callouts of one tick fire in the order they were armed.
//
// Everything here runs on the main poll thread and takes no lock.
#pragma once

#include <cstdint>

#include "core/queue.h"

inline constexpr uint32_t CALLOUT_LOCAL = 1;    // one of the 64 timeout entries
inline constexpr uint32_t CALLOUT_ACTIVE = 2;   // armed and not stopped
inline constexpr uint32_t CALLOUT_PENDING = 4;  // on the wheel, not yet fired

inline constexpr int CALLWHEEL_SIZE = 64;
inline constexpr int NCALLOUT = 64;
inline constexpr uint64_t CALLOUT_TICK_USEC = 1000;

using callout_fn = void (*)(void *);

struct callout {
    tailq_entry<struct callout> c_links;  // bucket or free list
    uint32_t c_time;                      // wheel tick at which to fire
    void *c_arg;
    callout_fn c_func;  // null once fired or stopped
    uint32_t c_flags;
};

using callout_list = tailq<struct callout, &callout::c_links>;

// A handle to a timeout entry, as returned by timeout.
using callout_handle = struct callout *;

// Start-up of softclock_mod: builds the wheel and the timeout table.
void softclock_init(void *arg);
// Fires the callouts of every wheel tick elapsed since the last run.
void softclock(void);

// Arms a free entry of the timeout table; a 65th outstanding timeout stops
// the process.  Returns the entry as a handle.
struct callout *timeout(callout_fn func, void *arg, int delay_usec);
// Cancels the handle's timeout if it is still armed for func and arg.
void untimeout(callout_fn func, void *arg, struct callout *handle);
void callout_handle_init(callout_handle *handle);

// Caller-owned callouts.
void callout_init(struct callout *c);
// Arms c (stopping it first if pending); delay ≤ 0 means 1000 µs.
void callout_reset(struct callout *c, int delay_usec, callout_fn func, void *arg);
// 1 if c was pending and has been taken off the wheel, else 0.
int callout_stop(struct callout *c);

// Number of free timeout entries (for statistics and tests).
int callout_free_count(void);
