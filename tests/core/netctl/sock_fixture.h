// Shared by the control socket tests and the tool tests: a tree of test
// variables, a server in the test process, and a client that asks one
// question and collects every response.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/agent_config.h"
#include "core/ncounter.h"
#include "core/netctl/netctl_sock.h"
#include "core/netctl/netctl_vars.h"
#include "core/nmem.h"
#include "support/test_support.h"

namespace sockt {

// "core.test.stats": one variable of every type.
struct tstats {
    uint32_t hits;
    uint16_t small;
    int8_t letter;
    uint64_t bytes;
    char *label;
    struct sockaddr_in *addrs;
};
inline struct kv_var tvars[] = {
    {"hits", KV_T_U32, 0, 4, 0, 0, offsetof(tstats, hits)},
    {"small", KV_T_U16, 0, 2, 0, 0, offsetof(tstats, small)},
    {"letter", KV_T_CHAR, 0, 1, 0, 0, offsetof(tstats, letter)},
    {"bytes", KV_T_U64, 0, 8, 0, 0, offsetof(tstats, bytes)},
    {"label", KV_T_STRING, 0, 8, 0, 0, offsetof(tstats, label)},
    {"addrs", KV_T_IPV4_LIST, 0, 32, 0, 0, offsetof(tstats, addrs)},
    {"nothing", KV_T_NONE, 0, 0, 0, 0, 0},
};
inline constexpr int TVARS = sizeof(tvars) / sizeof(tvars[0]);
inline struct kv_head thead = {"teststats", 0,     0,       TVARS,   {}, 0,
                               nullptr,     tvars, nullptr, nullptr, {}};
inline struct sockaddr_in taddrs[2];
inline tstats tblock;
inline tstats tsub;  // "core.test.stats.sub", a leaf below a leaf
inline std::string tlabel(300, 'L');

// "core.elem": an element leaf.
inline uint32_t elem_count = 7;
inline struct kv_var elem_var = {"count", KV_T_U32, KVF_RDONLY, 4, 0, 0, 0};

// "big.b0" .. "big.b9": the largest block a leaf may have, ten times over.
inline constexpr int BIG_VARS = 146, BIG_LEAVES = 10;
inline struct kv_var big_vars[BIG_VARS];
inline struct kv_head big_head = {"bighead", 0,        0,       BIG_VARS, {}, 0,
                                  nullptr,   big_vars, nullptr, nullptr,  {}};
inline uint64_t big_blocks[BIG_LEAVES][BIG_VARS];

// Registers the tree once: core.nmem.stats, core.test.stats,
// core.test.stats.sub, core.elem, big.b0 .. big.b9, in that order.
inline void register_test_tree() {
    static bool done;
    if (done) return;
    done = true;
    nmem_mod_init(nullptr);
    inet_pton(AF_INET, "10.0.0.1", &taddrs[0].sin_addr);
    inet_pton(AF_INET, "192.168.1.2", &taddrs[1].sin_addr);
    for (size_t i = 0; i < tlabel.size(); i++)
        tlabel[i] = char('A' + i % 26);
    tblock = {42, 65535, 'Q', uint64_t{1} << 40, n_strdup(tlabel.c_str()), taddrs};
    tsub = {1, 2, 'x', 3, nullptr, nullptr};
    ASSERT_EQ(netctl_register_vars("core.test.stats", &thead, &tblock, 0, nullptr), 0);
    ASSERT_EQ(netctl_register_vars("core.test.stats.sub", &thead, &tsub, 0, nullptr), 0);
    ASSERT_EQ(netctl_register_elem("core.elem", &elem_var, &elem_count, nullptr), 0);
    for (int i = 0; i < BIG_VARS; i++) {
        snprintf(big_vars[i].kv_name, KV_NAME_LEN, "v%d", i);
        big_vars[i].kv_type = KV_T_U64;
        big_vars[i].kv_size = 8;
        big_vars[i].kv_offset = uint16_t(i * 8);
    }
    for (int l = 0; l < BIG_LEAVES; l++) {
        for (int i = 0; i < BIG_VARS; i++)
            big_blocks[l][i] = uint64_t(l * 1000 + i);
        std::string name = "big.b" + std::to_string(l);
        ASSERT_EQ(netctl_register_vars(name.c_str(), &big_head, big_blocks[l], 0, nullptr), 0);
    }
}

inline bool wait_for(const std::function<bool()> &cond, int ms = 3000) {
    for (int i = 0; i < ms; i++) {
        if (cond()) return true;
        usleep(1000);
    }
    return cond();
}

// A run directory, made current in agent_cfg, and the server on it.
struct server {
    qt::TempDir dir;
    struct agent_config cfg = {};
    std::string rundir = dir.path();
    std::string sock = dir / NETCTL_SOCK_NAME;

    void start() {
        cfg.ac_rundir = rundir.data();
        agent_cfg = &cfg;
        netctl_mod_init(nullptr);
        ASSERT_TRUE(wait_for([&] { return qt::file_exists(sock); })) << sock;
    }
    void stop() { netctl_mod_fini(nullptr); }
};

struct reply {
    std::string name;
    std::vector<char> body;

    size_t records() const { return body.size() / sizeof(struct kv_record); }
    struct kv_record rec(size_t i) const {
        struct kv_record r;
        memcpy(&r, body.data() + i * sizeof(r), sizeof(r));
        return r;
    }
    // The NUL-terminated text at the start of a names block.
    std::string text() const { return std::string(body.data(), strnlen(body.data(), body.size())); }
};

// Reads every response on fd; rc is 0, or the failure of the last read.
inline std::vector<reply> read_replies(int fd, int *rc = nullptr) {
    std::vector<reply> out;
    static thread_local char body[65536];
    struct netctl_msg msg;
    char name[NETCTL_NAME_MAX + 1];
    int r;
    while ((r = netctl_client_response(fd, &msg, name, body, sizeof(body))) == 1)
        out.push_back({name, std::vector<char>(body, body + msg.nm_len)});
    if (rc != nullptr) *rc = r;
    return out;
}

// One request, every response.  A failure to connect, send or read is a
// test failure.
inline std::vector<reply> ask(const std::string &sock, const std::string &name, uint8_t op,
                              uint8_t flags = 0) {
    int fd = netctl_client_connect(sock.c_str(), 5000);
    EXPECT_GE(fd, 0) << strerror(-fd);
    if (fd < 0) return {};
    EXPECT_EQ(netctl_client_request(fd, name.c_str(), op, flags), 0);
    int rc;
    auto out = read_replies(fd, &rc);
    EXPECT_EQ(rc, 0) << strerror(-rc);
    close(fd);
    return out;
}

inline std::vector<std::string> names_of(const std::vector<reply> &rs) {
    std::vector<std::string> out;
    for (const auto &r : rs)
        out.push_back(r.name);
    return out;
}

inline int count_dir(const char *path) {
    DIR *d = opendir(path);
    if (d == nullptr) return -1;
    int n = 0;
    while (struct dirent *e = readdir(d))
        if (e->d_name[0] != '.') n++;
    closedir(d);
    return n;
}
inline int count_fds() {
    return count_dir("/proc/self/fd") - 1;
}  // without opendir's own
inline int count_threads() {
    return count_dir("/proc/self/task");
}

}  // namespace sockt
