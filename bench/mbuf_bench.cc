// Packet buffers: m_get + m_free against nmem_pool_alloc + nmem_pool_free
// of a pool of the same size and flags; at most 1.2 times as long.
//
// Two baselines: the pool through a local pointer, which the compiler keeps
// in a register for the whole loop, and the pool through a process-wide
// pointer, as a module holds its pool (and as the mbuf module does), which
// every call loads again after the allocation's zeroing.
#include <benchmark/benchmark.h>

#include "core/logging.h"
#include "core/mbuf.h"
#include "core/nmem.h"
#include "ratio_main.h"

namespace {

void BM_MGetFree(benchmark::State &state) {
    if (mbuf_pool_get() == nullptr) mbuf_mod_init(nullptr);
    for (auto _ : state) {
        struct mbuf *m = m_get();
        m->m_data = reinterpret_cast<uint8_t *>(m);
        asm volatile("" : : "r"(m) : "memory");
        m_free(m);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_PoolAllocFree(benchmark::State &state) {
    struct nmem_pool *np =
        nmem_pool_create("bench", MBUF_POOL_COUNT, sizeof(struct mbuf), NMEM_ZERO);
    for (auto _ : state) {
        auto *m = static_cast<struct mbuf *>(nmem_pool_alloc(np));
        m->m_data = reinterpret_cast<uint8_t *>(m);
        asm volatile("" : : "r"(m) : "memory");
        nmem_pool_free(np, m);
    }
    nmem_pool_destroy(np);
    state.SetItemsProcessed(state.iterations());
}

struct nmem_pool *bench_pool;

void BM_PoolAllocFreeGlobal(benchmark::State &state) {
    bench_pool = nmem_pool_create("bench", MBUF_POOL_COUNT, sizeof(struct mbuf), NMEM_ZERO);
    for (auto _ : state) {
        auto *m = static_cast<struct mbuf *>(nmem_pool_alloc(bench_pool));
        m->m_data = reinterpret_cast<uint8_t *>(m);
        asm volatile("" : : "r"(m) : "memory");
        nmem_pool_free(bench_pool, m);
    }
    nmem_pool_destroy(bench_pool);
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_MGetFree);
BENCHMARK(BM_PoolAllocFree);
BENCHMARK(BM_PoolAllocFreeGlobal);

}  // namespace

int main(int argc, char **argv) {
    tr_set_echo(0);
    return qb::run_with_ratios(
        argc, argv,
        {{"BM_MGetFree", "BM_PoolAllocFree", 1.2}, {"BM_MGetFree", "BM_PoolAllocFreeGlobal", 1.2}});
}
