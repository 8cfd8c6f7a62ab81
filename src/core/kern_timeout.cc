// kern_timeout: the callout wheel.
//
// Module state below belongs to the main poll thread.  softclock keeps the
// callout its walk will visit next in cm_next, so that a callback may
// stop that very callout: callout_stop moves the cursor past it.
#include "core/kern_timeout.h"

#include "core/logging.h"
#include "core/nassert.h"
#include "core/nmem.h"
#include "core/sysinit.h"
#include "core/timestamp.h"

struct callout_module callout_mod;

static_assert((CALLWHEEL_SIZE & (CALLWHEEL_SIZE - 1)) == 0, "bucket index is a mask");

void softclock_init(void *) {
    struct callout_module &m = callout_mod;
    m.cm_nfree = 0;
    m.cm_wheel =
        static_cast<callout_list *>(nmem_alloc(sizeof(callout_list) * CALLWHEEL_SIZE, NMEM_ZERO));
    if (m.cm_wheel == nullptr) {
        tr_log(1, TR_ERROR, "[panic]: softclock_init: callwheel allocation failure");
        N_ASSERT(m.cm_wheel != ((void *)0), "callwheel != ((void *)0)");
    }
    for (int i = 0; i < CALLWHEEL_SIZE; i++)
        m.cm_wheel[i].init();

    m.cm_table = static_cast<struct callout *>(nmem_alloc(sizeof(struct callout) * NCALLOUT, 0));
    if (m.cm_table == nullptr) {
        tr_log(1, TR_ERROR, "[panic]: softclock_init: callouts allocation failure");
        N_ASSERT(m.cm_table != ((void *)0), "callouts != ((void *)0)");
    }
    for (int i = 0; i < NCALLOUT; i++) {
        m.cm_table[i] = {};
        m.cm_table[i].c_flags = CALLOUT_LOCAL;
        callout_free_push(&m.cm_table[i]);
    }
    m.cm_next = nullptr;
    m.cm_lastrun = ticks;
    m.cm_processed = ticks / CALLOUT_TICK_USEC;
}
SYSINIT(softclock_mod, "softclock_mod", SI_SUB_CLOCKS, SI_ORDER_FIRST, softclock_init, nullptr);

void callout_table_full(void) {
    tr_log(1, TR_ERROR, "[panic]: timeout: timeout table full");
    // The stop names timeout, whose inline body found the table empty.
    n_assert_fail("c != ((void *)0)", __FILE__, __LINE__, "timeout");
}

void softclock(void) {
    // Not started: nothing can be armed.
    struct callout_module &m = callout_mod;
    if (m.cm_wheel == nullptr) return;
    uint64_t now = ticks;
    if (now - m.cm_lastrun <= CALLOUT_TICK_USEC - 1) return;
    m.cm_lastrun = now;
    const uint32_t curticks = static_cast<uint32_t>(now / CALLOUT_TICK_USEC);

    uint32_t t = static_cast<uint32_t>(m.cm_processed);
    while (t != curticks) {
        t++;
        // Published before the callbacks run, so that a callout they arm
        // is placed relative to the tick being processed.
        m.cm_processed = t;
        callout_list &b = callout_bucket(t);
        struct callout *c = b.first();
        while (c != nullptr) {
            struct callout *n = callout_list::next(c);
            if (c->c_time != t) {
                c = n;
                continue;
            }
            m.cm_next = n;
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
            c = m.cm_next;
        }
    }
    m.cm_processed = curticks;
    m.cm_next = nullptr;
}
