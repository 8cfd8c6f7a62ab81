// agent_sockets: the host's sockets as metadata-store flow groups; see
// agent_sockets.h.
#include "agent/agent_sockets.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "core/agent_config.h"
#include "core/kern_timeout.h"
#include "core/kv.h"
#include "core/kv_metadata.h"
#include "core/logging.h"
#include "core/ncounter.h"
#include "core/netctl/netctl_vars.h"

namespace {

struct owner {
    uint64_t pid;
    uint32_t appid;
};

struct live_flow {
    struct kv_metadata *fg;
    std::string ip;  // remote address text, or empty
    bool seen;
};

struct ip_ref {
    struct kv_md_ip *rec;
    int refs;
};

// Values stored for each flow group at every scan.
struct kv_var flow_vars[] = {
    {"state", KV_T_U32, 0, 4, 0, 0, 0},
    {"tx_queue", KV_T_U32, 0, 4, 0, 0, 4},
    {"rx_queue", KV_T_U32, 0, 4, 0, 0, 8},
    {"inode", KV_T_U64, 0, 8, 0, 0, 16},
};
struct kv_head flow_head = {"agentflow", 0, 0, 4, {}, 0, nullptr, flow_vars, nullptr, nullptr, {}};

struct agent_sockets_stats stats;
#define SS_VAR(name, field) \
    {name, KV_T_U64, 0, 8, 0, 0, static_cast<uint16_t>(offsetof(struct agent_sockets_stats, field))}
struct kv_var stats_vars[] = {
    SS_VAR("scans", ss_scans),           SS_VAR("sockets", ss_sockets),
    SS_VAR("flowgroups", ss_flowgroups), SS_VAR("unowned", ss_unowned),
    SS_VAR("created", ss_created),       SS_VAR("destroyed", ss_destroyed),
    SS_VAR("ip_records", ss_ip_records), SS_VAR("exported", ss_exported),
    SS_VAR("errors", ss_errors),
};
#undef SS_VAR
struct kv_head stats_head = {"agentsockstats", 0, 0, sizeof(stats_vars) / sizeof(stats_vars[0]),
                             {}, 0, nullptr, stats_vars, nullptr, nullptr, {}};

std::unordered_map<std::string, live_flow> flows;  // by the 32 key bytes
std::unordered_map<std::string, ip_ref> ips;       // by address text
std::unordered_set<uint32_t> appids;
struct callout tick_callout;
const char *proc_root = "/proc";
uint64_t ip_since;
struct kv_export *file_export;
FILE *export_file;
inline constexpr long EXPORT_FILE_MAX = 8L << 20;

// Parses n hex digits at p into the bytes of out, word by word as the
// kernel prints them (each 32-bit word in host order).
bool hex_addr(const char *p, int words, uint8_t *out) {
    for (int w = 0; w < words; w++) {
        char buf[9];
        memcpy(buf, p + 8 * w, 8);
        buf[8] = 0;
        char *end;
        uint32_t v = static_cast<uint32_t>(strtoul(buf, &end, 16));
        if (end != buf + 8) return false;
        memcpy(out + 4 * w, &v, 4);
    }
    return true;
}

// An address pair of the table in IPv4 form for the flow key: IPv4-mapped
// addresses as they are, other IPv6 addresses folded into 32 bits.
uint32_t key_addr(const uint8_t *a, bool v6) {
    uint32_t w[4];
    memcpy(w, a, sizeof(w));
    if (!v6) return w[0];
    static const uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (memcmp(a, mapped, 12) == 0) return w[3];
    return w[0] ^ w[1] ^ w[2] ^ w[3];
}

std::string addr_text(const uint8_t *a, bool v6) {
    char buf[INET6_ADDRSTRLEN] = "";
    static const uint8_t zero[16] = {};
    if (memcmp(a, zero, v6 ? 16 : 4) == 0) return "";
    inet_ntop(v6 ? AF_INET6 : AF_INET, a, buf, sizeof(buf));
    return buf;
}

// Reads PID/comm and PID/fd of every process; sockets whose owner cannot
// be read stay out of the map.
void read_owners(const char *proc, std::unordered_map<uint64_t, owner> *by_inode) {
    DIR *d = opendir(proc);
    if (d == nullptr) return;
    while (struct dirent *e = readdir(d)) {
        char *end;
        unsigned long pid = strtoul(e->d_name, &end, 10);
        if (*end != 0 || e->d_name[0] == 0) continue;
        std::string base = std::string(proc) + "/" + e->d_name;
        char comm[64] = "";
        int fd = open((base + "/comm").c_str(), O_RDONLY);
        if (fd < 0) continue;  // gone, or not ours to read
        ssize_t n = read(fd, comm, sizeof(comm) - 1);
        close(fd);
        if (n <= 0) continue;
        comm[n] = 0;
        comm[strcspn(comm, "\n")] = 0;
        DIR *fds = opendir((base + "/fd").c_str());
        if (fds == nullptr) continue;
        owner o = {pid, agent_sockets_appid(comm)};
        while (struct dirent *f = readdir(fds)) {
            char link[64];
            ssize_t l = readlinkat(dirfd(fds), f->d_name, link, sizeof(link) - 1);
            if (l <= 8) continue;
            link[l] = 0;
            unsigned long long inode;
            if (sscanf(link, "socket:[%llu]", &inode) == 1) (*by_inode)[inode] = o;
        }
        closedir(fds);
    }
    closedir(d);
}

void ip_acquire(const std::string &text, const uint8_t *a, bool v6) {
    auto it = ips.find(text);
    if (it != ips.end()) {
        it->second.refs++;
        return;
    }
    uint8_t sa[16] = {};
    uint16_t family = v6 ? AF_INET6 : AF_INET;
    memcpy(sa, &family, 2);
    memcpy(sa + 4, a, v6 ? 12 : 4);  // the record holds 16 bytes: a prefix of an IPv6 address
    struct kv_md_ip *rec = kv_metadata_create_object(KVMD_T_IP, sa);
    if (rec == nullptr) {
        n_counter_inc(stats.ss_errors);
        return;
    }
    kv_metadata_update(
        KVMD_T_IP, rec,
        [](void *r, void *t) {
            snprintf(static_cast<struct kv_md_ip *>(r)->ip, 46, "%s", static_cast<char *>(t));
            return 0;
        },
        const_cast<char *>(text.c_str()));
    ips[text] = {rec, 1};
}

void ip_release(const std::string &text) {
    auto it = ips.find(text);
    if (it == ips.end() || --it->second.refs > 0) return;
    kv_metadata_destroy_internal(KVMD_T_IP, it->second.rec);
    ips.erase(it);
}

void store_values(struct kv_metadata *fg, const struct agent_sock &s) {
    struct kv_record r[4] = {};
    for (int i = 0; i < 4; i++)
        r[i].kr_type = flow_vars[i].kv_type;
    r[0].kr_value.u32 = s.as_state;
    r[1].kr_value.u32 = s.as_txq;
    r[2].kr_value.u32 = s.as_rxq;
    r[3].kr_value.u64 = s.as_inode;
    kv_metadata_export_events(fg, r);
}

// One socket of this scan: its flow group is made when new, and gets the
// socket's values.
void track(const struct agent_sock &s, const owner *o) {
    struct kv_flow_key k = {};
    k.fk_src = key_addr(s.as_src6, s.as_v6);
    k.fk_dst = key_addr(s.as_dst6, s.as_v6);
    k.fk_sport = htons(s.as_sport);
    k.fk_dport = htons(s.as_dport);
    k.fk_proto = s.as_proto;
    k.fk_spare[0] = s.as_v6;
    if (o != nullptr) {
        k.fk_appid = o->appid;
        k.fk_pid = o->pid;
    }
    std::string kb(reinterpret_cast<const char *>(&k), sizeof(k));
    auto it = flows.find(kb);
    if (it == flows.end()) {
        struct kv_metadata *fg = kv_metadata_create(&k, KVMD_T_FLOWGROUP, &flow_head);
        if (fg == nullptr) {
            n_counter_inc(stats.ss_errors);
            return;
        }
        std::string ip = addr_text(s.as_dst6, s.as_v6);
        if (!ip.empty()) ip_acquire(ip, s.as_dst6, s.as_v6);
        it = flows.emplace(kb, live_flow{fg, ip, false}).first;
        n_counter_inc(stats.ss_created);
        if (o == nullptr) n_counter_inc(stats.ss_unowned);
        if (o != nullptr) appids.insert(o->appid);
    }
    if (it->second.seen) return;  // the same pair twice in one scan
    it->second.seen = true;
    store_values(it->second.fg, s);
}

int read_table(const char *proc, const char *name, int proto, int v6,
               const std::unordered_map<uint64_t, owner> &owners) {
    std::string path = std::string(proc) + "/net/" + name;
    FILE *f = fopen(path.c_str(), "r");
    if (f == nullptr) return 0;  // no such family on this host
    char *line = nullptr;
    size_t cap = 0;
    int n = 0;
    while (getline(&line, &cap, f) > 0) {
        struct agent_sock s;
        if (agent_sockets_parse_line(line, proto, v6, &s) != 0 || s.as_inode == 0) continue;
        if (proto == IPPROTO_TCP && s.as_state == 0x0A) continue;  // listening
        auto o = owners.find(s.as_inode);
        track(s, o == owners.end() ? nullptr : &o->second);
        n++;
    }
    free(line);
    fclose(f);
    return n;
}

void export_fn(void *state, void *obj, int) {
    if (export_file == nullptr && agent_cfg != nullptr && agent_cfg->ac_logdir != nullptr) {
        std::string path = std::string(agent_cfg->ac_logdir) + "/qorv-netagent.metadata";
        export_file = fopen(path.c_str(), "w");
    }
    if (export_file == nullptr) return;
    if (ftell(export_file) > EXPORT_FILE_MAX) {
        fflush(export_file);
        if (ftruncate(fileno(export_file), 0) == 0) rewind(export_file);
    }
    kv_metadata_dump(export_file, obj, static_cast<struct kvmd_export_state *>(state)->kind);
    fputc('\n', export_file);
    fflush(export_file);
}
struct kv_export export_desc = {0, export_fn, {}};

void count_exported(void *arg, struct kv_metadata *) {
    (*static_cast<uint64_t *>(arg))++;
}

void write_ip(void *, struct kv_md_ip *ip) {
    struct kvmd_export_state st = {};
    st.kind = KVMD_EXP_IP;
    file_export->ke_fn(&st, ip, KVMD_EXPORT_SOURCE);
}

// The consumer: what the last cycle published.
void consume(void) {
    uint64_t n = 0;
    kv_metadata_export_list(KVMD_T_FLOWGROUP, &n, count_exported);
    for (uint32_t appid : appids)
        kv_metadata_export_app_flowgroups(appid, 0, KVMD_T_FLOWGROUP, &n, count_exported);
    n_counter_set(stats.ss_exported, n);
    if (file_export == nullptr) file_export = kv_get_export(0);
    if (file_export != nullptr) kv_metadata_ip_export(&ip_since, nullptr, write_ip);
}

void tick(void *) {
    agent_sockets_interval(proc_root);
    uint64_t every = kvmd_store.update_interval;
    callout_reset(&tick_callout, static_cast<int>(every), tick, nullptr);
}

}  // namespace

