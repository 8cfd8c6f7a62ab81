// agent_net: the agent's monitor of its host's network interfaces.
//
// Locking: the interface list and each interface's lifetime are protected
// by the control tree's lock: the main poll thread takes it to link or
// unlink (and free) an interface, and the control-socket thread holds it
// from name resolution until the answer is read into memory of its own,
// which covers every use of an instance by the table operations and the
// leaf reads.  The published
// blocks are written with relaxed atomic stores and read with relaxed
// loads, so a reader sees each value whole.  Nothing else is shared.
#include "agent/agent_net.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/kern_timeout.h"
#include "core/kv.h"
#include "core/kv_metrics.h"
#include "core/kv_stats.h"
#include "core/logging.h"
#include "core/ncounter.h"
#include "core/netctl/netctl_vars.h"
#include "core/nmem.h"
#include "core/timestamp.h"

struct agent_netif {
    struct agent_inst ni_inst;        // first: the table's instance
    uint64_t ni_last[AN_NCOUNTERS];   // raw counters at the last sample
    uint64_t ni_last_ticks;           // ticks at the last sample
    uint64_t ni_delta[AN_NCOUNTERS];  // kvs data: this interval's increase
    uint64_t ni_total[AN_NCOUNTERS];  // kvs total
    uint64_t ni_rates[AN_NRATES];     // kvm cur: per-second rates since the last sample
    struct agent_net_pub ni_pub;      // what the control tree reads
    struct agent_mon_objs ni_objs;
};
static_assert(offsetof(struct agent_netif, ni_inst) == 0);

static agent_inst_list agent_net_list = TAILQ_HEAD_INITIALIZER(agent_net_list);
static char *agent_net_path;
static struct callout agent_net_callout;
static bool agent_net_read_failed;  // logged once per streak
static struct kvs *agent_net_host;
static uint64_t agent_net_host_delta[AN_NCOUNTERS];
static uint64_t agent_net_host_total[AN_NCOUNTERS];
static uint64_t agent_net_host_pub[AN_NCOUNTERS];
// Read by agent.net.*.stats when a request names no interface.
static struct agent_netif agent_net_none;

// The interface table as last read, shared by everything that runs at the
// same ticks (the objects of interfaces found together sample together).
static constexpr int AGENT_NET_MAX_IFS = 256;
struct agent_net_line {
    char anl_name[AGENT_NET_NAME_MAX];
    uint64_t anl_raw[AN_NCOUNTERS];
};
static struct agent_net_line agent_net_snap[AGENT_NET_MAX_IFS];
static int agent_net_nsnap = -1;  // -1: not read at agent_net_snap_ticks
static uint64_t agent_net_snap_ticks;

static void agent_net_sample(void *obj, void *arg);
// Each interface's rates are sampled once a second over a one-minute
// window; the sample callback reads the interface's counters first.
static struct kv_sample agent_net_schedule = {
    AGENT_NET_SAMPLE_TYPE, KVM_MAX_SAMPLES, {0, 0}, AGENT_NET_PERIOD_USEC, agent_net_sample};

#define AN_VAR(name, type, field, flags, id) \
    { name, type, flags, 8, id, 0, uint16_t(field) }
#define AN_U64(name, field, flags, id) AN_VAR(name, KV_T_U64, field, flags, id)
// The eight counters at base; t is their type word (the published totals
// are marked as counters, the rollup engine's own are plain u64).
#define AN_COUNTERS(t, base)                                                                  \
    AN_VAR("rx_bytes", t, (base) + 0, 0, 0), AN_VAR("rx_packets", t, (base) + 8, 0, 0),       \
        AN_VAR("rx_errs", t, (base) + 16, 0, 0), AN_VAR("rx_drop", t, (base) + 24, 0, 0),     \
        AN_VAR("tx_bytes", t, (base) + 32, 0, 0), AN_VAR("tx_packets", t, (base) + 40, 0, 0), \
        AN_VAR("tx_errs", t, (base) + 48, 0, 0), AN_VAR("tx_drop", t, (base) + 56, 0, 0)
constexpr uint16_t AN_TOTAL = KV_T_U64 | KV_K_COUNTER;

static const char *const agent_net_rate_names[AN_NRATES] = {"rx_bytes_s", "rx_packets_s",
                                                            "tx_bytes_s", "tx_packets_s"};

