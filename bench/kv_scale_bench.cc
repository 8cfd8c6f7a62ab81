// Scale run of the statistics engines under the real main poll:
//   1. the idle main poll (the baseline);
//   2. 74,752 metric objects of eight u64 variables (a full "kvm" pool),
//      SMA over 60 samples, all sampled once a second;
//   3. 65,536 rollup objects of eight counters (a full "kvs" pool), 256
//      parents with totals and 65,280 children rolling into them, all
//      ticking once a second.
// Each phase runs SECONDS (default 30) of wall time; the figures are the CPU
// share of one core, the lateness the metrics module reports and the
// resident memory each phase adds (pool objects count once first used).
// Not part of any test run.
//
//   kv_scale_bench [SECONDS]
#include <malloc.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/agent_config.h"
#include "core/kv_metrics.h"
#include "core/kv_stats.h"
#include "core/logging.h"
#include "core/nmem.h"
#include "core/swi.h"
#include "core/sysinit.h"
#include "core/utils_unix.h"

namespace {

constexpr int NVARS = 8;
constexpr int PARENTS = 256;  // kvs objects with totals

struct kv_var vars[NVARS];
struct kv_head head = {"scale", 0, 0, NVARS, {}, 8 * NVARS, nullptr, vars, nullptr, nullptr, {}};

double cpu_seconds() {
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

struct nmem_pool *pool(const char *name) {
    for (struct nmem_pool *np = nmem_pool_first(); np != nullptr; np = nmem_pool_next(np))
        if (strcmp(np->np_name, name) == 0) return np;
    return nullptr;
}
// The pool's reservation, and the part of it objects were handed out from.
double pool_mib(const char *name) {
    return pool(name)->np_total / 1048576.0;
}
double pool_used_mib(const char *name) {
    return (pool(name)->np_total - pool(name)->np_untouched) / 1048576.0;
}

// Bytes the system heap has handed out and not had back.
double heap_bytes() {
    const struct mallinfo2 mi = mallinfo2();
    return double(mi.uordblks + mi.hblkhd);
}

// CPU share of one core over secs of the main poll.
double poll_share(int secs) {
    const double c0 = cpu_seconds();
    main_poll(secs * 1000000);
    return (cpu_seconds() - c0) / secs;
}

}  // namespace

int main(int argc, char **argv) {
    const int secs = argc > 1 ? atoi(argv[1]) : 30;
    char dir[] = "/tmp/kv_scale.XXXXXX";
    if (mkdtemp(dir) == nullptr) return 1;
    static struct agent_config cfg = {};
    cfg.ac_dest = n_strdup("file");
    cfg.ac_confdir = cfg.ac_logdir = cfg.ac_rundir = cfg.ac_homedir = n_strdup(dir);
    agent_cfg = &cfg;
    sysinit_run();
    for (int i = 0; i < NVARS; i++) {
        snprintf(vars[i].kv_name, sizeof(vars[i].kv_name), "v%d", i);
        vars[i].kv_type = KV_T_U64;
        vars[i].kv_size = 8;
        vars[i].kv_offset = uint16_t(8 * i);
    }
    // The owners' data blocks and lists, resident before the first figure.
    std::vector<uint64_t> blocks(size_t(KVM_POOL_SIZE) * NVARS);
    std::vector<struct kvm *> kvms;
    kvms.reserve(KVM_POOL_SIZE);
    std::vector<uint64_t> data(size_t(KVS_POOL_SIZE) * NVARS), total(size_t(PARENTS) * NVARS);
    std::vector<struct kvs *> kvss;
    kvss.reserve(KVS_POOL_SIZE);
    const int64_t rss_start = utils_rss_kb();
    printf("pools reserved: kvm %.1f MiB, kvs %.1f MiB; resident at start %.1f MiB\n",
           pool_mib("kvm"), pool_mib("kvs"), rss_start / 1024.0);

    const double idle = poll_share(secs);
    printf("idle main poll: %.3f%% of a core\n", idle * 100);

    const double heap0 = heap_bytes();
    for (int i = 0; i < KVM_POOL_SIZE; i++) {
        struct kvm *k = kvm_create(&head, KVM_T_SMA, KVM_PERIODIC | KVM_KEEP, 1, 0);
        if (k == nullptr) break;
        uint64_t *cur = &blocks[size_t(i) * NVARS];
        for (int v = 0; v < NVARS; v++)
            cur[v] = uint64_t(i) * 31 + uint64_t(v) * 1000;
        k->kvm_cur = cur;
        kvms.push_back(k);
    }
    const int64_t rss_kvm = utils_rss_kb();
    const double heap_per_kvm = (heap_bytes() - heap0) / double(kvms.size());
    const uint64_t sampled0 = kvm_stats.ks_sampled;
    const double kvm_share = poll_share(secs);
    printf("%zu kvm objects x %d u64, SMA 60, once a second: %.3f%% of a core (%.3f%% above idle); "
           "%.0f expiries/s; lateness: delta %u us, last_delta %u us; resident +%.1f MiB, of "
           "which the pool objects %.1f MiB; heap %.0f bytes per object\n",
           kvms.size(), NVARS, kvm_share * 100, (kvm_share - idle) * 100,
           double(kvm_stats.ks_sampled - sampled0) / secs, kvm_stats.ks_delta,
           kvm_stats.ks_last_delta, (rss_kvm - rss_start) / 1024.0, pool_used_mib("kvm"),
           heap_per_kvm);
    for (struct kvm *k : kvms)
        kvm_destroy(k);
    const int64_t rss_kvm_end = utils_rss_kb();

    for (int i = 0; i < KVS_POOL_SIZE; i++) {
        const bool parent = i < PARENTS;
        struct kvs *s = kvs_create(&head, KVS_RESET | (parent ? 0 : KVS_PARENT), 1, 0);
        if (s == nullptr) break;
        s->kvs_data = &data[size_t(i) * NVARS];
        if (parent)
            s->kvs_total = &total[size_t(i) * NVARS];
        else
            s->kvs_pkvs = kvss[size_t(i % PARENTS)];
        kvss.push_back(s);
    }
    const int64_t rss_kvs = utils_rss_kb();
    const double kvs_share = poll_share(secs);
    printf("%zu kvs objects x %d counters (%d parents with totals), once a second: %.3f%% of a "
           "core (%.3f%% above idle); resident +%.1f MiB over the kvm phase's end, of which the "
           "pool objects %.1f MiB\n",
           kvss.size(), NVARS, PARENTS, kvs_share * 100, (kvs_share - idle) * 100,
           (rss_kvs - rss_kvm_end) / 1024.0, pool_used_mib("kvs"));
    for (struct kvs *s : kvss)
        kvs_destroy(s);
    sysfini_run();
    std::string rm = std::string("rm -rf ") + dir;
    return system(rm.c_str()) == 0 ? 0 : 1;
}