int agent_sockets_parse_line(const char *line, int proto, int v6, struct agent_sock *s) {
    *s = agent_sock{};
    const int words = v6 ? 4 : 1;
    const size_t alen = size_t(8 * words);
    const char *p = strchr(line, ':');
    if (p == nullptr) return -1;
    p++;
    while (*p == ' ')
        p++;
    // local  remote  st  txq:rxq
    if (strlen(p) < 2 * (alen + 6) + 3 || p[alen] != ':' || p[2 * alen + 6] != ':') return -1;
    if (!hex_addr(p, words, s->as_src6) || !hex_addr(p + alen + 6, words, s->as_dst6)) return -1;
    unsigned sport, dport, st, txq, rxq;
    unsigned long long inode;
    char timer[24];
    unsigned retr, uid, tmo;
    if (sscanf(p + alen + 1, "%4x", &sport) != 1 || sscanf(p + 2 * alen + 7, "%4x", &dport) != 1)
        return -1;
    // st tx_queue:rx_queue tr:tm->when retrnsmt uid timeout inode
    if (sscanf(p + 2 * alen + 12, "%2x %8x:%8x %23s %x %u %u %llu", &st, &txq, &rxq, timer, &retr,
               &uid, &tmo, &inode) != 8)
        return -1;
    s->as_proto = uint8_t(proto);
    s->as_v6 = uint8_t(v6);
    s->as_state = uint8_t(st);
    s->as_sport = uint16_t(sport);
    s->as_dport = uint16_t(dport);
    s->as_txq = txq;
    s->as_rxq = rxq;
    s->as_inode = inode;
    return 0;
}