static struct kv_var agent_net_counter_vars[] = {AN_COUNTERS(KV_T_U64, 0)};
static struct kv_var agent_net_host_vars[] = {AN_COUNTERS(AN_TOTAL, 0)};
static struct kv_head agent_net_counter_head = {"netif", 0,
                                                0,       AN_NCOUNTERS,
                                                {},      sizeof(uint64_t) * AN_NCOUNTERS,
                                                nullptr, agent_net_counter_vars,
                                                nullptr, nullptr,
                                                {}};
static struct kv_head agent_net_host_head = {"nethost", 0,
                                             0,         AN_NCOUNTERS,
                                             {},        sizeof(uint64_t) * AN_NCOUNTERS,
                                             nullptr,   agent_net_host_vars,
                                             nullptr,   nullptr,
                                             {}};

static constexpr uint8_t AN_EVENTS = KVF_EVENTS | KVF_HIGH | KVF_LOW;
static struct kv_var agent_net_rate_vars[] = {
    AN_U64("rx_bytes_s", 0, AN_EVENTS, AN_RX_BPS),
    AN_U64("rx_packets_s", 8, AN_EVENTS, AN_RX_PPS),
    AN_U64("tx_bytes_s", 16, AN_EVENTS, AN_TX_BPS),
    AN_U64("tx_packets_s", 24, AN_EVENTS, AN_TX_PPS),
};
static struct kv_head agent_net_rate_head = {"netrates",
                                             0,
                                             KVH_ESSENTIAL,
                                             AN_NRATES,
                                             {},
                                             sizeof(uint64_t) * AN_NRATES,
                                             nullptr,
                                             agent_net_rate_vars,
                                             nullptr,
                                             nullptr,
                                             {}};

static struct kv_var agent_net_pub_vars[] = {
    AN_COUNTERS(AN_TOTAL, 0),
    AGENT_RATE_VARS("rx_bytes_s", "", 64),
    AGENT_RATE_VARS("rx_packets_s", "", 104),
    AGENT_RATE_VARS("tx_bytes_s", "", 144),
    AGENT_RATE_VARS("tx_packets_s", "", 184),
};
static_assert(sizeof(agent_net_pub_vars) / sizeof(agent_net_pub_vars[0]) == 28);
static struct kv_head agent_net_pub_head = {
    "netifstats",       0,       0,       28, {}, sizeof(struct agent_net_pub), nullptr,
    agent_net_pub_vars, nullptr, nullptr, {}};

/*
 * Interfaces.
 */

static struct agent_netif *agent_net_lookup(const char *name) {
    return reinterpret_cast<struct agent_netif *>(agent_table_find(&agent_net_list, name));
}

// Three-sigma events of a rate: one WARN line with the band it left.
static void agent_net_event(void *arg, int id, double value, double bound) {
    auto *ni = static_cast<struct agent_netif *>(arg);
    if (id < 0 || id >= AN_NRATES) return;
    agent_mon_warn("agent_net", "", ni->ni_inst.ai_name, agent_net_rate_names[id], value,
                   &ni->ni_objs.amo_kvm->kvm_ma[id], bound);
}

static const struct agent_mon_desc agent_net_desc = {
    &agent_net_counter_head,   KVS_RESET | KVS_PARENT, &agent_net_rate_head,
    KVM_PERIODIC | KVM_EXPORT, AGENT_NET_SAMPLE_TYPE,  agent_net_event};

static struct agent_netif *agent_net_add(const char *name, size_t len, const uint64_t *raw) {
    auto *ni = static_cast<struct agent_netif *>(nmem_alloc(sizeof(struct agent_netif), NMEM_ZERO));
    if (ni == nullptr) {
        tr_log(1, TR_ERROR, "agent_net_add: %.*s: out of memory", int(len), name);
        return nullptr;
    }
    memcpy(ni->ni_inst.ai_name, name, len);
    memcpy(ni->ni_last, raw, sizeof(ni->ni_last));
    ni->ni_last_ticks = ticks;
    if (agent_mon_init(&ni->ni_objs, &agent_net_desc, ni, ni->ni_delta, ni->ni_total,
                       ni->ni_rates) != 0) {
        tr_log(1, TR_ERROR, "agent_net_add: %s: no statistics objects", ni->ni_inst.ai_name);
        nmem_free(ni);
        return nullptr;
    }
    ni->ni_objs.amo_kvs->kvs_pkvs = agent_net_host;
    agent_table_insert(&agent_net_list, &ni->ni_inst);
    tr_log(1, TR_INFO, "agent_net: interface %s added", ni->ni_inst.ai_name);
    return ni;
}

