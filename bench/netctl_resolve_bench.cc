// netctl_resolve of four-component names in a tree of 1,000 registered
// names, one tree-lock round per resolution as the control socket does it;
// a std::map lookup of the same names is the baseline of the same run.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/kv.h"
#include "core/logging.h"
#include "core/netctl/netctl_vars.h"
#include "ratio_main.h"

namespace {

struct kv_var vars[] = {{"hits", KV_T_U64, 0, 8, 0, 0, 0}};
struct kv_head head = {"benchhead", 2, 0, 1, {}, 8, nullptr, vars, nullptr, nullptr, {}};
uint64_t block;

// mod0.grp0.var0.stats ... mod9.grp9.var9.stats: 1,000 names, ten children
// per level, so a resolution scans up to ten labels at each of three levels.
const std::vector<std::string> &names() {
    static std::vector<std::string> n = [] {
        std::vector<std::string> v;
        char buf[64];
        for (int a = 0; a < 10; a++)
            for (int b = 0; b < 10; b++)
                for (int c = 0; c < 10; c++) {
                    snprintf(buf, sizeof(buf), "mod%d.grp%d.var%d.stats", a, b, c);
                    v.emplace_back(buf);
                }
        return v;
    }();
    return n;
}

void build_tree() {
    static bool built = false;
    if (built) return;
    for (const std::string &s : names())
        if (netctl_register_vars(s.c_str(), &head, &block, 0, nullptr) != 0) abort();
    built = true;
}

void resolve_loop(benchmark::State &state, const std::vector<std::string> &which) {
    build_tree();
    auto req = std::make_unique<struct netctl_req>();
    size_t i = 0;
    for (auto _ : state) {
        const std::string &s = which[i++ % which.size()];
        req->nr_name = s.data();
        int remaining = int(s.size());
        void *instance;
        struct netctl_node *np;
        {
            netctl_tree_guard g;
            np = netctl_resolve(req.get(), &remaining, &instance);
        }
        asm volatile("" : : "r"(np) : "memory");
        if (remaining != 0) state.SkipWithError("name not resolved");
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_ResolveEveryName(benchmark::State &state) {
    resolve_loop(state, names());
}

// The last name registered: the last child at every level.
void BM_ResolveLastName(benchmark::State &state) {
    resolve_loop(state, std::vector<std::string>{names().back()});
}

void BM_StdMapFindEveryName(benchmark::State &state) {
    std::map<std::string, int> m;
    for (const std::string &s : names())
        m[s] = 1;
    size_t i = 0;
    for (auto _ : state) {
        auto it = m.find(names()[i++ % names().size()]);
        asm volatile("" : : "r"(&*it) : "memory");
    }
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_StdMapFindEveryName);
BENCHMARK(BM_ResolveEveryName);
BENCHMARK(BM_ResolveLastName);

}  // namespace

int main(int argc, char **argv) {
    tr_set_echo(0);
    return qb::run_and_report(argc, argv, [](const qb::RatioReporter &rep) {
        double every = rep.ns("BM_ResolveEveryName"), last = rep.ns("BM_ResolveLastName"),
               map = rep.ns("BM_StdMapFindEveryName");
        if (every > 0 && map > 0 && last > 0)
            printf(
                "netctl_resolve of a four-component name among 1000: %.1f ns on average, %.1f ns "
                "for the last registered; std::map find %.1f ns (ratio %.2f)\n",
                every, last, map, every / map);
    });
}
