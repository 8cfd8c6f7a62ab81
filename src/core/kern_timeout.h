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

#include <cstddef>
#include <cstdint>

#include "core/nassert.h"
#include "core/queue.h"
#include "core/timestamp.h"

inline constexpr uint32_t CALLOUT_LOCAL = 1;    // one of the 64 timeout entries
inline constexpr uint32_t CALLOUT_ACTIVE = 2;   // armed and not stopped
inline constexpr uint32_t CALLOUT_PENDING = 4;  // on the wheel, not yet fired

inline constexpr int CALLWHEEL_SIZE = 64;
inline constexpr int NCALLOUT = 64;
inline constexpr uint64_t CALLOUT_TICK_USEC = 1000;

using callout_fn = void (*)(void *);

struct callout {
    tailq_entry<struct callout> c_links;  // next, and the previous next link
    uint32_t c_time;                      // wheel tick at which to fire
    void *c_arg;
    callout_fn c_func;  // null once fired or stopped
    uint32_t c_flags;
};

static_assert(offsetof(struct callout, c_time) == 16 && offsetof(struct callout, c_flags) == 40,
              "next, previous link, target tick, argument, function, flags");

using callout_list = tailq<struct callout, &callout::c_links>;

// A handle to a timeout entry, as returned by timeout.
using callout_handle = struct callout *;

// Module state.  It lives here, not in the source file, only so that the
// arming and stopping paths below can be inlined into their callers; no
// other code touches it.
struct callout_module {
    callout_list *cm_wheel;    // CALLWHEEL_SIZE buckets
    struct callout *cm_table;  // the timeout table
    // Free timeout entries, a stack: the entry freed last is taken first
    // (a callback that takes a timeout gets back the entry it fired from).
    struct callout *cm_free[NCALLOUT];
    int cm_nfree;
    uint64_t cm_processed;    // last processed wheel tick (as u32)
    uint64_t cm_lastrun;      // ticks when softclock last worked
    struct callout *cm_next;  // next callout of softclock's walk, or null
};
extern struct callout_module callout_mod;

// Start-up of softclock_mod: builds the wheel and the timeout table.
void softclock_init(void *arg);
// Fires the callouts of every wheel tick elapsed since the last run.
void softclock(void);

// Number of free timeout entries (for statistics and tests).
inline int callout_free_count(void) {
    return callout_mod.cm_nfree;
}

[[noreturn]] void callout_table_full(void);

inline void callout_free_push(struct callout *c) {
    callout_mod.cm_free[callout_mod.cm_nfree++] = c;
}

inline callout_list &callout_bucket(uint32_t t) {
    return callout_mod.cm_wheel[t & (CALLWHEEL_SIZE - 1)];
}

// Takes a pending callout off its bucket, keeping softclock's cursor valid
// (a callback may stop the very callout the walk visits next).
inline void callout_unlink(struct callout *c) {
    if (callout_mod.cm_next == c) callout_mod.cm_next = callout_list::next(c);
    callout_bucket(c->c_time).remove(c);
    c->c_func = nullptr;
}

// Puts c on the wheel for wheel tick (ticks + delay) / 1000.
inline void callout_arm(struct callout *c, int delay, callout_fn func, void *arg) {
    if (delay <= 0) delay = static_cast<int>(CALLOUT_TICK_USEC);
    c->c_arg = arg;
    c->c_func = func;
    c->c_flags |= CALLOUT_ACTIVE | CALLOUT_PENDING;
    uint32_t t = static_cast<uint32_t>((ticks + static_cast<uint64_t>(delay)) / CALLOUT_TICK_USEC);
    // A target at or before the last processed tick would only come round
    // again after 2^32 ticks; such a callout (a delay below one tick, or
    // ticks ahead of a softclock that has not caught up) fires at the next
    // wheel tick instead.
    uint32_t done = static_cast<uint32_t>(callout_mod.cm_processed);
    if (static_cast<int32_t>(t - done) <= 0) t = done + 1;
    c->c_time = t;
    callout_bucket(t).insert_tail(c);
}

inline void callout_handle_init(callout_handle *handle) {
    *handle = nullptr;
}

// Caller-owned callouts.
inline void callout_init(struct callout *c) {
    *c = {};
}

// Arms c (moving it if pending); delay ≤ 0 means 1000 µs.
inline void callout_reset(struct callout *c, int delay_usec, callout_fn func, void *arg) {
    N_ASSERT(callout_mod.cm_wheel != ((void *)0));
    if (__builtin_expect(c->c_flags & (CALLOUT_PENDING | CALLOUT_LOCAL), 0)) {
        // A table entry that is not pending is on the free list: arming it
        // here (through a stale handle) would hand it out twice.
        N_ASSERT(c->c_flags & CALLOUT_PENDING, "callout_reset: timeout entry is free");
        // Re-arming a pending timeout entry moves it on the wheel; it must
        // not pass through the free list, where timeout could take it too.
        callout_unlink(c);
    }
    callout_arm(c, delay_usec, func, arg);
}

// 1 if c was pending and has been taken off the wheel, else 0.
inline int callout_stop(struct callout *c) {
    if (!(c->c_flags & CALLOUT_PENDING)) {
        c->c_flags &= ~CALLOUT_ACTIVE;
        return 0;
    }
    c->c_flags &= ~(CALLOUT_ACTIVE | CALLOUT_PENDING);
    callout_unlink(c);
    if (c->c_flags & CALLOUT_LOCAL) callout_free_push(c);
    return 1;
}

// Arms a free entry of the timeout table; a 65th outstanding timeout stops
// the process.  Returns the entry as a handle.
inline struct callout *timeout(callout_fn func, void *arg, int delay_usec) {
    N_ASSERT(callout_mod.cm_wheel != ((void *)0));
    if (callout_mod.cm_nfree == 0) callout_table_full();
    struct callout *c = callout_mod.cm_free[--callout_mod.cm_nfree];
    callout_arm(c, delay_usec, func, arg);
    return c;
}

// Cancels the handle's timeout if it is still armed for func and arg.
inline void untimeout(callout_fn func, void *arg, struct callout *handle) {
    if (handle == nullptr) return;
    if (handle->c_func == func && handle->c_arg == arg) callout_stop(handle);
}