static void agent_net_remove(struct agent_netif *ni) {
    // The interval counted so far still reaches the host-wide figures.
    kvs_flush(ni->ni_objs.amo_kvs, 1);
    agent_table_remove(&agent_net_list, &ni->ni_inst);
    tr_log(1, TR_INFO, "agent_net: interface %s removed", ni->ni_inst.ai_name);
    agent_mon_fini(&ni->ni_objs);
    nmem_free(ni);
}

// One line of the table: "  name: 16 numbers".  False for the header lines
// and anything malformed.
static bool agent_net_parse_line(char *line, struct agent_net_line *out) {
    char *colon = strchr(line, ':');
    if (colon == nullptr) return false;
    char *p = line;
    while (*p == ' ' || *p == '\t')
        p++;
    size_t n = size_t(colon - p);
    if (n == 0 || n >= AGENT_NET_NAME_MAX || memchr(p, ' ', n) != nullptr) return false;
    uint64_t v[16];
    char *q = colon + 1;
    for (uint64_t &x : v) {
        char *end;
        errno = 0;
        x = strtoull(q, &end, 10);
        if (end == q || errno != 0) return false;
        q = end;
    }
    const uint64_t picked[AN_NCOUNTERS] = {v[0], v[1], v[2], v[3], v[8], v[9], v[10], v[11]};
    memcpy(out->anl_raw, picked, sizeof(picked));
    memset(out->anl_name, 0, sizeof(out->anl_name));
    memcpy(out->anl_name, p, n);
    return true;
}

// Reads the table unless it was read at these ticks already.  False when
// it cannot be read (reported once until it can again).
static bool (*agent_net_ignored)(const char *name);

void agent_net_ignore(bool (*ignore)(const char *name)) {
    agent_net_ignored = ignore;
}

static bool agent_net_read_table(void) {
    if (agent_net_nsnap >= 0 && agent_net_snap_ticks == ticks) return true;
    agent_net_nsnap = -1;
    if (agent_net_path == nullptr) return false;
    FILE *f = fopen(agent_net_path, "re");
    if (f == nullptr) {
        if (!agent_net_read_failed)
            tr_log(1, TR_ERROR, "agent_net_poll: %s: %s", agent_net_path, strerror(errno));
        agent_net_read_failed = true;
        return false;
    }
    agent_net_read_failed = false;
    int n = 0;
    char line[512];
    while (n < AGENT_NET_MAX_IFS && fgets(line, sizeof(line), f) != nullptr)
        if (agent_net_parse_line(line, &agent_net_snap[n]) &&
            (agent_net_ignored == nullptr || !agent_net_ignored(agent_net_snap[n].anl_name)))
            n++;
    fclose(f);
    agent_net_nsnap = n;
    agent_net_snap_ticks = ticks;
    return true;
}

static const struct agent_net_line *agent_net_snap_find(const char *name) {
    for (int i = 0; i < agent_net_nsnap; i++)
        if (strcmp(agent_net_snap[i].anl_name, name) == 0) return &agent_net_snap[i];
    return nullptr;
}

// The sample callback of an interface's kvm, run just before the kvm reads
// its rates: the counters' increase since the last sample goes into the
// kvs, and the per-second rates over the time since then into the kvm.  A
// counter that went down was reset (the interface came back): its new
// value is the increase.
static void agent_net_sample(void *, void *arg) {
    auto *ni = static_cast<struct agent_netif *>(arg);
    const struct agent_net_line *l =
        agent_net_read_table() ? agent_net_snap_find(ni->ni_inst.ai_name) : nullptr;
    const uint64_t elapsed = ticks - ni->ni_last_ticks;
    if (l == nullptr || elapsed == 0) return;  // gone: removed at the next poll
    uint64_t d[AN_NCOUNTERS];
    for (int i = 0; i < AN_NCOUNTERS; i++) {
        const uint64_t raw = l->anl_raw[i];
        d[i] = raw >= ni->ni_last[i] ? raw - ni->ni_last[i] : raw;
        ni->ni_delta[i] += d[i];
        ni->ni_last[i] = raw;
    }
    ni->ni_last_ticks = ticks;
    const int from[AN_NRATES] = {AN_RX_BYTES, AN_RX_PACKETS, AN_TX_BYTES, AN_TX_PACKETS};
    for (int r = 0; r < AN_NRATES; r++)
        ni->ni_rates[r] = agent_mon_round(double(d[from[r]]) * 1e6 / double(elapsed));
    agent_mon_ema(&ni->ni_objs);
}

