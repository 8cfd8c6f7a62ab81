// nmem_pool_alloc + nmem_pool_free against malloc + free of the same size,
// with 1,000 live objects freed and reallocated in random order.  The
// program ends with the ratio of the two, measured in the same run.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "core/logging.h"
#include "core/nmem.h"
#include "ratio_main.h"

namespace {

constexpr int LIVE = 1000;
constexpr uint32_t SIZE = 64;
constexpr size_t ORDER_LEN = 1 << 16;

// The same random sequence of slots for both contenders.
const std::vector<uint16_t> &order() {
    static std::vector<uint16_t> o = [] {
        std::mt19937 rng(12345);
        std::uniform_int_distribution<int> pick(0, LIVE - 1);
        std::vector<uint16_t> v(ORDER_LEN);
        for (auto &x : v)
            x = uint16_t(pick(rng));
        return v;
    }();
    return o;
}

// Each step frees the object in a random slot and allocates its successor,
// writing into it as a user would.
void BM_MallocFree(benchmark::State &state) {
    std::vector<void *> live(LIVE);
    for (auto &p : live)
        p = malloc(SIZE);
    const std::vector<uint16_t> &o = order();
    size_t i = 0;
    for (auto _ : state) {
        uint16_t k = o[i++ & (ORDER_LEN - 1)];
        free(live[k]);
        void *p = malloc(SIZE);
        *static_cast<uint64_t *>(p) = i;
        asm volatile("" : : "r"(p) : "memory");
        live[k] = p;
    }
    for (auto p : live)
        free(p);
    state.SetItemsProcessed(state.iterations());
}

void BM_PoolAllocFree(benchmark::State &state) {
    struct nmem_pool *np = nmem_pool_create("bench", LIVE, SIZE, 0);
    std::vector<void *> live(LIVE);
    for (auto &p : live)
        p = nmem_pool_alloc(np);
    const std::vector<uint16_t> &o = order();
    size_t i = 0;
    for (auto _ : state) {
        uint16_t k = o[i++ & (ORDER_LEN - 1)];
        nmem_pool_free(np, live[k]);
        void *p = nmem_pool_alloc(np);
        *static_cast<uint64_t *>(p) = i;
        asm volatile("" : : "r"(p) : "memory");
        live[k] = p;
    }
    for (auto p : live)
        nmem_pool_free(np, p);
    nmem_pool_destroy(np);
    state.SetItemsProcessed(state.iterations());
}

// A random permutation of the slots.
const std::vector<uint16_t> &perm() {
    static std::vector<uint16_t> o = [] {
        std::vector<uint16_t> v(LIVE);
        for (int i = 0; i < LIVE; i++)
            v[size_t(i)] = uint16_t(i);
        std::shuffle(v.begin(), v.end(), std::mt19937(54321));
        return v;
    }();
    return o;
}

// All 1,000 objects freed in random order, then allocated again: the
// allocator holds many free objects at once, as when a burst of timers or
// flows ends.  Time is per alloc+free pair.
template <class Free, class Alloc>
void batch_loop(benchmark::State &state, std::vector<void *> &live, Free do_free, Alloc do_alloc) {
    const std::vector<uint16_t> &p = perm();
    uint64_t n = 0;
    for (auto _ : state) {
        for (uint16_t k : p)
            do_free(live[k]);
        for (uint16_t k : p) {
            void *q = do_alloc();
            *static_cast<uint64_t *>(q) = ++n;
            asm volatile("" : : "r"(q) : "memory");
            live[k] = q;
        }
    }
    state.SetItemsProcessed(state.iterations() * LIVE);
    state.counters["ns_per_pair"] =
        benchmark::Counter(double(state.iterations()) * LIVE,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_MallocFreeBatch(benchmark::State &state) {
    std::vector<void *> live(LIVE);
    for (auto &p : live)
        p = malloc(SIZE);
    batch_loop(
        state, live, [](void *p) { free(p); }, [] { return malloc(SIZE); });
    for (auto p : live)
        free(p);
}

void BM_PoolAllocFreeBatch(benchmark::State &state) {
    static struct nmem_pool *np = nmem_pool_create("bench", LIVE, SIZE, 0);
    std::vector<void *> live(LIVE);
    for (auto &p : live)
        p = nmem_pool_alloc(np);
    batch_loop(
        state, live, [](void *p) { nmem_pool_free(np, p); }, [] { return nmem_pool_alloc(np); });
    for (auto p : live)
        nmem_pool_free(np, p);
}

// The bookkeeping of the single-object loops above without any allocator:
// what both contenders pay on top of their own work.
void BM_LoopOnly(benchmark::State &state) {
    std::vector<void *> live(LIVE);
    std::vector<uint64_t> objs(LIVE);
    for (int i = 0; i < LIVE; i++)
        live[size_t(i)] = &objs[size_t(i)];
    const std::vector<uint16_t> &o = order();
    size_t i = 0;
    for (auto _ : state) {
        uint16_t k = o[i++ & (ORDER_LEN - 1)];
        void *p = live[k];
        asm volatile("" : "+r"(p) : : "memory");
        *static_cast<uint64_t *>(p) = i;
        asm volatile("" : : "r"(p) : "memory");
        live[k] = p;
    }
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_LoopOnly);
BENCHMARK(BM_MallocFree);
BENCHMARK(BM_PoolAllocFree);
BENCHMARK(BM_MallocFreeBatch);
BENCHMARK(BM_PoolAllocFreeBatch);

}  // namespace

int main(int argc, char **argv) {
    tr_set_echo(0);
    return qb::run_and_report(argc, argv, [](const qb::RatioReporter &rep) {
        auto ratio = [&](const char *what, const char *m_name, const char *p_name, double per) {
            double m = rep.ns(m_name), p = rep.ns(p_name);
            if (m <= 0 || p <= 0) return;
            printf("%s: pool alloc+free %.2f ns, malloc+free %.2f ns: pool %.2f times faster\n",
                   what, p / per, m / per, m / p);
        };
        ratio("free all 1000 in random order, then reallocate", "BM_MallocFreeBatch",
              "BM_PoolAllocFreeBatch", LIVE);
        ratio("free one random object of 1000, reallocate at once", "BM_MallocFree",
              "BM_PoolAllocFree", 1);
        double loop = rep.ns("BM_LoopOnly"), m = rep.ns("BM_MallocFree"),
               p = rep.ns("BM_PoolAllocFree");
        if (loop > 0 && m > 0 && p > loop)
            printf(
                "the same less the loop's own %.2f ns: pool %.2f ns, malloc %.2f ns: %.2f times\n",
                loop, p - loop, m - loop, (m - loop) / (p - loop));
    });
}
