// kern_timeout: the callout wheel.
//
// Module state below belongs to the main poll thread.  softclock keeps the
// callout its walk will visit next in callout_next, so that a callback may
// stop that very callout: callout_stop moves the cursor past it.
#include "core/kern_timeout.h"

#include "core/logging.h"
#include "core/nassert.h"
#include "core/nmem.h"
#include "core/sysinit.h"
#include "core/timestamp.h"

static callout_list *callwheel;    // CALLWHEEL_SIZE buckets
static struct callout *callouts;   // the timeout table
static callout_list callout_free;  // free timeout entries, LIFO
static int callout_nfree;
static uint64_t softclock_ticks;      // last processed wheel tick (as u32)
static uint64_t softclock_lastrun;    // ticks when softclock last worked
static struct callout *callout_next;  // next callout of the walk, or null

static_assert((CALLWHEEL_SIZE & (CALLWHEEL_SIZE - 1)) == 0, "bucket index is a mask");
static constexpr uint32_t CALLWHEEL_MASK = CALLWHEEL_SIZE - 1;

static inline callout_list &callout_bucket(uint32_t t) {
    return callwheel[t & CALLWHEEL_MASK];
}

static inline void callout_free_push(struct callout *c) {
    callout_free.insert_head(c);
    callout_nfree++;
}

void softclock_init(void *) {
    callout_free.init();
    callout_nfree = 0;
    callwheel =
        static_cast<callout_list *>(nmem_alloc(sizeof(callout_list) * CALLWHEEL_SIZE, NMEM_ZERO));
    if (callwheel == nullptr) {
        tr_log(1, TR_ERROR, "[panic]: softclock_init: callwheel allocation failure");
        N_ASSERT(callwheel != ((void *)0));
    }
    for (int i = 0; i < CALLWHEEL_SIZE; i++)
        callwheel[i].init();

    callouts = static_cast<struct callout *>(nmem_alloc(sizeof(struct callout) * NCALLOUT, 0));
    if (callouts == nullptr) {
        tr_log(1, TR_ERROR, "[panic]: softclock_init: callouts allocation failure");
        N_ASSERT(callouts != ((void *)0));
    }
    for (int i = 0; i < NCALLOUT; i++) {
        callouts[i] = {};
        callouts[i].c_flags = CALLOUT_LOCAL;
        callout_free_push(&callouts[i]);
    }
    callout_next = nullptr;
    softclock_lastrun = ticks;
    softclock_ticks = ticks / CALLOUT_TICK_USEC;
}
SYSINIT(softclock_mod, "softclock_mod", SI_SUB_CLOCKS, SI_ORDER_FIRST, softclock_init, nullptr);

int callout_free_count(void) {
    return callout_nfree;
}

// Takes a pending callout off its bucket, keeping the walk's cursor valid.
static inline void callout_unlink(struct callout *c) {
    if (callout_next == c) callout_next = callout_list::next(c);
    callout_bucket(c->c_time).remove(c);
    c->c_func = nullptr;
}

// Puts c on the wheel for (ticks + delay) / 1000.
static inline void callout_arm(struct callout *c, int delay, callout_fn func, void *arg) {
    if (delay <= 0) delay = static_cast<int>(CALLOUT_TICK_USEC);
    c->c_arg = arg;
    c->c_func = func;
    c->c_flags |= CALLOUT_ACTIVE | CALLOUT_PENDING;
    uint32_t t = static_cast<uint32_t>((ticks + static_cast<uint64_t>(delay)) / CALLOUT_TICK_USEC);
    // A target at or before the last processed tick would only come round
    // again after 2^32 ticks; such a callout (a delay below one tick, or
    // ticks ahead of a softclock that has not caught up) fires at the next
    // wheel tick instead.
    uint32_t done = static_cast<uint32_t>(softclock_ticks);
    if (static_cast<int32_t>(t - done) <= 0) t = done + 1;
    c->c_time = t;
    callout_bucket(t).insert_tail(c);
}

void callout_handle_init(callout_handle *handle) {
    *handle = nullptr;
}

void callout_init(struct callout *c) {
    *c = {};
}

void callout_reset(struct callout *c, int delay_usec, callout_fn func, void *arg) {
    N_ASSERT(callwheel != ((void *)0));
    if (c->c_flags & CALLOUT_PENDING) {
        // Re-arming a pending timeout entry moves it on the wheel; it must
        // not pass through the free list, where timeout could take it too.
        callout_unlink(c);
    } else {
        // A table entry that is not pending is on the free list: arming it
        // here (through a stale handle) would put it on two lists at once.
        N_ASSERT(!(c->c_flags & CALLOUT_LOCAL), "callout_reset: timeout entry is free");
    }
    callout_arm(c, delay_usec, func, arg);
}

int callout_stop(struct callout *c) {
    if (!(c->c_flags & CALLOUT_PENDING)) {
        c->c_flags &= ~CALLOUT_ACTIVE;
        return 0;
    }
    c->c_flags &= ~(CALLOUT_ACTIVE | CALLOUT_PENDING);
    callout_unlink(c);
    if (c->c_flags & CALLOUT_LOCAL) callout_free_push(c);
    return 1;
}

struct callout *timeout(callout_fn func, void *arg, int delay_usec) {
    N_ASSERT(callwheel != ((void *)0));
    struct callout *c = callout_free.first();
    if (c == nullptr) {
        tr_log(1, TR_ERROR, "[panic]: timeout: timeout table full");
        N_ASSERT(c != ((void *)0));
    }
    callout_free.remove(c);
    callout_nfree--;
    callout_arm(c, delay_usec, func, arg);
    return c;
}

void untimeout(callout_fn func, void *arg, struct callout *handle) {
    if (handle == nullptr) return;
    if (handle->c_func == func && handle->c_arg == arg) callout_stop(handle);
}

void softclock(void) {
    // Not started: nothing can be armed.
    if (callwheel == nullptr) return;
    uint64_t now = ticks;
    if (now - softclock_lastrun <= CALLOUT_TICK_USEC - 1) return;
    softclock_lastrun = now;
    const uint32_t curticks = static_cast<uint32_t>(now / CALLOUT_TICK_USEC);

    uint32_t t = static_cast<uint32_t>(softclock_ticks);
    while (t != curticks) {
        t++;
        // Published before the callbacks run, so that a callout they arm
        // is placed relative to the tick being processed.
        softclock_ticks = t;
        callout_list &b = callout_bucket(t);
        struct callout *c = b.first();
        while (c != nullptr) {
            struct callout *n = callout_list::next(c);
            if (c->c_time != t) {
                c = n;
                continue;
            }
            callout_next = n;
            b.remove(c);
            callout_fn func = c->c_func;
            void *arg = c->c_arg;
            c->c_func = nullptr;
            if (c->c_flags & CALLOUT_LOCAL) {
                // Free before its callback runs, so that the callback can
                // take the same entry again through timeout.
                c->c_flags = CALLOUT_LOCAL;
                callout_free_push(c);
            } else {
                c->c_flags &= ~CALLOUT_PENDING;
            }
            func(arg);
            c = callout_next;
        }
    }
    softclock_ticks = curticks;
    callout_next = nullptr;
}