static void agent_net_publish(struct agent_netif *ni) {
    agent_mon_publish(&ni->ni_objs, ni->ni_pub.anp_total, AN_NCOUNTERS, ni->ni_pub.anp_rate);
}

// Once a second: interfaces that appeared are added, those gone removed,
// and the published figures brought up to date.
void agent_net_poll(void) {
    if (!agent_net_read_table()) return;
    for (int i = 0; i < agent_net_nsnap; i++) {
        const struct agent_net_line *l = &agent_net_snap[i];
        if (agent_net_lookup(l->anl_name) == nullptr)
            agent_net_add(l->anl_name, strlen(l->anl_name), l->anl_raw);
    }
    for (struct agent_inst *in = agent_net_list.first(); in != nullptr;) {
        struct agent_inst *next = agent_net_list.next(in);
        auto *ni = reinterpret_cast<struct agent_netif *>(in);
        if (agent_net_snap_find(in->ai_name) != nullptr)
            agent_net_publish(ni);
        else
            agent_net_remove(ni);
        in = next;
    }
    struct kv_record rec;
    for (int i = 0; i < AN_NCOUNTERS; i++) {
        kvs_read_index(agent_net_host, i, &rec, 1);
        n_counter_set(agent_net_host_pub[i], rec.kr_value.u64);
    }
}

/*
 * Control tree: the table of interfaces.
 */

static void agent_net_tick(void *) {
    agent_net_poll();
    callout_reset(&agent_net_callout, AGENT_NET_PERIOD_USEC, agent_net_tick, nullptr);
}

int agent_net_start(const char *path) {
    static bool published;  // names stay in the tree for good
    agent_net_path = n_strdup(path);
    agent_net_nsnap = -1;
    kv_sample_register(&agent_net_schedule);
    agent_net_host = kvs_create(&agent_net_counter_head, KVS_RESET, 1, 0);
    if (agent_net_path == nullptr || agent_net_host == nullptr) {
        tr_log(1, TR_ERROR, "agent_net_start: out of memory");
        return -1;
    }
    agent_net_host->kvs_data = agent_net_host_delta;
    agent_net_host->kvs_total = agent_net_host_total;
    if (!published &&
        (netctl_register_node("agent.net.*", &agent_table_ops<&agent_net_list>) != 0 ||
         netctl_register_vars("agent.net.*.stats", &agent_net_pub_head, &agent_net_none,
                              offsetof(struct agent_netif, ni_pub), nullptr) != 0 ||
         netctl_register_vars("agent.host.net", &agent_net_host_head, agent_net_host_pub, 0,
                              nullptr) != 0)) {
        tr_log(1, TR_ERROR, "agent_net_start: agent.net not published");
        return -1;
    }
    published = true;
    agent_net_poll();
    callout_init(&agent_net_callout);
    callout_reset(&agent_net_callout, AGENT_NET_PERIOD_USEC, agent_net_tick, nullptr);
    return 0;
}

void agent_net_stop(void) {
    callout_stop(&agent_net_callout);
    while (struct agent_inst *in = agent_net_list.first())
        agent_net_remove(reinterpret_cast<struct agent_netif *>(in));
    if (agent_net_host != nullptr) kvs_destroy(agent_net_host);
    agent_net_host = nullptr;
    if (agent_net_path != nullptr) nmem_free(agent_net_path);
    agent_net_path = nullptr;
}

int agent_net_count(void) {
    int n = 0;
    for (struct agent_inst *in : agent_net_list)
        n += in != nullptr;
    return n;
}

const struct agent_net_pub *agent_net_find(const char *name) {
    struct agent_netif *ni = agent_net_lookup(name);
    return ni != nullptr ? &ni->ni_pub : nullptr;
}

const uint64_t *agent_net_host_totals(void) {
    return agent_net_host_pub;
}
