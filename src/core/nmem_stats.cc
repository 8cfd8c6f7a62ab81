// nmem_mod: publishes the allocator's statistics as "core.nmem.stats".
//
// Kept apart from the allocator itself: kv and the control tree allocate
// through nmem, so the publication sits above all three.
#include <cstddef>

#include "core/kv.h"
#include "core/netctl/netctl_vars.h"
#include "core/nmem.h"
#include "core/sysinit.h"

static struct kv_var nmem_kv_vars[] = {
    {"pools", KV_T_U64, 0, 8, 0, 0, offsetof(struct nmem_stats, ns_pools)},
    {"allocs", KV_T_U64, 0, 8, 0, 0, offsetof(struct nmem_stats, ns_allocs)},
    {"frees", KV_T_U64, 0, 8, 0, 0, offsetof(struct nmem_stats, ns_frees)},
    {"alloced_objs", KV_T_U64, 0, 8, 0, 0, offsetof(struct nmem_stats, ns_alloced_objs)},
    {"pool_allocs", KV_T_U64, 0, 8, 0, 0, offsetof(struct nmem_stats, ns_pool_allocs)},
    {"alloc_errors", KV_T_U64, 0, 8, 0, 0, offsetof(struct nmem_stats, ns_alloc_errors)},
    {"dupfrees", KV_T_U64, 0, 8, 0, 0, offsetof(struct nmem_stats, ns_dupfrees)},
    {"overwritten", KV_T_U64, 0, 8, 0, 0, offsetof(struct nmem_stats, ns_overwritten)},
};

static struct kv_head nmem_kv_head = {
    "nmemstats",
    2,
    0x02,
    sizeof(nmem_kv_vars) / sizeof(nmem_kv_vars[0]),
    {0, 0, 0, 0},
    sizeof(struct nmem_stats),
    nullptr,
    nmem_kv_vars,
    nullptr,
    nullptr,
    {nullptr, nullptr},
};

void nmem_mod_init(void *) {
    kv_register(&nmem_kv_head);
    netctl_register_vars("core.nmem.stats", &nmem_kv_head, &nmem_stats, 0, nullptr);
}
SYSINIT(nmem_mod, "nmem_mod", SI_SUB_CORE, SI_ORDER_ANY, nmem_mod_init, nullptr);
