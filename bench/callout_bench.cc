// Callout arming and stopping against a bare intrusive-list insert and
// unlink, and softclock's cost per elapsed wheel tick.
#include <benchmark/benchmark.h>

#include "core/kern_timeout.h"
#include "core/timestamp.h"
#include "ratio_main.h"

namespace {

void nop(void *) {}

void wheel() {
    static bool built;
    if (!built) {
        softclock_init(nullptr);
        built = true;
    }
}

struct node {
    tailq_entry<node> link;
    int v;
};
using nodeq = tailq<node, &node::link>;

// Every benchmark below works on 64 elements in turn and spreads them over
// 64 list heads (wheel buckets), so that one iteration does not wait for the
// stores of the previous one to the same element: the figures are the cost
// of the operations, not of one chain of store-to-load forwarding.

// The baseline: append an element to a list head and take it off again.
void BM_TailqInsertUnlink(benchmark::State &state) {
    static nodeq heads[64];
    static node nodes[64];
    for (auto &h : heads)
        h.init();
    uint64_t i = 0;
    for (auto _ : state) {
        nodeq &h = heads[(i * 7) & 63];
        node *n = &nodes[i++ & 63];
        asm volatile("" : : "r"(&h), "r"(n) : "memory");
        h.insert_tail(n);
        asm volatile("" : : "r"(n) : "memory");
        h.remove(n);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TailqInsertUnlink);

void BM_CalloutResetStop(benchmark::State &state) {
    wheel();
    static struct callout c[64];
    for (auto &x : c)
        callout_init(&x);
    uint64_t i = 0;
    for (auto _ : state) {
        struct callout *x = &c[i & 63];
        asm volatile("" : : "r"(x) : "memory");
        callout_reset(x, 62500 + static_cast<int>((i++ * 7) & 63) * 1000, nop, nullptr);
        asm volatile("" : : "r"(x) : "memory");
        int r = callout_stop(x);
        asm volatile("" : : "r"(r) : "memory");
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CalloutResetStop);

void BM_TimeoutUntimeout(benchmark::State &state) {
    wheel();
    uint64_t i = 0;
    for (auto _ : state) {
        struct callout *h = timeout(nop, nullptr, 62500 + static_cast<int>((i++ * 7) & 63) * 1000);
        asm volatile("" : : "r"(h) : "memory");
        untimeout(nop, nullptr, h);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TimeoutUntimeout);

struct rearm {
    struct callout c;
    int delay;
};
void rearm_fn(void *arg) {
    auto *r = static_cast<rearm *>(arg);
    callout_reset(&r->c, r->delay, rearm_fn, r);
}

// 64 callouts that re-arm themselves (1 to 64 ms), so that every wheel tick
// has callouts to fire: the cost of one softclock run over one elapsed tick.
void BM_SoftclockPerTick64Armed(benchmark::State &state) {
    wheel();
    static rearm r[64];
    for (int i = 0; i < 64; i++) {
        r[i].delay = (i + 1) * 1000;
        callout_init(&r[i].c);
        callout_reset(&r[i].c, r[i].delay, rearm_fn, &r[i]);
    }
    for (auto _ : state) {
        ticks += 1000;
        softclock();
    }
    state.SetItemsProcessed(state.iterations());
    for (auto &x : r)
        callout_stop(&x.c);
}
BENCHMARK(BM_SoftclockPerTick64Armed);

}  // namespace

int main(int argc, char **argv) {
    return qb::run_with_ratios(argc, argv,
                               {{"BM_CalloutResetStop", "BM_TailqInsertUnlink", 1.5},
                                {"BM_TimeoutUntimeout", "BM_TailqInsertUnlink", 1.5},
                                {"BM_SoftclockPerTick64Armed", "BM_TailqInsertUnlink", 0}});
}
