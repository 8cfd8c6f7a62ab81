// Timer-wheel scheduling and unscheduling against a bare bucket insert and
// unlink that computes the bucket the same way, and, where the library is
// installed, against a general-purpose event library's timer add and delete.
#include <benchmark/benchmark.h>

#include "core/ftimer.h"
#include "core/timestamp.h"
#include "ratio_main.h"

#ifdef QORV_HAVE_LIBEVENT
#include <event2/event.h>
#endif

namespace {

void nop(uint64_t, uint32_t) {}

// As elsewhere in bench/, 64 elements in turn over several buckets, so that
// one iteration does not wait for the previous one's stores.
constexpr int N = 64;

int delay(uint64_t i) {
    return 62500 + static_cast<int>((i * 7) & 63) * 62500;
}

// The baseline: the same bucket arithmetic (a 64-bit division by the
// bucket width) and a head insert and unlink through the previous link.
struct bare {
    bare *next;
    bare **prev;
};
void BM_BareBucketInsertUnlink(benchmark::State &state) {
    static bare *heads[2048];
    static bare nodes[N];
    volatile uint32_t tick = 62500, mask = 2047;
    uint64_t i = 0;
    for (auto _ : state) {
        bare *n = &nodes[i & (N - 1)];
        const uint64_t t = ticks + uint64_t(delay(i++));
        bare **h = &heads[(uint32_t(t / tick) + 1) & mask];
        asm volatile("" : : "r"(h), "r"(n) : "memory");
        n->next = *h;
        if (*h != nullptr) (*h)->prev = &n->next;
        *h = n;
        n->prev = h;
        asm volatile("" : : "r"(n) : "memory");
        if (n->next != nullptr) n->next->prev = n->prev;
        *n->prev = n->next;
        n->next = nullptr;
        n->prev = nullptr;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BareBucketInsertUnlink);

void BM_FtimerSchedUnsched(benchmark::State &state) {
    static struct ftimer_wheel *w = ftimer_create(nop, 2048, 62500);
    static struct ftimer_entry e[N];
    uint64_t i = 0;
    for (auto _ : state) {
        struct ftimer_entry *x = &e[i & (N - 1)];
        asm volatile("" : : "r"(x) : "memory");
        ftimer_sched(w, x, delay(i++));
        asm volatile("" : : "r"(x) : "memory");
        ftimer_unsched(w, x);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FtimerSchedUnsched);

#ifdef QORV_HAVE_LIBEVENT
void BM_LibeventAddDel(benchmark::State &state) {
    static struct event_base *base = event_base_new();
    static struct event *ev[N];
    for (auto &x : ev)
        if (x == nullptr) x = evtimer_new(base, [](evutil_socket_t, short, void *) {}, nullptr);
    uint64_t i = 0;
    for (auto _ : state) {
        const int d = delay(i);
        struct timeval tv = {d / 1000000, d % 1000000};
        struct event *x = ev[i++ & (N - 1)];
        evtimer_add(x, &tv);
        evtimer_del(x);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LibeventAddDel);
#endif

}  // namespace

int main(int argc, char **argv) {
    ticks = 1000000;
    return qb::run_with_ratios(argc, argv,
                               {{"BM_FtimerSchedUnsched", "BM_BareBucketInsertUnlink", 2.5},
                                {"BM_FtimerSchedUnsched", "BM_LibeventAddDel", 1.0}});
}
