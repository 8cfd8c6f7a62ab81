// agent_apps: the agent's figures per application; see agent_apps.h.
//
// Locking: as for the interfaces (agent_net.cc), the list of applications,
// their lifetime and their hidden marks are changed only under the control
// tree's lock, which the control-socket thread holds while it uses an
// instance.  The published blocks are written with relaxed atomic stores.
#include "agent/agent_apps.h"

#include <netinet/in.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "agent/agent_sockets.h"
#include "core/kv_metrics.h"
#include "core/kv_stats.h"
#include "core/logging.h"
#include "core/ncounter.h"
#include "core/netctl/netctl_vars.h"
#include "core/nmem.h"

namespace {

struct agent_app {
    struct agent_inst aa_inst;  // first: the table's instance
    char aa_comm[16];           // the program name
    uint64_t aa_seen;           // the last scan that found a socket of it
    // This scan's figures.
    uint64_t aa_scan[AA_NCOUNTERS];
    uint64_t aa_gauge[AA_NGAUGES];
    uint64_t aa_rtt_sum, aa_rtt_n;
    // The engines' blocks.
    uint64_t aa_delta[AA_NCOUNTERS];  // kvs data
    uint64_t aa_total[AA_NCOUNTERS];  // kvs total
    uint64_t aa_rates[AA_NRATES];     // kvm cur
    struct agent_app_pub aa_pub;      // what the control tree reads
    struct agent_mon_objs aa_objs;
};
static_assert(offsetof(struct agent_app, aa_inst) == 0);

agent_inst_list app_list = TAILQ_HEAD_INITIALIZER(app_list);
std::unordered_map<std::string, agent_app *> by_comm;
agent_app *other;      // made when an application is first hidden
agent_app none;        // read by agent.apps.* when a request names no application
uint64_t scan_no = 1;  // the scan in progress
uint64_t last_scan;    // ticks of the last scan, 0 before the first
unsigned top = AGENT_APPS_TOP;

const char *const rate_names[AA_NRATES] = {"rx_bytes_s", "tx_bytes_s", "retrans_s", "rtt_us"};

#define AA_U64(name, type, off, flags, id) \
    { name, type, flags, 8, id, 0, uint16_t(off) }
struct kv_var counter_vars[] = {
    AA_U64("rx_bytes", KV_T_U64, 0, 0, 0), AA_U64("tx_bytes", KV_T_U64, 8, 0, 0),
    AA_U64("rx_segs", KV_T_U64, 16, 0, 0), AA_U64("tx_segs", KV_T_U64, 24, 0, 0),
    AA_U64("retrans", KV_T_U64, 32, 0, 0), AA_U64("opened", KV_T_U64, 40, 0, 0),
};
struct kv_head counter_head = {
    "appcounters", 0,       0, AA_NCOUNTERS, {}, 8 * AA_NCOUNTERS, nullptr, counter_vars,
    nullptr,       nullptr, {}};

constexpr uint8_t BOTH_WAYS = KVF_EVENTS | KVF_HIGH | KVF_LOW;
struct kv_var rate_vars[] = {
    AA_U64("rx_bytes_s", KV_T_U64, 0, BOTH_WAYS, AA_RX_BPS),
    AA_U64("tx_bytes_s", KV_T_U64, 8, BOTH_WAYS, AA_TX_BPS),
    AA_U64("retrans_s", KV_T_U64, 16, KVF_EVENTS | KVF_HIGH, AA_RETRANS_S),
    // No connection, no round-trip time: such a scan is not a sample.
    AA_U64("rtt_us", KV_T_U64, 24, KVF_EVENTS | KVF_HIGH | KVF_NONZERO, AA_RTT_US),
};
struct kv_head rate_head = {"apprates", 0,         KVH_ESSENTIAL, AA_NRATES, {}, 8 * AA_NRATES,
                            nullptr,    rate_vars, nullptr,       nullptr,   {}};

constexpr uint16_t TOTAL = KV_T_U64 | KV_K_COUNTER;
struct kv_var pub_vars[] = {
    AA_U64("rx_bytes", TOTAL, 0, 0, 0),         AA_U64("tx_bytes", TOTAL, 8, 0, 0),
    AA_U64("rx_segs", TOTAL, 16, 0, 0),         AA_U64("tx_segs", TOTAL, 24, 0, 0),
    AA_U64("retrans", TOTAL, 32, 0, 0),         AA_U64("opened", TOTAL, 40, 0, 0),
    AA_U64("connections", KV_T_U64, 48, 0, 0),  AA_U64("udp_sockets", KV_T_U64, 56, 0, 0),
    AA_U64("udp_rx_queue", KV_T_U64, 64, 0, 0), AA_U64("udp_tx_queue", KV_T_U64, 72, 0, 0),
    AA_U64("processes", KV_T_U64, 80, 0, 0),    AGENT_RATE_VARS("rx_bytes_s", "", 88),
    AGENT_RATE_VARS("tx_bytes_s", "", 128),     AGENT_RATE_VARS("retrans_s", "", 168),
    AGENT_RATE_VARS("rtt", "_us", 208),
};
#undef AA_U64
static_assert(sizeof(pub_vars) / sizeof(pub_vars[0]) == 31);
static_assert(sizeof(struct agent_app_pub) == 248);
struct kv_head pub_head = {"appstats", 0,        0,       31,      {}, sizeof(struct agent_app_pub),
                           nullptr,    pub_vars, nullptr, nullptr, {}};

// One sample per scan (agent_apps_scan_end); the interval is the wheel's
// business only, and nothing re-arms it.
struct kv_sample schedule = {AGENT_APPS_SAMPLE_TYPE, AGENT_APPS_WINDOW, {0, 0}, 1000000, nullptr};

void app_event(void *arg, int id, double value, double bound) {
    auto *a = static_cast<agent_app *>(arg);
    if (a == other || id < 0 || id >= AA_NRATES) return;  // other's mix changes as it likes
    agent_mon_warn("agent_apps", "application ", a->aa_inst.ai_name, rate_names[id], value,
                   &a->aa_objs.amo_kvm->kvm_ma[id], bound);
}

const struct agent_mon_desc app_desc = {&counter_head,          KVS_RESET, &rate_head, KVM_EXPORT,
                                        AGENT_APPS_SAMPLE_TYPE, app_event};

bool name_taken(const char *name) {
    return strcmp(name, AGENT_APPS_OTHER) == 0 || agent_table_find(&app_list, name) != nullptr;
}

agent_app *app_new(const char *name, const char *comm) {
    auto *a = static_cast<agent_app *>(nmem_alloc(sizeof(agent_app), NMEM_ZERO));
    if (a == nullptr) return nullptr;
    snprintf(a->aa_inst.ai_name, sizeof(a->aa_inst.ai_name), "%s", name);
    snprintf(a->aa_comm, sizeof(a->aa_comm), "%s", comm);
    if (agent_mon_init(&a->aa_objs, &app_desc, a, a->aa_delta, a->aa_total, a->aa_rates) != 0) {
        nmem_free(a);
        return nullptr;
    }
    agent_table_insert(&app_list, &a->aa_inst);
    return a;
}

void app_free(agent_app *a) {
    agent_table_remove(&app_list, &a->aa_inst);
    agent_mon_fini(&a->aa_objs);
    nmem_free(a);
}

agent_app *app_of(const char *comm) {
    auto it = by_comm.find(comm);
    if (it != by_comm.end()) return it->second;
    char name[AGENT_INST_NAME_MAX];
    agent_apps_name(comm, name, sizeof(name));
    agent_app *a = app_new(name, comm);
    if (a == nullptr) {
        static uint64_t logged;  // once a scan
        if (logged != scan_no) tr_log(1, TR_ERROR, "agent_apps: %s: no statistics objects", name);
        logged = scan_no;
        return nullptr;
    }
    by_comm.emplace(comm, a);
    tr_log(1, TR_INFO, "agent_apps: application %s added", name);
    return a;
}

// The scan's figures into the engines and the published block.
void app_feed(agent_app *a, uint64_t elapsed) {
    for (int i = 0; i < AA_NCOUNTERS; i++)
        a->aa_delta[i] += a->aa_scan[i];
    for (int g = 0; g < AA_NGAUGES; g++)
        n_counter_set(a->aa_pub.aap_gauge[g], a->aa_gauge[g]);
    if (elapsed > 0) {
        const double per_s = 1e6 / double(elapsed);
        a->aa_rates[AA_RX_BPS] = agent_mon_round(double(a->aa_scan[AA_RX_BYTES]) * per_s);
        a->aa_rates[AA_TX_BPS] = agent_mon_round(double(a->aa_scan[AA_TX_BYTES]) * per_s);
        a->aa_rates[AA_RETRANS_S] = agent_mon_round(double(a->aa_scan[AA_RETRANS]) * per_s);
        a->aa_rates[AA_RTT_US] = a->aa_rtt_n > 0 ? a->aa_rtt_sum / a->aa_rtt_n : 0;
        agent_mon_ema(&a->aa_objs);
        struct kvm *kvm = a->aa_objs.amo_kvm;
        kvm->kvm_flags |= KVM_PENDING;
        kvm_update_ma(reinterpret_cast<uintptr_t>(kvm), 0);
    }
    agent_mon_publish(&a->aa_objs, a->aa_pub.aap_total, AA_NCOUNTERS, a->aa_pub.aap_rate);
}

void scan_clear(agent_app *a) {
    memset(a->aa_scan, 0, sizeof(a->aa_scan));
    memset(a->aa_gauge, 0, sizeof(a->aa_gauge));
    a->aa_rtt_sum = a->aa_rtt_n = 0;
}

double busy(const agent_app *a) {
    const struct kvm_ma *ma = a->aa_objs.amo_kvm->kvm_ma;
    return ma[AA_RX_BPS].ma_avg + ma[AA_TX_BPS].ma_avg;
}

// The busiest applications stay in walks; the others are hidden, and their
// figures of this scan go to "other".
void rank(uint64_t elapsed) {
    std::vector<agent_app *> order;
    for (auto &[comm, a] : by_comm)
        order.push_back(a);
    if (top > 0 && order.size() > top) {
        std::partial_sort(order.begin(), order.begin() + top, order.end(),
                          [](const agent_app *x, const agent_app *y) {
                              const double bx = busy(x), by = busy(y);
                              if (bx != by) return bx > by;
                              const uint64_t tx = x->aa_pub.aap_total[AA_RX_BYTES] +
                                                  x->aa_pub.aap_total[AA_TX_BYTES];
                              const uint64_t ty = y->aa_pub.aap_total[AA_RX_BYTES] +
                                                  y->aa_pub.aap_total[AA_TX_BYTES];
                              if (tx != ty) return tx > ty;
                              return strcmp(x->aa_inst.ai_name, y->aa_inst.ai_name) < 0;
                          });
        if (other == nullptr && (other = app_new(AGENT_APPS_OTHER, "")) == nullptr)
            tr_log(1, TR_ERROR, "agent_apps: %s: no statistics objects", AGENT_APPS_OTHER);
    }
    {
        netctl_tree_guard guard;
        for (size_t i = 0; i < order.size(); i++)
            order[i]->aa_inst.ai_hidden = top > 0 && i >= top;
    }
    if (other == nullptr) return;
    for (size_t i = top; i < order.size(); i++) {
        const agent_app *a = order[i];
        for (int c = 0; c < AA_NCOUNTERS; c++)
            other->aa_scan[c] += a->aa_scan[c];
        for (int g = 0; g < AA_NGAUGES; g++)
            other->aa_gauge[g] += a->aa_gauge[g];
        other->aa_rtt_sum += a->aa_rtt_sum;
        other->aa_rtt_n += a->aa_rtt_n;
    }
    app_feed(other, elapsed);
    scan_clear(other);
}

}  // namespace

