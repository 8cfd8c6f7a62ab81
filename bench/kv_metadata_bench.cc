// Metadata store: the update cycle over 100,000 flow groups, producer
// latency with and without a consumer walking the export side, the
// connection cache on a full LRU, and the agent's read of the host's
// sockets (this machine's, and 10,000 synthetic ones).
#include <benchmark/benchmark.h>
#include <ftw.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "../src/agent/agent_diag.cc"
#include "../src/agent/agent_sockets.cc"
#include "core/kv_metadata_internal.h"
#include "ratio_main.h"

namespace {

struct kv_var bvars[] = {{"a", KV_T_U64, 0, 8, 0, 0, 0}, {"b", KV_T_U64, 0, 8, 0, 0, 8}};
struct kv_head bhead = {"bench", 0, 0, 2, {}, 0, nullptr, bvars, nullptr, nullptr, {}};
struct agent_config bcfg;

void store() {
    static bool started = [] {
        ticks = 1000000;
        softclock_init(nullptr);
        bcfg.ac_md_update_interval = 1;
        bcfg.ac_flow_dpi_md = 1;
        agent_cfg = &bcfg;
        kv_metadata_mod_init(nullptr);
        return true;
    }();
    (void)started;
}

void run_cycle() {
    n_counter_set(ticks, std::max(ticks, kvmd_store.next_update_time));
    kv_metadata_store_update();
}

std::vector<struct kv_metadata *> create(int n, uint32_t base) {
    std::vector<struct kv_metadata *> v;
    v.reserve(size_t(n));
    for (int i = 0; i < n; i++) {
        struct kv_flow_key k = {};
        k.fk_src = base + uint32_t(i);
        k.fk_appid = uint32_t(i % 50);  // 49 in 50 with an application
        k.fk_pid = uint32_t(i % 7);
        v.push_back(kv_metadata_create(&k, KVMD_T_FLOWGROUP, &bhead));
    }
    return v;
}

// Baseline of the cycle: moving 50,000 elements from one list to the head
// of another, which is the least the cycle must do for the new half.
struct node {
    tailq_entry<node> link;
    char pad[120];
};
void BM_TailqMove50k(benchmark::State &state) {
    static std::vector<node> nodes(50000);
    tailq<node, &node::link> q[2];
    q[0].init();
    q[1].init();
    for (auto &n : nodes)
        q[0].insert_tail(&n);
    int from = 0;
    for (auto _ : state) {
        while (node *n = q[from].first()) {
            q[from].remove(n);
            q[1 - from].insert_head(n);
        }
        from = 1 - from;
        benchmark::DoNotOptimize(q[from].first());
    }
    state.SetItemsProcessed(state.iterations() * 100000);
}
BENCHMARK(BM_TailqMove50k)->Unit(benchmark::kMillisecond);

// One cycle with 100,000 flow groups, 50,000 of them new in the interval.
void BM_UpdateCycle100k(benchmark::State &state) {
    store();
    std::vector<struct kv_metadata *> old = create(50000, 0);
    run_cycle();
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<struct kv_metadata *> fresh = create(50000, 1000000);
        state.ResumeTiming();
        run_cycle();
        state.PauseTiming();
        for (struct kv_metadata *fg : fresh)
            kv_metadata_flowgroup_destroy(fg);
        run_cycle();  // frees the deferred copies
        state.ResumeTiming();
    }
    for (struct kv_metadata *fg : old)
        kv_metadata_flowgroup_destroy(fg);
    run_cycle();
    run_cycle();
    state.SetItemsProcessed(state.iterations() * 100000);
}
BENCHMARK(BM_UpdateCycle100k)->Unit(benchmark::kMillisecond);

uint64_t now_ns() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000000 + uint64_t(ts.tv_nsec);
}

