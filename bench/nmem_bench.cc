// nmem_alloc + nmem_free against malloc + free of the same sizes.
#include <benchmark/benchmark.h>

#include <cstdlib>

#include "core/nmem.h"

namespace {

void BM_NmemAllocFree(benchmark::State &state) {
    auto size = static_cast<uint32_t>(state.range(0));
    for (auto _ : state) {
        void *p = nmem_alloc(size, 0);
        asm volatile("" : : "r"(p) : "memory");
        nmem_free(p);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_MallocFree(benchmark::State &state) {
    auto size = static_cast<size_t>(state.range(0));
    for (auto _ : state) {
        void *p = malloc(size);
        asm volatile("" : : "r"(p) : "memory");
        free(p);
    }
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_MallocFree)->Arg(16)->Arg(64)->Arg(256)->Arg(1024);
BENCHMARK(BM_NmemAllocFree)->Arg(16)->Arg(64)->Arg(256)->Arg(1024);

}  // namespace

BENCHMARK_MAIN();
