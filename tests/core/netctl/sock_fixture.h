// Shared by the control socket and tool tests: a tree of test variables, a
// server in the test process, and a client that collects every response.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/agent_config.h"
#include "core/netctl/netctl_sock.h"
#include "core/netctl/netctl_vars.h"
#include "core/nmem.h"
#include "support/test_support.h"

namespace sockt {

// "core.test.stats" (and "core.test.stats.sub"): one variable of each type.
struct tstats {
    uint32_t hits;
    uint16_t small;
    int8_t letter;
    uint64_t bytes;
    char *label;
    struct sockaddr_in *addrs;
};
inline struct kv_var tvars[] = {{"hits", KV_T_U32, 0, 4, 0, 0, offsetof(tstats, hits)},
                                {"small", KV_T_U16, 0, 2, 0, 0, offsetof(tstats, small)},
                                {"letter", KV_T_CHAR, 0, 1, 0, 0, offsetof(tstats, letter)},
                                {"bytes", KV_T_U64, 0, 8, 0, 0, offsetof(tstats, bytes)},
                                {"label", KV_T_STRING, 0, 8, 0, 0, offsetof(tstats, label)},
                                {"addrs", KV_T_IPV4_LIST, 0, 32, 0, 0, offsetof(tstats, addrs)},
                                {"nothing", KV_T_NONE, 0, 0, 0, 0, 0}};
inline constexpr int TVARS = 7;
inline struct kv_head thead = {"teststats", 0,     0,       TVARS,   {}, 0,
                               nullptr,     tvars, nullptr, nullptr, {}};
inline struct sockaddr_in taddrs[2];
inline tstats tblock, tsub = {1, 2, 'x', 3, nullptr, nullptr};
inline std::string tlabel(300, 'L');  // long enough that a leak of its copies shows
inline uint32_t elem_count = 7;
inline struct kv_var elem_var = {"count", KV_T_U32, KVF_RDONLY, 4, 0, 0, 0};
// "big.b0" .. "big.b9": the largest block a leaf may have (146 variables),
// ten times over: more than a socket buffer holds.
inline constexpr int BIG_VARS = 146, BIG_LEAVES = 10;
inline struct kv_var big_vars[BIG_VARS];
inline struct kv_head big_head = {"bighead", 0,        0,       BIG_VARS, {}, 0,
                                  nullptr,   big_vars, nullptr, nullptr,  {}};
inline uint64_t big_blocks[BIG_LEAVES][BIG_VARS];

// Registers, once and in this order: core.nmem.stats, core.test.stats,
// core.test.stats.sub, core.elem (an element leaf), big.b0 .. big.b9.
inline void register_test_tree() {
    static bool done;
    if (done) return;
    done = true;
    nmem_mod_init(nullptr);
    inet_pton(AF_INET, "10.0.0.1", &taddrs[0].sin_addr);
    inet_pton(AF_INET, "192.168.1.2", &taddrs[1].sin_addr);
    tblock = {42, 65535, 'Q', uint64_t{1} << 40, n_strdup(tlabel.c_str()), taddrs};
    netctl_register_vars("core.test.stats", &thead, &tblock, 0, nullptr);
    netctl_register_vars("core.test.stats.sub", &thead, &tsub, 0, nullptr);
    netctl_register_elem("core.elem", &elem_var, &elem_count, nullptr);
    for (int i = 0; i < BIG_VARS; i++) {
        big_vars[i] = {{}, KV_T_U64, 0, 8, 0, 0, uint16_t(i * 8)};
        snprintf(big_vars[i].kv_name, KV_NAME_LEN, "v%d", i);
        for (int l = 0; l < BIG_LEAVES; l++)
            big_blocks[l][i] = uint64_t(l * 1000 + i);
    }
    for (int l = 0; l < BIG_LEAVES; l++)
        netctl_register_vars(("big.b" + std::to_string(l)).c_str(), &big_head, big_blocks[l], 0,
                             nullptr);
}

// A run directory made current in agent_cfg, and the server on it.
struct server {
    qt::TempDir dir;
    struct agent_config cfg = {};
    std::string rundir = dir.path(), sock = dir / NETCTL_SOCK_NAME;

    void start() {
        cfg.ac_rundir = rundir.data();
        agent_cfg = &cfg;
        netctl_mod_init(nullptr);
        // The file appears at bind, a moment before the socket listens, and
        // a connection is taken a moment before the server's loop runs:
        // wait for an empty request's close.
        int fd = -1;
        for (int i = 0; i < 3000 && (fd = netctl_client_connect(sock.c_str(), 5000)) < 0; i++)
            usleep(1000);
        ASSERT_GE(fd, 0) << sock;
        shutdown(fd, SHUT_WR);
        char b;
        EXPECT_EQ(recv(fd, &b, 1, 0), 0);
        close(fd);
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
};

// Every response on fd; *rc is 0, or the failure that ended the reading.
inline std::vector<reply> read_replies(int fd, int *rc = nullptr) {
    std::vector<reply> out;
    std::vector<char> body(65536);
    struct netctl_msg msg;
    char name[NETCTL_NAME_MAX + 1];
    int r;
    while ((r = netctl_client_response(fd, &msg, name, body.data(), body.size())) == 1)
        out.push_back({name, std::vector<char>(body.data(), body.data() + msg.nm_len)});
    if (rc != nullptr) *rc = r;
    return out;
}

inline std::vector<reply> ask(const std::string &sock, const std::string &name, uint8_t op,
                              uint8_t flags = 0) {
    int fd = netctl_client_connect(sock.c_str(), 5000), rc = -1;
    EXPECT_GE(fd, 0) << strerror(-fd);
    EXPECT_EQ(netctl_client_request(fd, name.c_str(), op, flags), 0);
    auto out = read_replies(fd, &rc);
    EXPECT_EQ(rc, 0) << strerror(-rc);
    close(fd);
    return out;
}

}  // namespace sockt
