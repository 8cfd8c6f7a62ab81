// agent_sockets: the host's sockets as metadata-store flow groups; see
// agent_sockets.h.
#include "agent/agent_sockets.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "agent/agent_diag.h"
#include "core/agent_config.h"
#include "core/kern_timeout.h"
#include "core/kv.h"
#include "core/kv_metadata.h"
#include "core/logging.h"
#include "core/ncounter.h"
#include "core/netctl/netctl_vars.h"
#include "core/timestamp.h"

namespace {

// What the scans know of a process.
struct proc_entry {
    uint32_t appid;   // of its comm when its descriptors were last read
    uint64_t listed;  // the scan that last found it in the process directory
    uint64_t found;   // the last scan in which its descriptors gave an owner
    bool read;        // its descriptors have been read
    bool unreadable;  // its comm or descriptors could not be read
};

// The owner of a socket inode of the current scan.
enum inode_state : uint8_t { INODE_UNKNOWN, INODE_OWNED, INODE_NOBODY };
struct inode_entry {
    uint64_t scan;  // the last scan that saw the socket
    uint32_t pid;   // when owned
    inode_state state;
};

// A flow key as a map key.
struct flow_key_bytes {
    unsigned char b[sizeof(struct kv_flow_key)];
    bool operator==(const flow_key_bytes &o) const { return memcmp(b, o.b, sizeof(b)) == 0; }
};
struct flow_key_hash {
    size_t operator()(const flow_key_bytes &k) const {
        return std::hash<std::string_view>{}(
            std::string_view(reinterpret_cast<const char *>(k.b), sizeof(k.b)));
    }
};

struct live_flow {
    struct kv_metadata *fg;
    std::string ip;  // remote address text, or empty
    uint64_t seen;   // the last scan that saw the socket
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
    SS_VAR("errors", ss_errors),         SS_VAR("scan_usec", ss_scan_usec),
    SS_VAR("fd_reads", ss_fd_reads),     SS_VAR("diag_tables", ss_diag_tables),
};
#undef SS_VAR
struct kv_head stats_head = {"agentsockstats", 0, 0, sizeof(stats_vars) / sizeof(stats_vars[0]),
                             {}, 0, nullptr, stats_vars, nullptr, nullptr, {}};

std::unordered_map<flow_key_bytes, live_flow, flow_key_hash> flows;
std::unordered_map<std::string, ip_ref> ips;  // by address text
std::unordered_set<uint32_t> appids;
std::vector<struct agent_sock> socks;            // this scan's sockets
std::unordered_map<uint32_t, proc_entry> procs;  // by pid
std::unordered_map<uint64_t, inode_entry> inodes;
uint64_t scan_no;
size_t unknown;     // inodes of this scan whose owner is not known
size_t nobody;      // inodes of this scan that no readable process owns
size_t flows_seen;  // flow groups of this scan
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

// Lists the processes; those gone are forgotten.
void list_processes(const char *proc) {
    if (DIR *d = opendir(proc)) {
        while (struct dirent *e = readdir(d)) {
            char *end;
            unsigned long pid = strtoul(e->d_name, &end, 10);
            if (*end != 0 || e->d_name[0] == 0 || pid == 0 || pid > UINT32_MAX) continue;
            procs[uint32_t(pid)].listed = scan_no;
        }
        closedir(d);
    }
    for (auto it = procs.begin(); it != procs.end();)
        it = it->second.listed == scan_no ? std::next(it) : procs.erase(it);
}

// Reads PID/comm and PID/fd: the process owns the sockets of this scan that
// no live process owns yet.
void read_process(const char *proc, uint32_t pid, proc_entry *p) {
    n_counter_inc(stats.ss_fd_reads);
    p->read = true;
    char path[4096];
    snprintf(path, sizeof(path), "%s/%u/comm", proc, pid);
    char comm[64] = "";
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    ssize_t n = fd >= 0 ? read(fd, comm, sizeof(comm) - 1) : -1;
    if (fd >= 0) close(fd);
    snprintf(path, sizeof(path), "%s/%u/fd", proc, pid);
    DIR *fds = n > 0 ? opendir(path) : nullptr;
    if (fds == nullptr) {
        // Gone, or not ours to read: not tried again while it lives.  Other
        // failures (out of descriptors) leave it to the next pass.
        if (n == 0 || errno == ENOENT || errno == ENOTDIR || errno == EACCES || errno == EPERM)
            p->unreadable = true;
        return;
    }
    comm[n] = 0;
    comm[strcspn(comm, "\n")] = 0;
    p->appid = agent_sockets_appid(comm);
    while (struct dirent *f = readdir(fds)) {
        char link[64];
        ssize_t l = readlinkat(dirfd(fds), f->d_name, link, sizeof(link) - 1);
        if (l <= 8 || memcmp(link, "socket:[", 8) != 0) continue;
        link[l] = 0;
        auto it = inodes.find(strtoull(link + 8, nullptr, 10));
        if (it == inodes.end() || it->second.scan != scan_no || it->second.state == INODE_OWNED)
            continue;
        (it->second.state == INODE_UNKNOWN ? unknown : nobody)--;
        it->second = {scan_no, pid, INODE_OWNED};
        p->found = scan_no;
    }
    closedir(fds);
}

// Finds the owners of this scan's sockets whose owner is not known; see
// agent_sockets.h for which processes are read.
void resolve_owners(const char *proc) {
    list_processes(proc);
    unknown = nobody = 0;
    size_t seen = 0;
    for (const struct agent_sock &s : socks) {
        inode_entry &e = inodes[s.as_inode];
        if (e.scan == scan_no) continue;  // the same socket twice
        e.scan = scan_no;
        seen++;
        if (e.state == INODE_OWNED && procs.count(e.pid) == 0) e.state = INODE_UNKNOWN;
        if (e.state == INODE_UNKNOWN) unknown++;
        if (e.state == INODE_NOBODY) nobody++;
    }
    for (auto it = inodes.begin(); seen < inodes.size() && it != inodes.end();)
        it = it->second.scan == scan_no ? std::next(it) : inodes.erase(it);
    if (unknown + nobody == 0) return;
    std::vector<std::pair<uint32_t, proc_entry *>> order;
    for (auto &[pid, p] : procs)
        if (!p.unreadable) order.emplace_back(pid, &p);
    // New processes first, then the latest owners of new sockets.
    std::sort(order.begin(), order.end(), [](const auto &a, const auto &b) {
        if (a.second->read != b.second->read) return !a.second->read;
        if (a.second->found != b.second->found) return a.second->found > b.second->found;
        return a.first < b.first;
    });
    for (auto &[pid, p] : order) {
        if (unknown == 0 && (p->read || nobody == 0)) break;
        read_process(proc, pid, p);
    }
    for (auto it = inodes.begin(); unknown > 0 && it != inodes.end(); ++it)
        if (it->second.state == INODE_UNKNOWN) {
            it->second.state = INODE_NOBODY;
            unknown--;
        }
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
void track(const struct agent_sock &s) {
    const proc_entry *o = nullptr;
    uint32_t pid = 0;
    auto in = inodes.find(s.as_inode);
    if (in != inodes.end() && in->second.state == INODE_OWNED) {
        auto p = procs.find(in->second.pid);
        if (p != procs.end()) {
            o = &p->second;
            pid = p->first;
        }
    }
    struct kv_flow_key k = {};
    k.fk_src = key_addr(s.as_src6, s.as_v6);
    k.fk_dst = key_addr(s.as_dst6, s.as_v6);
    k.fk_sport = htons(s.as_sport);
    k.fk_dport = htons(s.as_dport);
    k.fk_proto = s.as_proto;
    k.fk_spare[0] = s.as_v6;
    if (o != nullptr) {
        k.fk_appid = o->appid;
        k.fk_pid = pid;
    }
    flow_key_bytes kb;
    memcpy(kb.b, &k, sizeof(kb.b));
    auto it = flows.find(kb);
    if (it == flows.end()) {
        struct kv_metadata *fg = kv_metadata_create(&k, KVMD_T_FLOWGROUP, &flow_head);
        if (fg == nullptr) {
            n_counter_inc(stats.ss_errors);
            return;
        }
        std::string ip = addr_text(s.as_dst6, s.as_v6);
        if (!ip.empty()) ip_acquire(ip, s.as_dst6, s.as_v6);
        it = flows.emplace(kb, live_flow{fg, ip, 0}).first;
        n_counter_inc(stats.ss_created);
        if (o == nullptr) n_counter_inc(stats.ss_unowned);
        if (o != nullptr) appids.insert(o->appid);
    }
    if (it->second.seen == scan_no) return;  // the same pair twice in one scan
    it->second.seen = scan_no;
    flows_seen++;
    store_values(it->second.fg, s);
}

const char *const table_names[AST_COUNT] = {"tcp", "tcp6", "udp", "udp6"};

// A socket the scan keeps.
void add_socket(void *, const struct agent_sock *s) {
    if (s->as_inode == 0) return;                                   // time-wait, half-open
    if (s->as_proto == IPPROTO_TCP && s->as_state == 0x0A) return;  // listening
    socks.push_back(*s);
    socks.back().as_attr = nullptr;  // not valid past the hand-over
    socks.back().as_attr_len = 0;
}

// A table from its text form.
void read_table(const char *proc, int table) {
    std::string path = std::string(proc) + "/net/" + table_names[table];
    FILE *f = fopen(path.c_str(), "r");
    if (f == nullptr) return;  // no such family on this host
    char *line = nullptr;
    size_t cap = 0;
    const int proto = table < AST_UDP ? IPPROTO_TCP : IPPROTO_UDP;
    while (getline(&line, &cap, f) > 0) {
        struct agent_sock s;
        if (agent_sockets_parse_line(line, proto, table & 1, &s) == 0) add_socket(nullptr, &s);
    }
    free(line);
    fclose(f);
}

// Every table, from the socket diagnostics where they answer.  A change in
// how many do is logged once.
void collect(const char *proc) {
    static const int texts[AGENT_DIAG_DUMPS][2] = {
        {AST_TCP, AST_TCP6}, {AST_UDP, -1}, {AST_UDP6, -1}};
    socks.clear();
    uint64_t from_diag = 0;
    int err = 0;
    for (int d = 0; d < AGENT_DIAG_DUMPS; d++) {
        const size_t before = socks.size();
        const bool ok = agent_diag_dump(d, add_socket, nullptr) >= 0;
        if (!ok) {
            err = errno;
            socks.resize(before);  // a broken answer's sockets
        }
        for (int t : texts[d]) {
            if (t >= 0 && ok) from_diag++;
            if (t >= 0 && !ok) read_table(proc, t);
        }
    }
    const bool changed =
        (tr_mask & TR_GEN) != 0 && (from_diag != stats.ss_diag_tables || stats.ss_scans == 0);
    if (changed && from_diag == AST_COUNT)
        tr_log(1, TR_INFO, "agent_sockets_scan: socket tables from socket diagnostics");
    else if (changed)
        tr_log(1, TR_INFO,
               "agent_sockets_scan: socket diagnostics answer %u of %d socket tables (%s), the "
               "others are read from %s/net",
               unsigned(from_diag), AST_COUNT, strerror(err), proc);
    n_counter_set(stats.ss_diag_tables, from_diag);
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
    const uint64_t t0 = timestamp_now_usec();
    scan_no++;
    collect(proc);
    resolve_owners(proc);
    flows_seen = 0;
    for (const struct agent_sock &s : socks)
        track(s);
    // Flow groups whose socket has gone, when there are any.
    for (auto it = flows.begin(); flows_seen < flows.size() && it != flows.end();) {
        if (it->second.seen == scan_no) {
            ++it;
            continue;
        }
        if (it->second.fg->kmd_fg.kmdfg_key.fk_appid == 0) n_counter_dec(stats.ss_unowned);
        kv_metadata_flowgroup_destroy(it->second.fg);
        if (!it->second.ip.empty()) ip_release(it->second.ip);
        n_counter_inc(stats.ss_destroyed);
        it = flows.erase(it);
    }
    const int n = int(socks.size());
    n_counter_inc(stats.ss_scans);
    n_counter_set(stats.ss_sockets, uint64_t(n));
    n_counter_set(stats.ss_flowgroups, uint64_t(flows.size()));
    n_counter_set(stats.ss_ip_records, uint64_t(ips.size()));
    n_counter_set(stats.ss_scan_usec, timestamp_now_usec() - t0);
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
    procs.clear();
    inodes.clear();
    agent_diag_close();
    n_counter_set(stats.ss_flowgroups, uint64_t{0});
    n_counter_set(stats.ss_unowned, uint64_t{0});
    n_counter_set(stats.ss_ip_records, uint64_t{0});
}

const struct agent_sockets_stats *agent_sockets_stats_block(void) {
    return &stats;
}
