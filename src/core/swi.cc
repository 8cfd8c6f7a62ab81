// swi: software interrupt lines and the main poll.
//
// All state belongs to the main poll thread; nothing here is locked.
#include "core/swi.h"

#include <signal.h>

#include "core/kern_timeout.h"
#include "core/logging.h"
#include "core/nassert.h"
#include "core/ncounter.h"
#include "core/nmem.h"
#include "core/privilege.h"
#include "core/sysinit.h"
#include "core/timestamp.h"
#include "core/utils_unix.h"

// Written by main_poll_stop and, from signal handlers, main_poll_stop_async:
// a lock-free atomic word, read once per loop step.
static volatile sig_atomic_t main_poll_stopped;
static uint64_t main_poll_npasses;
static struct swi_handler *swi_table[SWI_NLINES];
static uint64_t swi_active;
static uint64_t swi_pending;
// Lines deregistered since the current dispatch pass began.
static uint64_t swi_gone;

uint64_t swi_active_mask(void) {
    return swi_active;
}
uint64_t swi_pending_mask(void) {
    return swi_pending;
}

struct swi_handler *swi_register(swi_fn func, void *arg) {
    int intr;
    for (intr = 0; intr < SWI_NLINES; intr++)
        if (!(swi_active & (uint64_t{1} << intr))) break;
    N_ASSERT(intr < 64);

    auto *sh = static_cast<struct swi_handler *>(nmem_alloc(sizeof(struct swi_handler), 0));
    N_ASSERT(sh != ((void *)0));
    sh->sh_func = func;
    sh->sh_arg = arg;
    sh->sh_pending = &swi_pending;
    sh->sh_mask = uint64_t{1} << intr;
    sh->sh_line = static_cast<uint64_t>(intr);

    swi_active |= sh->sh_mask;
    swi_table[intr] = sh;
    return sh;
}

void swi_deregister(struct swi_handler *sh) {
    N_ASSERT(sh->sh_mask != 0);
    N_ASSERT(swi_active & sh->sh_mask, "swip->swi_active & sh->sh_mask");
    swi_pending &= ~sh->sh_mask;
    swi_active &= ~sh->sh_mask;
    swi_gone |= sh->sh_mask;
    swi_table[sh->sh_line] = nullptr;
    nmem_free(sh);
}

void main_poll_stop(void *) {
    tr_log(1, TR_INFO, "Stopping main poll");
    main_poll_stopped = 1;
}

void main_poll_stop_async(void) {
    main_poll_stopped = 1;
}

uint64_t main_poll_passes(void) {
    return n_counter_get(main_poll_npasses);
}
SYSUNINIT(mainpoll_mod, "mainpoll_mod", SI_SUB_CLOCKS, SI_ORDER_ANY, main_poll_stop, nullptr);

void main_poll(int limit_usec) {
    privilege_drop();
    const bool has_deadline = limit_usec > 0;
    const uint64_t deadline =
        has_deadline ? timestamp_now_usec() + static_cast<uint64_t>(limit_usec) : 0;

    for (;;) {
        if (main_poll_stopped == 1) break;
        n_counter_inc(main_poll_npasses);
        uint64_t s = swi_pending;
        const uint64_t t0 = ticks;
        if (s != 0) {
            swi_gone = 0;
            while (s != 0 && main_poll_stopped != 1) {
                const int n = __builtin_ctzll(s);
                const uint64_t bit = uint64_t{1} << n;
                s &= ~bit;
                struct swi_handler *h = swi_table[n];
                // A line deregistered by an earlier handler of this pass is
                // skipped, also when a new handler has taken it since: the
                // snapshot's raise went with the old one, and a raise of the
                // new one waits for the next pass like any raise made
                // during a pass.
                if (h == nullptr || (swi_gone & bit) || !(swi_pending & bit)) continue;
                swi_pending &= ~h->sh_mask;
                if (h->sh_func(h->sh_arg) < 0) {
                    tr_log(1, TR_ERROR, "main_poll: swi handler error");
                    tr_log(1, TR_DEBUG, "main_poll: exiting loop");
                    return;
                }
            }
        } else {
            utils_usleep(MAIN_POLL_IDLE_USEC);
        }
        if (ticks == t0) tick_update();
        if (ticks != t0) softclock();
        if (has_deadline && timestamp_now_usec() >= deadline) break;
    }
    tr_log(1, TR_DEBUG, "main_poll: exiting loop");
}
