// swi: software interrupt lines and the main poll.
//
// Up to 64 lines, each a handler and its argument.  Raising a line sets its
// bit in the pending mask; main_poll dispatches raised lines lowest first,
// sleeps 10 ms when nothing is pending, advances ticks and runs the callout
// wheel whenever ticks moved.  Registration, raising and dispatch all happen
// on the thread that runs main_poll: the masks are plain words.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr int SWI_NLINES = 64;
inline constexpr uint32_t MAIN_POLL_IDLE_USEC = 10000;

using swi_fn = int (*)(void *);

struct swi_handler {
    swi_fn sh_func;  // a negative result is an error
    void *sh_arg;
    uint64_t *sh_pending;  // where raising sets sh_mask
    uint64_t sh_mask;      // 1 << sh_line; never 0 while registered
    uint64_t sh_line;
};

static_assert(offsetof(struct swi_handler, sh_pending) == 16 &&
                  offsetof(struct swi_handler, sh_line) == 32,
              "function, argument, pending mask pointer, mask, line");

// Takes the lowest free line; a 65th registration stops the process.
struct swi_handler *swi_register(swi_fn func, void *arg);
// Marks the line raised; one dispatch however often it is raised.
inline void swi_raise(struct swi_handler *sh) {
    *sh->sh_pending |= sh->sh_mask;
}
// Frees the line (dropping a raise not yet dispatched) and the record.
void swi_deregister(struct swi_handler *sh);

// Runs the loop until the stop flag is set, a handler fails, or, when
// limit_usec > 0, limit_usec microseconds have passed.
void main_poll(int limit_usec);
// Shut-down function of mainpoll_mod: sets the stop flag, for good.
void main_poll_stop(void *arg);
// The same without logging, safe in a signal handler: main_poll returns
// within one idle sleep.
void main_poll_stop_async(void);
// Number of loop iterations main_poll has begun in this process.
uint64_t main_poll_passes(void);

// Read-only views of the masks, for statistics and tests.
uint64_t swi_active_mask(void);
uint64_t swi_pending_mask(void);