// Producer: values for one of 10,000 flow groups per call, each call timed;
// arg 1 adds a consumer thread that holds the export side and walks it.
void BM_ProducerLatency(benchmark::State &state) {
    store();
    std::vector<struct kv_metadata *> fgs = create(10000, 5000000);
    run_cycle();
    std::atomic<bool> stop{false};
    std::thread consumer;
    if (state.range(0) == 1)
        consumer = std::thread([&] {
            uint64_t sum = 0;
            while (!stop.load(std::memory_order_relaxed)) {
                kv_metadata_export_api_lock_list_head();
                for (struct kv_metadata *c : *kvmd.exported)
                    sum += kv_metadata_values(c)[0].kr_value.u64;
                kv_metadata_export_api_unlock_list_head();
            }
            benchmark::DoNotOptimize(sum);
        });
    std::vector<uint32_t> lat;
    lat.reserve(1 << 20);
    struct kv_record r[2] = {};
    size_t i = 0;
    for (auto _ : state) {
        r[0].kr_value.u64 = i;
        uint64_t t0 = now_ns();
        kv_metadata_export_events(fgs[i++ % fgs.size()], r);
        uint64_t t1 = now_ns();
        if (lat.size() < lat.capacity()) lat.push_back(uint32_t(t1 - t0));
        if ((i & 4095) == 0) run_cycle();  // cycles go on (skipped once, then wait)
    }
    stop = true;
    if (consumer.joinable()) consumer.join();
    std::sort(lat.begin(), lat.end());
    if (!lat.empty()) {
        state.counters["p50_ns"] = lat[lat.size() / 2];
        state.counters["p99_ns"] = lat[lat.size() * 99 / 100];
    }
    for (struct kv_metadata *fg : fgs)
        kv_metadata_flowgroup_destroy(fg);
    run_cycle();
    run_cycle();
}
BENCHMARK(BM_ProducerLatency)->Arg(0)->Arg(1);

// Baseline of the cache: the search that every call makes, 64 entries of
// 20 bytes compared without locks.
void BM_Search64(benchmark::State &state) {
    static struct kv_dpi_conn entries[64];
    for (uint32_t i = 0; i < 64; i++)
        entries[i] = {1, 1, i, 2, 2};
    uint32_t k = 64;
    for (auto _ : state) {
        struct kv_dpi_conn c = {1, 1, k++, 2, 2};
        int found = 0;
        for (auto &e : entries)
            found |= memcmp(&e, &c, sizeof(c)) == 0;
        benchmark::DoNotOptimize(found);
    }
}
BENCHMARK(BM_Search64);

// A new description on a full LRU of 64: the oldest entry is reused.
void BM_DpiCallbackFullLru(benchmark::State &state) {
    store();
    struct kv_flow_key key = {};
    struct kv_dpi_data *dd = kv_dpi_data_create(&key);
    uint32_t k = 0;
    for (; k < 64; k++) {
        struct kv_dpi_conn c = {1, 1, k, 2, 2};
        ip_flow_dpi_kvmd_cb(dd, &c, 64);
    }
    for (auto _ : state) {
        struct kv_dpi_conn c = {1, 1, k++, 2, 2};
        benchmark::DoNotOptimize(ip_flow_dpi_kvmd_cb(dd, &c, 64));
    }
    kv_dpi_data_destroy(dd);
}
BENCHMARK(BM_DpiCallbackFullLru);

// The agent's host read.  Baseline: what a read of the text tables with
// owners costs in system calls alone, reading the four socket tables and
// every process's descriptor links.  The synthetic tree exists only as
// text: its runs refuse the socket diagnostics, so the agent reads the text
// too (sockets_bench times the diagnostics against ss).
void read_tables(const std::string &proc) {
    char buf[65536];
    for (const char *t : {"tcp", "tcp6", "udp", "udp6"}) {
        FILE *f = fopen((proc + "/net/" + t).c_str(), "r");
        if (f == nullptr) continue;
        while (fread(buf, 1, sizeof(buf), f) > 0) {
        }
        fclose(f);
    }
    DIR *d = opendir(proc.c_str());
    while (struct dirent *e = d ? readdir(d) : nullptr) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
        DIR *fds = opendir((proc + "/" + e->d_name + "/fd").c_str());
        while (struct dirent *f = fds ? readdir(fds) : nullptr)
            benchmark::DoNotOptimize(readlinkat(dirfd(fds), f->d_name, buf, sizeof(buf)));
        if (fds) closedir(fds);
    }
    if (d) closedir(d);
}