uint32_t agent_sockets_appid(const char *comm) {
    uint32_t h = 2166136261u;
    for (const char *c = comm; *c != 0; c++)
        h = (h ^ uint8_t(*c)) * 16777619u;
    return h != 0 ? h : 1;
}

int agent_sockets_scan(const char *proc) {
    std::unordered_map<uint64_t, owner> owners;
    read_owners(proc, &owners);
    for (auto &f : flows)
        f.second.seen = false;
    int n = read_table(proc, "tcp", IPPROTO_TCP, 0, owners) +
            read_table(proc, "tcp6", IPPROTO_TCP, 1, owners) +
            read_table(proc, "udp", IPPROTO_UDP, 0, owners) +
            read_table(proc, "udp6", IPPROTO_UDP, 1, owners);
    for (auto it = flows.begin(); it != flows.end();) {
        if (it->second.seen) {
            ++it;
            continue;
        }
        if (it->second.fg->kmd_fg.kmdfg_key.fk_appid == 0) n_counter_dec(stats.ss_unowned);
        kv_metadata_flowgroup_destroy(it->second.fg);
        if (!it->second.ip.empty()) ip_release(it->second.ip);
        n_counter_inc(stats.ss_destroyed);
        it = flows.erase(it);
    }
    n_counter_inc(stats.ss_scans);
    n_counter_set(stats.ss_sockets, uint64_t(n));
    n_counter_set(stats.ss_flowgroups, uint64_t(flows.size()));
    n_counter_set(stats.ss_ip_records, uint64_t(ips.size()));
    return n;
}

void agent_sockets_interval(const char *proc) {
    agent_sockets_scan(proc);
    kv_metadata_store_update();
    consume();
}

void agent_sockets_start(const char *proc) {
    proc_root = proc;
    kv_export_register(&export_desc);
    if (kv_register(&stats_head) != 0 ||
        netctl_register_vars("agent.sockets.stats", &stats_head, &stats, 0, nullptr) != 0)
        tr_log(1, TR_ERROR, "agent_sockets_start: agent.sockets.stats not published");
    callout_init(&tick_callout);
    callout_reset(&tick_callout, 1000, tick, nullptr);
}

void agent_sockets_clear(void) {
    for (auto &f : flows)
        kv_metadata_flowgroup_destroy(f.second.fg);
    flows.clear();
    for (auto &i : ips)
        kv_metadata_destroy_internal(KVMD_T_IP, i.second.rec);
    ips.clear();
    appids.clear();
    n_counter_set(stats.ss_flowgroups, uint64_t{0});
    n_counter_set(stats.ss_unowned, uint64_t{0});
    n_counter_set(stats.ss_ip_records, uint64_t{0});
}

const struct agent_sockets_stats *agent_sockets_stats_block(void) {
    return &stats;
}
