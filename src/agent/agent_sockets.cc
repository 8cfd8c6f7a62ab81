// agent_sockets: the host's sockets as metadata-store flow groups; see
// agent_sockets.h.
#include "agent/agent_sockets.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "agent/agent_apps.h"
#include "agent/agent_diag.h"
#include "agent/agent_diag_internal.h"
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
    uint32_t appid;    // of its comm when its descriptors were last read
    char comm[16];     // that comm
    uint64_t listed;   // the scan that last found it in the process directory
    uint64_t found;    // the last scan in which its descriptors gave an owner
    uint64_t counted;  // the last scan that gave its application one of its sockets
    bool read;         // its descriptors have been read
    bool unreadable;   // its comm or descriptors could not be read
};

// The owner of a socket inode of the current scan, and the TCP counters of
// its last scan.
enum inode_state : uint8_t { INODE_UNKNOWN, INODE_OWNED, INODE_NOBODY };
struct inode_entry {
    uint64_t scan;    // the last scan that saw the socket
    uint64_t cookie;  // the kernel's socket cookie, 0 if not known
    uint32_t pid;   // when owned
    inode_state state;
    uint64_t tracked;  // the last scan that counted it
    bool counted;      // the counters below are the socket's
    uint16_t sport, dport;
    uint32_t segs_out, segs_in, retrans;
    uint64_t bytes_acked, bytes_received;
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

struct fgcc_ref {
    struct kv_dpi_data *rec;
    int refs;  // flow groups of the record; 0: destroyed after the next export
};

struct live_flow {
    struct kv_metadata *fg;
    std::string ip;   // remote address text, or empty
    uint64_t seen;    // the last scan that saw the socket
    uint32_t id[2];   // the ids of its IPv6 addresses (source, destination), or 0
    fgcc_ref *fgcc;   // TCP: its connection cache
    uint64_t values;  // a hash of the values last stored
    uint8_t held;     // bit n: copy n of the flow group holds them
};

struct ip_ref {
    struct kv_md_ip *rec;
    int refs;
};

// Values stored for each flow group at every scan: the socket's state and
// queues, the kernel's TCP figures (0 where it gave none) and the increase
// of the counters since the last scan.
enum flow_value {
    FV_STATE,
    FV_TXQ,
    FV_RXQ,
    FV_INODE,
    FV_BYTES_ACKED,
    FV_BYTES_RECEIVED,
    FV_SEGS_OUT,
    FV_SEGS_IN,
    FV_RETRANS,
    FV_RTT,
    FV_RTTVAR,
    FV_DELIVERY_RATE,
    FV_SCAN_BYTES_ACKED,
    FV_SCAN_BYTES_RECEIVED,
    FV_SCAN_SEGS_OUT,
    FV_SCAN_SEGS_IN,
    FV_SCAN_RETRANS,
    FV_COUNT
};
#define FV(name, type, size, off) \
    { name, type, 0, size, 0, 0, off }
struct kv_var flow_vars[FV_COUNT] = {
    FV("state", KV_T_U32, 4, 0),
    FV("tx_queue", KV_T_U32, 4, 4),
    FV("rx_queue", KV_T_U32, 4, 8),
    FV("inode", KV_T_U64, 8, 16),
    FV("bytes_acked", KV_T_U64, 8, 24),
    FV("bytes_received", KV_T_U64, 8, 32),
    FV("segs_out", KV_T_U32, 4, 40),
    FV("segs_in", KV_T_U32, 4, 44),
    FV("total_retrans", KV_T_U32, 4, 48),
    FV("rtt_us", KV_T_U32, 4, 52),
    FV("rttvar_us", KV_T_U32, 4, 56),
    FV("delivery_rate", KV_T_U64, 8, 64),
    FV("scan_bytes_acked", KV_T_U64, 8, 72),
    FV("scan_bytes_received", KV_T_U64, 8, 80),
    FV("scan_segs_out", KV_T_U64, 8, 88),
    FV("scan_segs_in", KV_T_U64, 8, 96),
    FV("scan_retrans", KV_T_U64, 8, 104),
};
#undef FV
struct kv_head flow_head = {"agentflow", 0,         0,       FV_COUNT, {}, 112,
                            nullptr,     flow_vars, nullptr, nullptr,  {}};

struct agent_sockets_stats stats;
#define SS_VAR(name, field)                                                    \
    {                                                                          \
        name, KV_T_U64, 0, 8, 0, 0,                                            \
            static_cast<uint16_t>(offsetof(struct agent_sockets_stats, field)) \
    }
struct kv_var stats_vars[] = {
    SS_VAR("scans", ss_scans),
    SS_VAR("sockets", ss_sockets),
    SS_VAR("flowgroups", ss_flowgroups),
    SS_VAR("unowned", ss_unowned),
    SS_VAR("created", ss_created),
    SS_VAR("destroyed", ss_destroyed),
    SS_VAR("ip_records", ss_ip_records),
    SS_VAR("exported", ss_exported),
    SS_VAR("errors", ss_errors),
    SS_VAR("scan_usec", ss_scan_usec),
    SS_VAR("fd_reads", ss_fd_reads),
    SS_VAR("diag_tables", ss_diag_tables),
    SS_VAR("v6_ids", ss_v6_ids),
    SS_VAR("fgcc_records", ss_fgcc),
    SS_VAR("apps", ss_apps),
    SS_VAR("export_bytes", ss_export_bytes),
};
#undef SS_VAR
struct kv_head stats_head = {"agentsockstats",
                             0,
                             0,
                             sizeof(stats_vars) / sizeof(stats_vars[0]),
                             {},
                             0,
                             nullptr,
                             stats_vars,
                             nullptr,
                             nullptr,
                             {}};

std::unordered_map<flow_key_bytes, live_flow, flow_key_hash> flows;
std::unordered_map<std::string, ip_ref> ips;  // by address text
std::unordered_map<flow_key_bytes, fgcc_ref, flow_key_hash> fgccs;
std::unordered_map<uint32_t, int> appids;        // of owned flow groups, with their count
std::vector<struct agent_sock> socks;            // this scan's sockets
std::unordered_set<uint16_t> listening;          // this scan's listening TCP ports
std::unordered_map<uint32_t, proc_entry> procs;  // by pid
std::unordered_map<uint64_t, inode_entry> inodes;
// The last scan's sockets by cookie: their inodes, by which an orphaned
// socket (inode 0) stays the connection it was.  Made from inodes during a
// scan that finds such a socket, and only then.
std::unordered_map<uint64_t, uint64_t> cookie_inodes;
uint64_t cookie_scan;  // the scan cookie_inodes was made for
uint64_t scan_no;
size_t unknown;         // inodes of this scan whose owner is not known
size_t nobody;          // inodes of this scan that no readable process owns
size_t flows_seen;      // flow groups of this scan
bool tcp_figures_seen;  // a scan has had the kernel's TCP figures
struct callout tick_callout;
const char *proc_root = "/proc";
int scan_usec = AGENT_SOCKETS_SCAN_MS * 1000;
uint64_t last_cycle;  // the store's update cycle at the last consumer run
uint64_t fgcc_since;  // the newest FGCC record the file export has had

// The file export: wanted (configured), the file, its size bound.
bool export_wanted;
FILE *export_file;
long export_max = long(AGENT_SOCKETS_EXPORT_KB) * 1024;
bool export_resnap;  // a new file needs the store's lists again

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

// An address of a socket as the scan keys it: IPv4, with IPv4-mapped IPv6
// addresses taken as the IPv4 address they hold.
struct address {
    bool v6;
    uint8_t a[16];  // IPv4 in the first 4 bytes
};

address normalised(const uint8_t *a, bool v6) {
    static const uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    address n = {v6, {}};
    if (v6 && memcmp(a, mapped, 12) == 0) {
        n.v6 = false;
        memcpy(n.a, a + 12, 4);
    } else {
        memcpy(n.a, a, v6 ? 16 : 4);
    }
    return n;
}

bool unspecified(const address &n) {
    static const uint8_t zero[16] = {};
    return memcmp(n.a, zero, n.v6 ? 16 : 4) == 0;
}

std::string addr_text(const address &n) {
    char buf[INET6_ADDRSTRLEN] = "";
    if (unspecified(n)) return "";
    inet_ntop(n.v6 ? AF_INET6 : AF_INET, n.a, buf, sizeof(buf));
    return buf;
}

// IPv6 addresses in the flow key's 32-bit address fields: each address that
// flow groups use gets an id of its own from 240.0.0.0/4 (reserved, never a
// host's IPv4 address), held while they use it and then free again.
struct v6_hash {
    size_t operator()(const std::array<uint8_t, 16> &a) const {
        return std::hash<std::string_view>{}(
            std::string_view(reinterpret_cast<const char *>(a.data()), a.size()));
    }
};
struct v6_entry {
    std::array<uint8_t, 16> addr;
    uint32_t refs;
};
std::unordered_map<std::array<uint8_t, 16>, uint32_t, v6_hash> v6_by_addr;
std::unordered_map<uint32_t, v6_entry> v6_by_id;
uint32_t v6_next;
uint32_t v6_span = AGENT_V6_ID_SPAN;  // ids from AGENT_V6_ID_BASE on

// The id of an IPv6 address, a new one when it has none; 0 when every id
// is taken.
uint32_t v6_id(const uint8_t *a) {
    std::array<uint8_t, 16> k;
    memcpy(k.data(), a, 16);
    auto it = v6_by_addr.find(k);
    if (it != v6_by_addr.end()) return it->second;
    // Within size + 1 tries one id is free, unless all are taken.
    for (size_t tries = 0; tries <= v6_by_id.size() && tries < v6_span; tries++) {
        const uint32_t id = AGENT_V6_ID_BASE + v6_next++ % v6_span;
        if (v6_by_id.count(id) != 0) continue;
        v6_by_id[id] = {k, 0};
        v6_by_addr[k] = id;
        return id;
    }
    return 0;
}

// d flow groups more (or fewer) use the id; unused ids are freed.
void v6_ref(uint32_t id, int d) {
    auto it = v6_by_id.find(id);
    if (it == v6_by_id.end()) return;
    it->second.refs = uint32_t(int(it->second.refs) + d);
    if (it->second.refs > 0) return;
    v6_by_addr.erase(it->second.addr);
    v6_by_id.erase(it);
}

// The address as the flow key holds it (network order); *id is its IPv6
// id, or 0.  False when it cannot be keyed.
bool key_addr(const address &n, uint32_t *key, uint32_t *id) {
    *id = 0;
    if (!n.v6 || unspecified(n)) {
        memcpy(key, n.a, 4);
        return true;
    }
    *id = v6_id(n.a);
    *key = htonl(*id);
    return *id != 0;
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
    // The kernel's names fit (15 bytes); a longer one from a fake tree is cut.
    const size_t len = strnlen(comm, sizeof(p->comm) - 1);
    memcpy(p->comm, comm, len);
    p->comm[len] = 0;
    while (struct dirent *f = readdir(fds)) {
        char link[64];
        ssize_t l = readlinkat(dirfd(fds), f->d_name, link, sizeof(link) - 1);
        if (l <= 8 || memcmp(link, "socket:[", 8) != 0) continue;
        link[l] = 0;
        auto it = inodes.find(strtoull(link + 8, nullptr, 10));
        if (it == inodes.end() || it->second.scan != scan_no || it->second.state == INODE_OWNED)
            continue;
        (it->second.state == INODE_UNKNOWN ? unknown : nobody)--;
        it->second.scan = scan_no;
        it->second.pid = pid;
        it->second.state = INODE_OWNED;
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
        e.cookie = s.as_cookie;
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

// The record's address: the family, then where a sockaddr_in has its
// address the IPv4 address, or the IPv6 address's id (its text is the
// record's ip).
void ip_acquire(const std::string &text, const address &n, uint32_t key) {
    auto it = ips.find(text);
    if (it != ips.end()) {
        it->second.refs++;
        return;
    }
    uint8_t sa[16] = {};
    uint16_t family = n.v6 ? AF_INET6 : AF_INET;
    memcpy(sa, &family, 2);
    memcpy(sa + 4, &key, 4);
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

// The socket's values into its flow group's active copy, unless both copies
// hold them already: most sockets are idle from one scan to the next, and
// each store is 17 records of 224 bytes.
void store_values(live_flow &f, const struct agent_sock &s, const uint64_t *d) {
    static struct kv_record r[FV_COUNT];
    static bool typed = [] {
        for (int i = 0; i < FV_COUNT; i++)
            r[i].kr_type = flow_vars[i].kv_type;
        return true;
    }();
    (void)typed;
    const uint64_t v[FV_COUNT] = {
        s.as_state,          s.as_txq,           s.as_rxq,       s.as_inode,     s.as_bytes_acked,
        s.as_bytes_received, s.as_segs_out,      s.as_segs_in,   s.as_retrans,   s.as_rtt_us,
        s.as_rttvar_us,      s.as_delivery_rate, d[AA_TX_BYTES], d[AA_RX_BYTES], d[AA_TX_SEGS],
        d[AA_RX_SEGS],       d[AA_RETRANS]};
    const uint64_t h = std::hash<std::string_view>{}(
        std::string_view(reinterpret_cast<const char *>(v), sizeof(v)));
    const uint8_t active = uint8_t(1u << (kvmd_store.current_copy & 1));
    if (h == f.values && (f.held & active) != 0) return;
    if (h != f.values) f.held = 0;
    f.values = h;
    f.held |= active;
    for (int i = 0; i < FV_COUNT; i++) {
        if (flow_vars[i].kv_type == KV_T_U32)
            r[i].kr_value.u32 = uint32_t(v[i]);
        else
            r[i].kr_value.u64 = v[i];
    }
    kv_metadata_export_events(f.fg, r);
}

// The increase of a socket's counters since the last scan into d
// (AA_NCOUNTERS), and its counters kept for the next.  A socket first seen,
// or whose byte counts went down or whose ports changed (its inode was
// reused by a new connection), counts whole, as opened, except in the
// scans before the kernel first gave TCP figures, which only take the
// counters as they find them.  The segment and retransmission counts wrap
// at 32 bits.
void counters_delta(inode_entry &e, const struct agent_sock &s, uint64_t *d) {
    memset(d, 0, sizeof(uint64_t) * AA_NCOUNTERS);
    if (!s.as_info) return;  // no figures this time: the last ones stay
    const bool same = e.counted && e.sport == s.as_sport && e.dport == s.as_dport &&
                      s.as_bytes_acked >= e.bytes_acked && s.as_bytes_received >= e.bytes_received;
    if (same || tcp_figures_seen) {
        const inode_entry base = same ? e : inode_entry{};
        d[AA_TX_BYTES] = s.as_bytes_acked - base.bytes_acked;
        d[AA_RX_BYTES] = s.as_bytes_received - base.bytes_received;
        d[AA_TX_SEGS] = uint32_t(s.as_segs_out - base.segs_out);
        d[AA_RX_SEGS] = uint32_t(s.as_segs_in - base.segs_in);
        d[AA_RETRANS] = uint32_t(s.as_retrans - base.retrans);
        d[AA_OPENED] = same ? 0 : 1;
    }
    e.counted = true;
    e.sport = s.as_sport;
    e.dport = s.as_dport;
    e.segs_out = s.as_segs_out;
    e.segs_in = s.as_segs_in;
    e.retrans = s.as_retrans;
    e.bytes_acked = s.as_bytes_acked;
    e.bytes_received = s.as_bytes_received;
}

// The connection cache of a new TCP flow group: one record per application,
// local and remote address and service port, which notes each connection
// (the owner's pid, 'A', to the connection's other port, 'C').  The service
// port is the local one when the host listens on it, else the remote one.
fgcc_ref *fgcc_acquire(const struct kv_flow_key &k) {
    struct kv_flow_key g = k;
    const bool serving = listening.count(ntohs(k.fk_sport)) != 0;
    if (serving) g.fk_dport = k.fk_sport;
    g.fk_sport = 0;
    g.fk_pid = 0;
    flow_key_bytes gb;
    memcpy(gb.b, &g, sizeof(gb.b));
    auto it = fgccs.find(gb);
    if (it == fgccs.end()) {
        struct kv_dpi_data *dd = kv_dpi_data_create(&g);
        if (dd == nullptr) return nullptr;
        it = fgccs.emplace(gb, fgcc_ref{dd, 0}).first;
    }
    it->second.refs++;
    const struct kv_dpi_conn c = {k.fk_appid, 1, uint32_t(k.fk_pid), 2,
                                  ntohs(serving ? k.fk_dport : k.fk_sport)};
    if (ip_flow_dpi_kvmd_cb(it->second.rec, &c, AGENT_FGCC_CONNECTIONS) != 1)
        it->second.rec->fg_ts = ticks;
    return &it->second;
}

// A flow group destroyed: what it held goes.
void flow_release(live_flow &f) {
    const uint32_t appid = f.fg->kmd_fg.kmdfg_key.fk_appid;
    if (appid == 0) n_counter_dec(stats.ss_unowned);
    if (appid != 0 && --appids[appid] == 0) appids.erase(appid);
    kv_metadata_flowgroup_destroy(f.fg);
    if (!f.ip.empty()) ip_release(f.ip);
    for (uint32_t id : f.id)
        if (id != 0) v6_ref(id, -1);
    if (f.fgcc != nullptr) f.fgcc->refs--;
}

// One socket of this scan: its flow group is made when new, and gets the
// socket's values; its application gets its figures.
void track(const struct agent_sock &s) {
    proc_entry *o = nullptr;
    uint32_t pid = 0;
    inode_entry &in = inodes[s.as_inode];  // resolve_owners made it
    if (in.tracked == scan_no) return;     // the same socket twice
    in.tracked = scan_no;
    if (in.state == INODE_OWNED) {
        auto p = procs.find(in.pid);
        if (p != procs.end()) {
            o = &p->second;
            pid = p->first;
        }
    }
    uint64_t d[AA_NCOUNTERS];
    counters_delta(in, s, d);
    if (o != nullptr) {
        agent_apps_account(o->comm, o->counted != scan_no, &s, d);
        o->counted = scan_no;
    }
    const address src = normalised(s.as_src6, s.as_v6), dst = normalised(s.as_dst6, s.as_v6);
    struct kv_flow_key k = {};
    uint32_t id[2] = {0, 0};  // the second stays 0 when the first address fails
    const bool keyed = key_addr(src, &k.fk_src, &id[0]) && key_addr(dst, &k.fk_dst, &id[1]);
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
    auto it = keyed ? flows.find(kb) : flows.end();
    if (it == flows.end()) {
        struct kv_metadata *fg =
            keyed ? kv_metadata_create(&k, KVMD_T_FLOWGROUP, &flow_head) : nullptr;
        if (fg == nullptr) {
            for (uint32_t i : id)
                v6_ref(i, 0);  // an id just made for it is free again
            n_counter_inc(stats.ss_errors);
            return;
        }
        std::string ip = addr_text(dst);
        if (!ip.empty()) ip_acquire(ip, dst, k.fk_dst);
        for (uint32_t i : id)
            v6_ref(i, 1);
        fgcc_ref *cc = s.as_proto == IPPROTO_TCP ? fgcc_acquire(k) : nullptr;
        it = flows.emplace(kb, live_flow{fg, ip, 0, {id[0], id[1]}, cc, 0, 0}).first;
        n_counter_inc(stats.ss_created);
        if (o == nullptr) n_counter_inc(stats.ss_unowned);
        if (o != nullptr) appids[o->appid]++;
    }
    if (it->second.seen == scan_no) return;  // the same pair twice in one scan
    it->second.seen = scan_no;
    flows_seen++;
    store_values(it->second, s, d);
}

const char *const table_names[AST_COUNT] = {"tcp", "tcp6", "udp", "udp6"};

// A socket the scan keeps.
void add_socket(void *, const struct agent_sock *s) {
    if (s->as_proto == IPPROTO_TCP && s->as_state == 0x0A) {  // listening
        listening.insert(s->as_sport);
        return;
    }
    uint64_t inode = s->as_inode;
    if (inode == 0) {
        // Closed by its owner, the socket still delivers what it holds
        // (a server's last megabytes): it goes on as the connection it
        // was.  Half-open ones and those never seen are left out.  The
        // inodes known are still the last scan's: resolve_owners has not
        // run yet.
        if (s->as_cookie == 0) return;
        if (cookie_scan != scan_no) {
            cookie_scan = scan_no;
            cookie_inodes.clear();
            for (const auto &[ino, e] : inodes)
                if (e.cookie != 0) cookie_inodes[e.cookie] = ino;
        }
        auto it = cookie_inodes.find(s->as_cookie);
        if (it == cookie_inodes.end()) return;
        inode = it->second;
    }
    socks.push_back(*s);
    socks.back().as_inode = inode;
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
// True when TCP came from the diagnostics, with the kernel's figures.
bool collect(const char *proc) {
    static const int texts[AGENT_DIAG_DUMPS][2] = {
        {AST_TCP, AST_TCP6}, {AST_UDP, -1}, {AST_UDP6, -1}};
    bool tcp_figures = false;
    socks.clear();
    listening.clear();
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
        if (d == AGENT_DIAG_TCP) tcp_figures = ok && agent_diag_ext != 0;
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
    return tcp_figures;
}

std::string export_path(void) {
    return std::string(agent_cfg->ac_logdir) + "/" + AGENT_SOCKETS_EXPORT_FILE;
}

// The file of the file export: a file that has reached the bound when a
// record is to be written is renamed ".1" (replacing the one before) and a
// new one is begun, which the interval then gives the store's lists again
// (the lists themselves are never cut).  Runs under the store's locks: it
// must not call the store.
void export_fn(void *state, void *obj, int) {
    const uint16_t kind = static_cast<struct kvmd_export_state *>(state)->kind;
    if (export_file != nullptr && (kind == KVMD_EXP_IP || kind == KVMD_EXP_FGCC) &&
        ftell(export_file) >= export_max) {
        fclose(export_file);
        export_file = nullptr;
        rename(export_path().c_str(), (export_path() + ".1").c_str());
        export_resnap = true;
    }
    if (export_file == nullptr && agent_cfg != nullptr && agent_cfg->ac_logdir != nullptr)
        export_file = fopen(export_path().c_str(), "we");
    if (export_file == nullptr) return;
    kv_metadata_dump(export_file, obj, kind);
    fputc('\n', export_file);
    fflush(export_file);
    n_counter_set(stats.ss_export_bytes, uint64_t(ftell(export_file)));
}
struct kv_export export_desc = {0, export_fn, {}};

// The store's file export as configured.  Switching it on writes the
// store's lists (FGCC records, then IP records) first: a new file, and a
// file begun by the bound, starts with them.
void export_switch(void) {
    const bool on = kv_metadata_file_export_on() != 0;
    if (on && export_resnap) kv_metadata_file_export_toggle();  // off, and on below
    export_resnap = false;
    if (export_wanted != (kv_metadata_file_export_on() != 0)) {
        if (export_wanted && export_file == nullptr && agent_cfg != nullptr &&
            agent_cfg->ac_logdir != nullptr)
            rename(export_path().c_str(), (export_path() + ".1").c_str());  // the last run's
        kv_metadata_file_export_toggle();
        fgcc_since = ticks;  // the lists hold every record so far
    }
    if (!export_wanted && export_file != nullptr) {
        fclose(export_file);
        export_file = nullptr;
    }
}

void count_exported(void *arg, struct kv_metadata *) {
    (*static_cast<uint64_t *>(arg))++;
}

void write_fgcc(void *, void *item, int kind, int) {
    if (kind != 9) return;  // its connection entries are part of its text
    struct kvmd_export_state st = {};
    st.kind = KVMD_EXP_FGCC;
    export_fn(&st, item, KVMD_EXPORT_SOURCE);
}

// The consumer: what the last cycle published.  With the file export on,
// the FGCC records that noted a connection since its last run go to the
// file (the store itself writes the IP records as they change).  Records
// left without flow groups go after that.
void consume(void) {
    uint64_t n = 0;
    kv_metadata_export_list(KVMD_T_FLOWGROUP, &n, count_exported);
    for (auto &[appid, count] : appids)
        kv_metadata_export_app_flowgroups(appid, 0, KVMD_T_FLOWGROUP, &n, count_exported);
    n_counter_set(stats.ss_exported, n);
    if (kv_metadata_file_export_on()) {
        uint64_t newest = fgcc_since, since = fgcc_since;
        kv_dpi_data_export_unowned(&since, nullptr, write_fgcc);
        newest = std::max(newest, since);
        for (auto &[appid, count] : appids) {
            since = fgcc_since;
            kv_dpi_data_export(&since, appid, nullptr, write_fgcc);
        }
        fgcc_since = std::max(newest, since);
    }
    for (auto it = fgccs.begin(); it != fgccs.end();) {
        if (it->second.refs > 0) {
            ++it;
            continue;
        }
        kv_dpi_data_destroy(it->second.rec);
        it = fgccs.erase(it);
    }
    n_counter_set(stats.ss_fgcc, uint64_t(fgccs.size()));
}

void tick(void *) {
    agent_sockets_interval(proc_root);
    callout_reset(&tick_callout, scan_usec, tick, nullptr);
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
    const bool tcp_figures = collect(proc);
    cookie_inodes.clear();
    resolve_owners(proc);
    flows_seen = 0;
    for (const struct agent_sock &s : socks)
        track(s);
    tcp_figures_seen = tcp_figures_seen || tcp_figures;
    // Flow groups whose socket has gone, when there are any.
    for (auto it = flows.begin(); flows_seen < flows.size() && it != flows.end();) {
        if (it->second.seen == scan_no) {
            ++it;
            continue;
        }
        flow_release(it->second);
        n_counter_inc(stats.ss_destroyed);
        it = flows.erase(it);
    }
    agent_apps_scan_end(ticks);
    const int n = int(socks.size());
    n_counter_inc(stats.ss_scans);
    n_counter_set(stats.ss_sockets, uint64_t(n));
    n_counter_set(stats.ss_flowgroups, uint64_t(flows.size()));
    n_counter_set(stats.ss_ip_records, uint64_t(ips.size()));
    n_counter_set(stats.ss_v6_ids, uint64_t(v6_by_id.size()));
    n_counter_set(stats.ss_apps, uint64_t(agent_apps_count()));
    n_counter_set(stats.ss_scan_usec, timestamp_now_usec() - t0);
    return n;
}

void agent_sockets_interval(const char *proc) {
    agent_sockets_scan(proc);
    kv_metadata_store_update();
    if (kvmd_store.update_cycle != last_cycle) {
        last_cycle = kvmd_store.update_cycle;
        consume();
    }
    export_switch();
}

void agent_sockets_configure(unsigned scan_ms, bool file_export, unsigned export_kb) {
    scan_usec =
        int(std::clamp(scan_ms, AGENT_SOCKETS_SCAN_MIN_MS, AGENT_SOCKETS_SCAN_MAX_MS) * 1000);
    export_wanted = file_export;
    export_max =
        long(std::clamp(export_kb, AGENT_SOCKETS_EXPORT_MIN_KB, AGENT_SOCKETS_EXPORT_MAX_KB)) *
        1024;
}

void agent_sockets_start(const char *proc) {
    proc_root = proc;
    kv_export_register(&export_desc);
    if (agent_cfg != nullptr) agent_cfg->ac_flow_dpi_md = 1;  // FGCC records note connections
    if (agent_apps_start() != 0 || kv_register(&stats_head) != 0 ||
        netctl_register_vars("agent.sockets.stats", &stats_head, &stats, 0, nullptr) != 0)
        tr_log(1, TR_ERROR, "agent_sockets_start: agent.sockets.stats not published");
    callout_init(&tick_callout);
    callout_reset(&tick_callout, 1000, tick, nullptr);
}

void agent_sockets_clear(void) {
    for (auto &f : flows)
        flow_release(f.second);
    flows.clear();
    for (auto &[key, cc] : fgccs)
        kv_dpi_data_destroy(cc.rec);
    fgccs.clear();
    procs.clear();
    inodes.clear();
    cookie_inodes.clear();
    v6_next = 0;
    agent_apps_stop();
    agent_diag_close();
    tcp_figures_seen = false;
    n_counter_set(stats.ss_flowgroups, uint64_t{0});
    n_counter_set(stats.ss_ip_records, uint64_t{0});
    n_counter_set(stats.ss_v6_ids, uint64_t{0});
    n_counter_set(stats.ss_fgcc, uint64_t{0});
}

void agent_sockets_stop(void) {
    callout_stop(&tick_callout);
    agent_sockets_clear();
    if (kv_metadata_file_export_on()) kv_metadata_file_export_toggle();
    if (export_file != nullptr) fclose(export_file);
    export_file = nullptr;
}

const struct agent_sockets_stats *agent_sockets_stats_block(void) {
    return &stats;
}
