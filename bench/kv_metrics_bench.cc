// One variable sample of a metric object (kvm_update_ma over eight u64
// variables, a 60-sample window, SMA and EMA) against the bare arithmetic
// of such a window: running sum, sum of squares and a square root.
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

#include "core/kern_timeout.h"
#include "core/kv_metrics.h"
#include "core/timestamp.h"
#include "ratio_main.h"

namespace {

constexpr int NVARS = 8;
constexpr size_t NVALUES = 4096;  // a power of two

struct kv_var vars[NVARS];
struct kv_head head = {"bench", 0, 0, NVARS, {}, 8 * NVARS, nullptr, vars, nullptr, nullptr, {}};

const std::vector<uint64_t> &values() {
    static std::vector<uint64_t> v = [] {
        std::mt19937_64 rng(3);
        std::vector<uint64_t> out(NVALUES + NVARS);
        for (auto &x : out)
            x = 1000000 + rng() % 100000;  // a busy link's bytes per second
        return out;
    }();
    return v;
}

void setup() {
    static bool once = [] {
        ticks = 1000000;
        softclock_init(nullptr);
        kv_mod_init(nullptr);
        kv_metrics_mod_init(nullptr);
        for (int i = 0; i < NVARS; i++) {
            snprintf(vars[i].kv_name, sizeof(vars[i].kv_name), "v%d", i);
            vars[i].kv_type = KV_T_U64;
            vars[i].kv_size = 8;
            vars[i].kv_offset = uint16_t(8 * i);
        }
        return true;
    }();
    (void)once;
}

// Per variable: the whole update of an object divided by its variables.
void update(benchmark::State &state, uint8_t type, uint8_t flags) {
    setup();
    uint64_t cur[NVARS];
    struct kvm *k = kvm_create(&head, type, KVM_KEEP | flags, 1, 0);
    k->kvm_cur = cur;
    const uint64_t arg = reinterpret_cast<uintptr_t>(k);
    const std::vector<uint64_t> &v = values();
    size_t i = 0;
    for (auto _ : state) {
        memcpy(cur, &v[i++ & (NVALUES - 1)], sizeof(cur));
        k->kvm_flags |= KVM_PENDING;  // one pending update, no timer
        kvm_update_ma(arg, 0);
    }
    state.SetItemsProcessed(state.iterations() * NVARS);
    kvm_destroy(k);
}
void BM_KvmUpdateSma(benchmark::State &state) {
    update(state, KVM_T_SMA, 0);
}
void BM_KvmUpdateEma(benchmark::State &state) {
    update(state, KVM_T_EMA, 0);
}
// With the export records written (value, minimum, maximum rounded).
void BM_KvmUpdateSmaRecords(benchmark::State &state) {
    update(state, KVM_T_SMA, KVM_EXPORT);
}
BENCHMARK(BM_KvmUpdateSma);
BENCHMARK(BM_KvmUpdateEma);
BENCHMARK(BM_KvmUpdateSmaRecords);

// The baseline, per variable: one 60-slot ring with running sum and sum
// of squares, the mean, the variance and its square root.
void BM_BareWindow(benchmark::State &state) {
    struct ring {
        double w[60], sum, sumsq, sdev;
        unsigned pos;
    };
    static ring r[NVARS];
    const std::vector<uint64_t> &v = values();
    size_t i = 0;
    for (auto _ : state) {
        const uint64_t *x = &v[i++ & (NVALUES - 1)];
        for (int j = 0; j < NVARS; j++) {
            ring &g = r[j];
            const double s = double(x[j]), old = g.w[g.pos];
            g.sum += s - old;
            g.sumsq += s * s - old * old;
            g.w[g.pos] = s;
            g.pos = g.pos + 1 == 60 ? 0 : g.pos + 1;
            const double mean = g.sum / 60;
            g.sdev = std::sqrt(std::fabs(g.sumsq / 60 - mean * mean));
        }
        benchmark::DoNotOptimize(r);
    }
    state.SetItemsProcessed(state.iterations() * NVARS);
}
BENCHMARK(BM_BareWindow);

}  // namespace

int main(int argc, char **argv) {
    return qb::run_and_report(argc, argv, [](const qb::RatioReporter &rep) {
        const double base = rep.ns("BM_BareWindow") / NVARS;
        for (const char *b : {"BM_KvmUpdateSma", "BM_KvmUpdateEma", "BM_KvmUpdateSmaRecords"}) {
            const double ns = rep.ns(b) / NVARS;
            if (ns == 0) continue;
            printf("%s: %.1f ns per variable sample (limit 20: %s), %.1fx the bare window "
                   "(%.1f ns)\n",
                   b, ns, ns > 20 ? "over" : "within", ns / base, base);
        }
    });
}