std::string synthetic_dir;

// A proc tree with n TCP sockets, all owned by one process.
const std::string &synthetic(int n) {
    std::string &dir = synthetic_dir;
    if (!dir.empty()) return dir;
    char tmpl[] = "/tmp/kvmd-bench-XXXXXX";
    dir = mkdtemp(tmpl);
    mkdir((dir + "/net").c_str(), 0755);
    mkdir((dir + "/4242").c_str(), 0755);
    mkdir((dir + "/4242/fd").c_str(), 0755);
    FILE *comm = fopen((dir + "/4242/comm").c_str(), "w");
    fputs("loadgen\n", comm);
    fclose(comm);
    FILE *f = fopen((dir + "/net/tcp").c_str(), "w");
    fputs("  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
          "timeout inode\n",
          f);
    for (int i = 0; i < n; i++) {
        fprintf(f,
                "%4d: 0100000A:%04X %08X:01BB 01 00000000:00000000 00:00000000 00000000     0  "
                "      0 %d 1 0000000000000000 20 4 30 10 -1\n",
                i, 10000 + i % 50000, 0x0200000A + ((i % 250) << 24), 100000 + i);
        char link[32], path[64];
        snprintf(link, sizeof(link), "socket:[%d]", 100000 + i);
        snprintf(path, sizeof(path), "/4242/fd/%d", i + 3);
        if (symlink(link, (dir + path).c_str()) != 0) break;
    }
    fclose(f);
    return dir;
}

void BM_ReadTablesHost(benchmark::State &state) {
    for (auto _ : state)
        read_tables("/proc");
}
BENCHMARK(BM_ReadTablesHost)->Unit(benchmark::kMicrosecond);

void BM_AgentIntervalHost(benchmark::State &state) {
    store();
    for (auto _ : state)
        agent_sockets_interval("/proc");
    agent_sockets_clear();
}
BENCHMARK(BM_AgentIntervalHost)->Unit(benchmark::kMicrosecond);

void BM_ReadTables10k(benchmark::State &state) {
    const std::string &dir = synthetic(10000);
    for (auto _ : state)
        read_tables(dir);
}
BENCHMARK(BM_ReadTables10k)->Unit(benchmark::kMillisecond);

void BM_AgentInterval10k(benchmark::State &state) {
    store();
    const std::string &dir = synthetic(10000);
    agent_diag_sys.open = [] {
        errno = EPROTONOSUPPORT;
        return -1;
    };
    agent_sockets_interval(dir.c_str());  // the flow groups exist; steady state
    for (auto _ : state)
        agent_sockets_interval(dir.c_str());
    state.counters["sockets"] = double(agent_sockets_stats_block()->ss_sockets);
    agent_sockets_clear();
    agent_diag_sys.open = sys_open;
}
BENCHMARK(BM_AgentInterval10k)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv) {
    int r = qb::run_with_ratios(argc, argv,
                                {{"BM_UpdateCycle100k", "BM_TailqMove50k", 0},
                                 {"BM_DpiCallbackFullLru", "BM_Search64", 0},
                                 {"BM_AgentIntervalHost", "BM_ReadTablesHost", 0},
                                 {"BM_AgentInterval10k", "BM_ReadTables10k", 0}});
    if (!synthetic_dir.empty())
        nftw(synthetic_dir.c_str(),
             [](const char *path, const struct stat *, int, struct FTW *) { return remove(path); },
             16, FTW_DEPTH | FTW_PHYS);
    return r;
}
