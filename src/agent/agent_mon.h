// agent_mon: what the agent's monitors of interfaces (agent_net) and of
// applications (agent_apps) share.
//
// - A table of named instances published as a control-tree table node:
//   parse, list and iterate over a list of instances.  Instances are linked
//   and unlinked only under the control tree's lock, which the
//   control-socket thread holds from name resolution until the answer has
//   been read into memory of its own, so a request never meets a freed
//   instance.  A hidden instance is left
//   out of walks (read-all, the Prometheus text) but still listed by name
//   and readable by its name.
// - The statistics objects of an instance: a kvs of counters with a running
//   total, and a kvm of rates (simple moving average, minimum, maximum,
//   deviation) with an exponential average of the same samples beside it.
// - The published figures of a rate and the WARN line of its three-sigma
//   event.
//
// Everything but the table operations runs on the main poll thread.  The
// published blocks are written with relaxed atomic stores (ncounter.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/kv.h"
#include "core/kv_metrics.h"
#include "core/netctl/netctl.h"
#include "core/queue.h"

inline constexpr size_t AGENT_INST_NAME_MAX = 64;  // an instance's name, NUL included

// The first member of every instance: the table node hands the instance's
// address to the leaves, which read the published block at an offset.
struct agent_inst {
    char ai_name[AGENT_INST_NAME_MAX];
    bool ai_hidden;  // left out of walks
    tailq_entry<agent_inst> ai_link;
};
typedef tailq<agent_inst, &agent_inst::ai_link> agent_inst_list;

// ".name" at the start of the len bytes at name, ending there or at a dot;
// the longest name that fits wins (names may hold dots).
int agent_table_parse(agent_inst_list *l, const char *name, int len, void **instance);
int agent_table_list(agent_inst_list *l, struct netctl_node *np, void *data, netctl_walk_fn cb,
                     struct netctl_req *req);
int agent_table_iterate(agent_inst_list *l, struct netctl_node *np, void *data,
                        netctl_visit_fn visit, struct netctl_walk_ctx *ctx);
// The operations of the table node over the list L.
template <agent_inst_list *L>
inline constexpr struct netctl_node_ops agent_table_ops = {
    [](struct netctl_node *, const char *name, int len, void **instance) {
        return agent_table_parse(L, name, len, instance);
    },
    [](struct netctl_node *np, void *data, netctl_walk_fn cb, struct netctl_req *req, void *) {
        return agent_table_list(L, np, data, cb, req);
    },
    [](struct netctl_node *np, void *data, netctl_visit_fn visit, struct netctl_walk_ctx *ctx) {
        return agent_table_iterate(L, np, data, visit, ctx);
    },
    nullptr};
// The instance of that name, or null.
struct agent_inst *agent_table_find(agent_inst_list *l, const char *name);
// Link and unlink under the control tree's lock.
void agent_table_insert(agent_inst_list *l, struct agent_inst *in);
void agent_table_remove(agent_inst_list *l, struct agent_inst *in);

inline constexpr int AGENT_RATES_MAX = 4;

// The statistics objects of one instance.  The blocks they work on belong
// to the owner: counters (kvs data, this interval's increase), totals (kvs
// total) and rates (kvm cur).
struct agent_mon_objs {
    struct kvs *amo_kvs;
    struct kvm *amo_kvm;
    struct kvm_ma amo_ema[AGENT_RATES_MAX];
    int amo_nrates;
};
struct agent_mon_desc {
    struct kv_head *amd_counters;  // kvs head
    uint8_t amd_kvs_flags;
    struct kv_head *amd_rates;  // kvm head, at most AGENT_RATES_MAX variables
    uint8_t amd_kvm_flags;
    uint8_t amd_sample_type;  // of the kvm; the kvs ticks every second
    kvm_event_fn amd_event;
};
// 0, or -1 when an object could not be made (nothing is kept then).
int agent_mon_init(struct agent_mon_objs *o, const struct agent_mon_desc *d, void *arg,
                   void *counters, void *totals, void *rates);
void agent_mon_fini(struct agent_mon_objs *o);

// What is published of one rate.
struct agent_rate_pub {
    uint64_t avg;  // the kvm's exported value (the window's average)
    uint64_t ema;  // exponential moving average
    uint64_t min;  // of the window
    uint64_t max;
    uint64_t sdev;
};
static_assert(sizeof(struct agent_rate_pub) == 40);
// The five variables of a rate published at byte offset base: r, r_ema,
// r_min, r_max, r_sdev, each followed by unit (so that a unit ends every
// name: rtt_us, rtt_ema_us).
#define AGENT_RATE_VARS(r, unit, base)                                  \
    {r unit, KV_T_U64, 0, 8, 0, 0, uint16_t((base) + 0)},               \
        {r "_ema" unit, KV_T_U64, 0, 8, 0, 0, uint16_t((base) + 8)},    \
        {r "_min" unit, KV_T_U64, 0, 8, 0, 0, uint16_t((base) + 16)},   \
        {r "_max" unit, KV_T_U64, 0, 8, 0, 0, uint16_t((base) + 24)}, { \
        r "_sdev" unit, KV_T_U64, 0, 8, 0, 0, uint16_t((base) + 32)     \
    }

// Feeds the exponential averages with the rates as they are in the kvm's
// cur block (u64 each); call just before the kvm samples them.
void agent_mon_ema(struct agent_mon_objs *o);
// Brings the published figures up to date: totals (kvs data plus total,
// ncounters of them) and rates.
void agent_mon_publish(struct agent_mon_objs *o, uint64_t *totals, int ncounters,
                       struct agent_rate_pub *rates);
// A double as a rounded u64 (0 below 0, saturated above).
uint64_t agent_mon_round(double v);
// The WARN line of a three-sigma event: "<who>: <what><name> <rate> <value>
// outside its three-sigma band <lo> .. <hi> (bound <bound>)".
void agent_mon_warn(const char *who, const char *what, const char *name, const char *rate,
                    double value, const struct kvm_ma *ma, double bound);
