// agent_mon: the pieces shared by the agent's monitors; see agent_mon.h.
#include "agent/agent_mon.h"

#include <cstdio>
#include <cstring>

#include "core/kv_stats.h"
#include "core/logging.h"
#include "core/ncounter.h"
#include "core/netctl/netctl_vars.h"

/*
 * The table of instances.
 */

int agent_table_parse(agent_inst_list *l, const char *name, int len, void **instance) {
    if (len < 2 || name[0] != '.') return 0;
    struct agent_inst *best = nullptr;
    size_t best_len = 0;
    for (struct agent_inst *in : *l) {
        size_t n = strlen(in->ai_name);
        if (n + 1 > size_t(len) || n <= best_len || memcmp(name + 1, in->ai_name, n) != 0) continue;
        if (n + 1 < size_t(len) && name[n + 1] != '.') continue;
        best = in;
        best_len = n;
    }
    if (best == nullptr) return 0;
    *instance = best;
    return int(best_len + 1);
}

int agent_table_list(agent_inst_list *l, struct netctl_node *np, void *data, netctl_walk_fn cb,
                     struct netctl_req *req) {
    for (struct agent_inst *in : *l) {
        snprintf(static_cast<char *>(data), NETCTL_NAME_MAX, "%s", in->ai_name);
        if (cb(np, data, req, in) == -1) return -1;
    }
    return 0;
}

int agent_table_iterate(agent_inst_list *l, struct netctl_node *np, void *data,
                        netctl_visit_fn visit, struct netctl_walk_ctx *ctx) {
    for (struct agent_inst *in : *l) {
        if (in->ai_hidden) continue;
        snprintf(static_cast<char *>(data), NETCTL_NAME_MAX, ".%s", in->ai_name);
        ctx->nwc_instance = in;
        if (visit(np, data, ctx) == -1) return -1;
    }
    return 0;
}

struct agent_inst *agent_table_find(agent_inst_list *l, const char *name) {
    for (struct agent_inst *in : *l)
        if (strcmp(in->ai_name, name) == 0) return in;
    return nullptr;
}

void agent_table_insert(agent_inst_list *l, struct agent_inst *in) {
    netctl_tree_guard guard;
    l->insert_tail(in);
}

void agent_table_remove(agent_inst_list *l, struct agent_inst *in) {
    netctl_tree_guard guard;
    l->remove(in);
}

/*
 * Statistics objects.
 */

int agent_mon_init(struct agent_mon_objs *o, const struct agent_mon_desc *d, void *arg,
                   void *counters, void *totals, void *rates) {
    *o = agent_mon_objs{};
    o->amo_nrates = d->amd_rates->kh_nvars;
    N_ASSERT(o->amo_nrates <= AGENT_RATES_MAX);
    o->amo_kvs = kvs_create(d->amd_counters, d->amd_kvs_flags, 1, 0);
    o->amo_kvm = kvm_create(d->amd_rates, KVM_T_SMA, d->amd_kvm_flags, d->amd_sample_type, 0);
    bool ok = o->amo_kvs != nullptr && o->amo_kvm != nullptr;
    for (int r = 0; r < o->amo_nrates; r++)
        ok = ok && ema_init(&o->amo_ema[r], KVM_MAX_SAMPLES) == 0;
    if (!ok) {
        agent_mon_fini(o);
        return -1;
    }
    o->amo_kvs->kvs_data = counters;
    o->amo_kvs->kvs_total = totals;
    o->amo_kvm->kvm_cur = rates;
    o->amo_kvm->kvm_arg = arg;
    o->amo_kvm->kvm_event = d->amd_event;
    return 0;
}

void agent_mon_fini(struct agent_mon_objs *o) {
    if (o->amo_kvs != nullptr) kvs_destroy(o->amo_kvs);
    if (o->amo_kvm != nullptr) kvm_destroy(o->amo_kvm);
    for (struct kvm_ma &ma : o->amo_ema)
        ema_fini(&ma);
    *o = agent_mon_objs{};
}

void agent_mon_ema(struct agent_mon_objs *o) {
    const struct kv_head *kh = o->amo_kvm->kvm_head;
    const auto *cur = static_cast<const uint64_t *>(o->amo_kvm->kvm_cur);
    for (int r = 0; r < o->amo_nrates; r++)
        if (cur[r] != 0 || !(kh->kh_vars[r].kv_flags & KVF_NONZERO))
            ema_update(&o->amo_ema[r], double(cur[r]));
}

uint64_t agent_mon_round(double v) {
    if (!(v > 0)) return 0;
    if (v >= 18446744073709551616.0) return UINT64_MAX;
    return uint64_t(v + 0.5);
}

void agent_mon_publish(struct agent_mon_objs *o, uint64_t *totals, int ncounters,
                       struct agent_rate_pub *rates) {
    struct kv_record rec;
    for (int i = 0; i < ncounters; i++) {
        kvs_read_index(o->amo_kvs, i, &rec, 1);
        n_counter_set(totals[i], rec.kr_value.u64);
    }
    for (int r = 0; r < o->amo_nrates; r++) {
        kvm_read_index(o->amo_kvm, r, &rec);
        if (!rec.kr_valid) continue;
        n_counter_set(rates[r].avg, rec.kr_value.u64);
        n_counter_set(rates[r].min, rec.kr_min);
        n_counter_set(rates[r].max, rec.kr_max);
        n_counter_set(rates[r].sdev, agent_mon_round(o->amo_kvm->kvm_ma[r].ma_sdev));
        n_counter_set(rates[r].ema, agent_mon_round(o->amo_ema[r].ma_avg));
    }
}

void agent_mon_warn(const char *who, const char *what, const char *name, const char *rate,
                    double value, const struct kvm_ma *ma, double bound) {
    if (!(tr_mask & TR_GEN)) return;
    tr_log(TR_GEN, TR_WARN,
           "%s: %s%s %s %.0f outside its three-sigma band %.0f .. %.0f (bound %.0f)", who, what,
           name, rate, value, ma->ma_avg - 3.0 * ma->ma_sdev, ma->ma_avg + 3.0 * ma->ma_sdev,
           bound);
}
