// Events: event_add + event_dispatch of one released event per main-poll
// pass (the pass played as the main poll plays it: pending bit, handler),
// per event, against a bare intrusive-list append and pop, and against the
// same with the event's allocation and free, which a released event costs.
#include <benchmark/benchmark.h>

#include "core/event.h"
#include "core/logging.h"
#include "core/nmem.h"
#include "core/queue.h"
#include "core/swi.h"
#include "ratio_main.h"

namespace {

uint64_t handled;
void count(struct event_queue *, struct event *) {
    handled++;
}

void BM_EventAddDispatch(benchmark::State &state) {
    static struct event_queue q = {0, nullptr, count, nullptr, nullptr, {}};
    static bool registered;
    if (!registered) register_event_queue(&q);
    registered = true;
    static int payload;
    for (auto _ : state) {
        auto *ev = static_cast<struct event *>(nmem_alloc(sizeof(struct event), 0));
        ev->e_flags = EV_F_RELEASE_B;
        ev->e_arg = &payload;
        event_add(&q, ev);
        struct swi_handler *sh = q.eq_swi;
        if (*sh->sh_pending & sh->sh_mask) {
            *sh->sh_pending &= ~sh->sh_mask;
            sh->sh_func(sh->sh_arg);
        }
    }
    benchmark::DoNotOptimize(handled);
    state.SetItemsProcessed(state.iterations());
}

struct node {
    uint64_t v;
    tailq_entry<node> link;
};
using node_list = tailq<node, &node::link>;

void BM_ListAppendPop(benchmark::State &state) {
    node_list l;
    l.init();
    static node n;
    for (auto _ : state) {
        l.insert_tail(&n);
        asm volatile("" : : "r"(&l) : "memory");
        node *f = l.first();
        l.remove(f);
        f->v++;
    }
    benchmark::DoNotOptimize(n.v);
    state.SetItemsProcessed(state.iterations());
}

void BM_ListAllocAppendPopFree(benchmark::State &state) {
    node_list l;
    l.init();
    for (auto _ : state) {
        auto *n = static_cast<node *>(nmem_alloc(sizeof(node), 0));
        l.insert_tail(n);
        asm volatile("" : : "r"(&l) : "memory");
        node *f = l.first();
        l.remove(f);
        f->v = 1;
        nmem_free(f);
    }
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_EventAddDispatch);
BENCHMARK(BM_ListAppendPop);
BENCHMARK(BM_ListAllocAppendPopFree);

}  // namespace

int main(int argc, char **argv) {
    tr_set_echo(0);
    return qb::run_with_ratios(argc, argv,
                               {{"BM_EventAddDispatch", "BM_ListAppendPop", 0},
                                {"BM_EventAddDispatch", "BM_ListAllocAppendPopFree", 0}});
}