void agent_apps_name(const char *comm, char *out, size_t size) {
    char n[AGENT_INST_NAME_MAX];
    size_t len = 0;
    for (const char *c = comm; *c != 0 && len < 32; c++) {
        const bool ok = (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') ||
                        (*c >= '0' && *c <= '9') || *c == '_' || *c == '-';
        n[len++] = ok ? *c : '_';
    }
    if (len == 0) n[len++] = '_';
    n[len] = 0;
    if (name_taken(n)) snprintf(n + len, sizeof(n) - len, "-%08x", agent_sockets_appid(comm));
    snprintf(out, size, "%s", n);
}

void agent_apps_account(const char *comm, bool new_process, const struct agent_sock *s,
                        const uint64_t *d) {
    agent_app *a = app_of(comm);
    if (a == nullptr) return;
    a->aa_seen = scan_no;
    for (int i = 0; i < AA_NCOUNTERS; i++)
        a->aa_scan[i] += d[i];
    if (new_process) a->aa_gauge[AA_PROCESSES]++;
    if (s->as_proto == IPPROTO_UDP) {
        a->aa_gauge[AA_UDP_SOCKETS]++;
        a->aa_gauge[AA_UDP_RX_QUEUE] += s->as_rxq;
        a->aa_gauge[AA_UDP_TX_QUEUE] += s->as_txq;
        return;
    }
    a->aa_gauge[AA_CONNECTIONS]++;
    if (s->as_rtt_us > 0) {
        a->aa_rtt_sum += s->as_rtt_us;
        a->aa_rtt_n++;
    }
}

void agent_apps_scan_end(uint64_t now) {
    const uint64_t elapsed = last_scan != 0 && now > last_scan ? now - last_scan : 0;
    last_scan = now;
    for (auto &[comm, a] : by_comm)
        app_feed(a, elapsed);
    rank(elapsed);
    for (auto it = by_comm.begin(); it != by_comm.end();) {
        agent_app *a = it->second;
        scan_clear(a);
        if (scan_no - a->aa_seen < uint64_t(AGENT_APPS_WINDOW)) {
            ++it;
            continue;
        }
        tr_log(1, TR_INFO, "agent_apps: application %s removed", a->aa_inst.ai_name);
        it = by_comm.erase(it);
        app_free(a);
    }
    scan_no++;
}

int agent_apps_start(void) {
    static bool published;  // names stay in the tree for good
    kv_sample_register(&schedule);
    if (!published && (netctl_register_node("agent.apps.*", &agent_table_ops<&app_list>) != 0 ||
                       netctl_register_vars("agent.apps.*.stats", &pub_head, &none,
                                            offsetof(agent_app, aa_pub), nullptr) != 0)) {
        tr_log(1, TR_ERROR, "agent_apps_start: agent.apps not published");
        return -1;
    }
    published = true;
    return 0;
}

void agent_apps_stop(void) {
    for (auto &[comm, a] : by_comm)
        app_free(a);
    by_comm.clear();
    if (other != nullptr) app_free(other);
    other = nullptr;
    last_scan = 0;
}

void agent_apps_set_top(unsigned n) {
    top = n > AGENT_APPS_TOP_MAX ? AGENT_APPS_TOP_MAX : n;
}

int agent_apps_count(void) {
    return int(by_comm.size());
}

const struct agent_app_pub *agent_apps_find(const char *name) {
    auto *a = reinterpret_cast<agent_app *>(agent_table_find(&app_list, name));
    return a != nullptr ? &a->aa_pub : nullptr;
}

bool agent_apps_hidden(const char *name) {
    const struct agent_inst *in = agent_table_find(&app_list, name);
    return in != nullptr && in->ai_hidden;
}
