// Fuzz target: the control socket's handling of one request, from the
// received header to the last response, against a tree with vars leaves,
// writable and read-only element leaves, and a table node with instances.
//
// Input: up to 132 bytes taken as a received netctl_msg header, the rest
// zero, as netctl_recv_request takes them.  Responses go to a respond
// function that checks each one: a body within the data buffer and its
// 16-bit length, whole 224-byte records with names that end within their
// buffers, or one 224-byte block beginning with a name for a names listing.
// It also hands each record response to the log dump's respond function.
// The string copies in records are released by the request handling itself
// (LeakSanitizer would report any that were not), and no record carries an
// address: the value of a string or address-list record is 0.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstddef>
#include <cstring>
#include <string>

#include "core/kv.h"
#include "core/logging.h"
#include "core/netctl/netctl_sock.h"
#include "core/netctl/netctl_vars.h"
#include "core/nmem.h"
#include "fuzz_support.h"

namespace fz_req {

struct stats {
    uint64_t st_packets;
    uint32_t st_flows;
    uint16_t st_port;
    char st_mark;
    char *st_label;                  // nmem string
    struct sockaddr_in *st_servers;  // address list
};

struct kv_var stats_vars[] = {
    {"packets", KV_T_U64, 0, 8, 0, 0, offsetof(stats, st_packets)},
    {"flows", 0x1120 | KV_T_U32, 0, 4, 0, 0, offsetof(stats, st_flows)},
    {"port", KV_T_U16, 0, 2, 0, 0, offsetof(stats, st_port)},
    {"mark", KV_T_CHAR, 0, 1, 0, 0, offsetof(stats, st_mark)},
    {"label", KV_T_STRING, 0, 8, 0, 0, offsetof(stats, st_label)},
    {"servers", KV_T_IPV4_LIST, 0, 40, 0, 0, offsetof(stats, st_servers)},
    {"nothing", KV_T_NONE, 0, 0, 0, 0, 0},
};
struct kv_head stats_head = {"fzstats", 0, 0, 7, {}, 0, nullptr, stats_vars, nullptr, nullptr, {}};

// The most variables a vars leaf may have: 146 records fill 32,704 bytes.
constexpr int BIG_VARS = 146;
struct kv_var big_vars[BIG_VARS];
uint32_t big_block[BIG_VARS];
struct kv_head big_head = {"fzbig", 0, 0, BIG_VARS, {}, 0, nullptr, big_vars, nullptr, nullptr, {}};

struct kv_var elem_rw = {"rw", KV_T_U32, 0, 4, 0, 0, 0};
struct kv_var elem_ro = {"ro", KV_T_U64, KVF_RDONLY, 8, 0, 0, 8};
struct kv_var elem_str = {"str", KV_T_STRING, KVF_RDONLY, 8, 0, 0, 16};
uint64_t elem_block[3];

struct sockaddr_in servers[3];
struct stats base_stats;

// Instances of the table node "fz.apps.*": the last name is long enough
// that paths through it no longer fit a name buffer.
struct app {
    const char *name;
    struct stats st;
};
struct app apps[] = {{"one", {}}, {"two", {}}, {"x", {}}, {nullptr, {}}};
std::string long_name(100, 'L');
struct app default_app = {"default", {}};

int apps_parse(struct netctl_node *, const char *name, int len, void **instance) {
    if (len < 2 || name[0] != '.') return 0;
    int n = 1;
    while (n < len && name[n] != '.')
        n++;
    for (struct app &a : apps)
        if (size_t(n - 1) == strlen(a.name) && memcmp(name + 1, a.name, size_t(n - 1)) == 0) {
            *instance = &a;
            return n;
        }
    return 0;
}

int apps_list(struct netctl_node *np, void *data, netctl_walk_fn cb, struct netctl_req *req,
              void *) {
    for (struct app &a : apps) {
        memset(data, 0, KV_RECORD_SIZE);
        snprintf(static_cast<char *>(data), NETCTL_NAME_MAX, "%s", a.name);
        if (cb(np, data, req, &a) == -1) return -1;
    }
    return 0;
}

int apps_iterate(struct netctl_node *np, void *data, netctl_visit_fn visit,
                 struct netctl_walk_ctx *ctx) {
    for (struct app &a : apps) {
        snprintf(static_cast<char *>(data), NETCTL_NAME_MAX, ".%s", a.name);
        ctx->nwc_instance = &a;
        if (visit(np, data, ctx) == -1) return -1;
    }
    return 0;
}

const struct netctl_node_ops apps_ops = {apps_parse, apps_list, apps_iterate, nullptr};

void fill(struct stats &s, uint64_t seed, const char *label) {
    s.st_packets = seed * 1000003;
    s.st_flows = uint32_t(seed * 7);
    s.st_port = uint16_t(seed);
    s.st_mark = char('a' + seed % 26);
    s.st_label = seed % 3 == 0 ? nullptr : n_strdup(label);
    s.st_servers = seed % 2 == 0 ? servers : nullptr;
}

// Builds the tree, unless it is already there (the replay test runs other
// targets that empty the tree in between).
void setup() {
    static bool once = [] {
        tr_set_echo(0);
        for (int i = 0; i < BIG_VARS; i++) {
            snprintf(big_vars[i].kv_name, KV_NAME_LEN, "v%03d", i);
            big_vars[i].kv_type = KV_T_U32;
            big_vars[i].kv_size = 4;
            big_vars[i].kv_offset = uint16_t(i * 4);
            big_block[i] = uint32_t(i);
        }
        for (int i = 0; i < 3; i++)
            servers[i].sin_addr.s_addr = htonl(0x0a000001u + uint32_t(i));
        apps[3].name = long_name.c_str();
        fill(base_stats, 1, "base");
        fill(default_app.st, 2, "default");
        for (size_t i = 0; i < 4; i++)
            fill(apps[i].st, i + 3, apps[i].name);
        char *s = n_strdup("element string");
        memcpy(&elem_block[2], &s, sizeof(s));
        return true;
    }();
    (void)once;
    struct netctl_node *np = netctl_lookup(nullptr, "fz.stats", 8, 0);
    if (np->nctl_leaf != nullptr && np->nctl_leaf->nl_desc.kh == &stats_head) return;
    FZ_CHECK(netctl_register_vars("fz.stats", &stats_head, &base_stats, 0, nullptr) == 0);
    FZ_CHECK(netctl_register_vars("fz.big.stats", &big_head, big_block, 0, nullptr) == 0);
    FZ_CHECK(netctl_register_elem("fz.elem.rw", &elem_rw, elem_block, nullptr) == 0);
    FZ_CHECK(netctl_register_elem("fz.elem.ro", &elem_ro, elem_block, nullptr) == 0);
    FZ_CHECK(netctl_register_elem("fz.elem.str", &elem_str, elem_block, nullptr) == 0);
    FZ_CHECK(netctl_register_node("fz.apps.*", &apps_ops) == 0);
    FZ_CHECK(netctl_register_vars("fz.apps.*.stats", &stats_head, &default_app,
                                  int32_t(offsetof(app, st)), nullptr) == 0);
    FZ_CHECK(netctl_register_vars("fz.apps.*.more.stats", &stats_head, &default_app,
                                  int32_t(offsetof(app, st)), nullptr) == 0);
    FZ_CHECK(netctl_register_vars("core.kv.stats", &stats_head, &base_stats, 0, nullptr) == 0);
    FZ_CHECK(netctl_register_vars("core.kv", &stats_head, &base_stats, 0, nullptr) == 0);
}

int responses;
const char *request_name;

bool names_listing(const struct netctl_req *req) {
    return req->nr_op == NETCTL_OP_LIST && (req->nr_flags & NETCTL_F_NAMES);
}

bool terminated(const char *s, size_t n) {
    return memchr(s, '\0', n) != nullptr;
}

int check_response(struct netctl_req *req) {
    responses++;
    FZ_CHECK(req->nr_op >= NETCTL_OP_READ && req->nr_op <= NETCTL_OP_LIST);
    // A read answers with the request's own name (which a peer may fill to
    // all 128 bytes); a listing with the canonical path, which must end
    // within its buffer.
    if (req->nr_op == NETCTL_OP_LIST)
        FZ_CHECK(req->nr_name == req->nr_path && terminated(req->nr_path, NETCTL_NAME_MAX));
    else
        FZ_CHECK(req->nr_name == request_name);
    FZ_CHECK(req->nr_len <= NETCTL_DATA_SIZE && req->nr_len <= UINT16_MAX);
    if (req->nr_op == NETCTL_OP_WRITE) FZ_CHECK(req->nr_len == 0);
    if (req->nr_len == 0) return 0;
    FZ_CHECK(req->nr_len % KV_RECORD_SIZE == 0);
    const auto *r = reinterpret_cast<const struct kv_record *>(req->nr_data);
    // No address of this process leaves it: a string or address-list record
    // carries 0 as its value, whatever the request asked.  (A names block
    // begins with a name and is zero where a record has its type.)
    for (size_t i = 0; i < req->nr_len / KV_RECORD_SIZE; i++) {
        unsigned t = kv_value_type(r[i].kr_type);
        if (t == KV_T_STRING || t == KV_T_IPV4_LIST) FZ_CHECK(r[i].kr_value.u64 == 0);
        if (req->nr_flags & NETCTL_F_TEXT)
            FZ_CHECK(terminated(r[i].kr_name + NETCTL_TEXT_OFF, NETCTL_TEXT_SIZE));
    }
    if (names_listing(req) && req->nr_len == KV_RECORD_SIZE) {
        // One block that begins with a name (or one record of a leaf).
        FZ_CHECK(terminated(req->nr_data, NETCTL_NAME_MAX));
        return 0;
    }
    for (size_t i = 0; i < req->nr_len / KV_RECORD_SIZE; i++) {
        FZ_CHECK(terminated(r[i].kr_name, sizeof(r[i].kr_name)));
        FZ_CHECK(terminated(r[i].kr_head, sizeof(r[i].kr_head)));
    }
    if (!names_listing(req)) FZ_CHECK(netctl_log_records(req) == 0);
    return 0;
}

int one_input(const uint8_t *data, size_t size) {
    setup();
    static struct netctl_req req;
    struct netctl_msg msg;
    memset(&msg, 0, sizeof(msg));
    memcpy(&msg, data, size < sizeof(msg) ? size : sizeof(msg));
    char name[NETCTL_NAME_MAX + 1];
    memcpy(name, msg.nm_name, NETCTL_NAME_MAX);
    name[NETCTL_NAME_MAX] = '\0';
    memset(&req, 0, sizeof(req));
    req.nr_fd = -1;
    req.nr_name = name;
    req.nr_op = msg.nm_op;
    req.nr_flags = msg.nm_flags;
    req.nr_respond = check_response;
    req.nr_datap = req.nr_data;
    responses = 0;
    request_name = name;
    FZ_CHECK(netctl_process_request(&req) == 0);
    if (msg.nm_op == NETCTL_OP_NONE || msg.nm_op > NETCTL_OP_LIST) FZ_CHECK(responses == 0);
    if (msg.nm_op == NETCTL_OP_READ || msg.nm_op == NETCTL_OP_WRITE) FZ_CHECK(responses <= 1);
    return 0;
}

}  // namespace fz_req

int fz_run_netctl_request(const uint8_t *data, size_t size) {
    return fz_req::one_input(data, size);
}

FZ_DRIVER(fz_run_netctl_request)
