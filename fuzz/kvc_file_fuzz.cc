// Fuzz target: the configuration-file parser on arbitrary text, for a
// module whose block holds a variable of every configurable type, with a
// second module registered so that keys of another module are met too.
//
// Checked: every value stored is one the file could give (strings without
// newline or NUL, address lists of AF_INET entries within the variable's
// room, the rest of the block untouched), the counts add up, and every
// object the parser allocated is either in the block or released.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

#include "core/kv_config.h"
#include "core/kvc_file.h"
#include "core/logging.h"
#include "core/nmem.h"
#include "fuzz_support.h"

namespace fz_kvc {

struct conf {
    int8_t c;
    uint8_t guard1;
    uint16_t s;
    uint32_t w;
    uint64_t q;
    char *name;
    struct sockaddr_in *addrs;  // room for three
    uint64_t guard2;
};
struct kv_var vars[] = {
    {"c", KV_T_CHAR, 0, 1, 0, 0, offsetof(conf, c)},
    {"s", KV_T_U16, 0, 2, 0, 0, offsetof(conf, s)},
    {"w", KV_T_U32, 0, 4, 0, 0, offsetof(conf, w)},
    {"q", KV_T_U64, 0, 8, 0, 0, offsetof(conf, q)},
    {"name", KV_T_STRING, 0, 8, 0, 0, offsetof(conf, name)},
    {"addrs", KV_T_IPV4_LIST, 0, 48, 0, 0, offsetof(conf, addrs)},
    {"n", KV_T_NONE, 0, 0, 0, 0, 0},
};
struct kv_head head = {"m", 0, 0, 7, {}, 0, nullptr, vars, nullptr, nullptr, {}};
struct kv_head other = {"m.x", 0, 0, 1, {}, 0, nullptr, vars, nullptr, nullptr, {}};
struct kvc_reg reg = {0, 0, &head, nullptr, nullptr, nullptr, {}};
struct kvc_reg other_reg = {0, KVC_DONE, &other, nullptr, nullptr, nullptr, {}};

int run(const uint8_t *data, size_t size) {
    static bool registered;
    if (!registered) {
        tr_set_echo(0);  // the warnings are still formatted, not printed
        kvc_register(&other_reg);
        registered = true;
    }
    conf block;
    memset(&block, 0xab, sizeof(block));
    block.name = nullptr;
    block.addrs = nullptr;
    const conf before = block;
    uint64_t live = n_counter_get(nmem_stats.ns_alloced_objs);
    struct kvc_file_result res;
    kvc_file_parse(&reg, &block, "fuzz.conf", reinterpret_cast<const char *>(data), size, &res);

    FZ_CHECK(res.kfr_stored >= 0 && res.kfr_stored <= 6 && res.kfr_warnings >= 0);
    FZ_CHECK(res.kfr_missing == 0);
    FZ_CHECK(block.guard1 == before.guard1 && block.guard2 == before.guard2);
    uint64_t owned = 0;
    if (block.name != nullptr) {
        owned++;
        size_t n = nmem_hdr_of(block.name)->nh_size;
        FZ_CHECK(n >= 1 && strlen(block.name) == n - 1 && strchr(block.name, '\n') == nullptr);
        nmem_free(block.name);
    }
    if (block.addrs != nullptr) {
        owned++;
        FZ_CHECK(nmem_hdr_of(block.addrs)->nh_size == 48);
        FZ_CHECK(block.addrs[0].sin_family == AF_INET);
        for (int i = 0; i < 3; i++)
            FZ_CHECK(block.addrs[i].sin_port == 0 &&
                     (block.addrs[i].sin_family == AF_INET ||
                      (block.addrs[i].sin_family == 0 && block.addrs[i].sin_addr.s_addr == 0)));
        nmem_free(block.addrs);
    }
    FZ_CHECK(n_counter_get(nmem_stats.ns_alloced_objs) == live);
    (void)owned;
    return 0;
}

}  // namespace fz_kvc

int fz_run_kvc_file(const uint8_t *data, size_t size) {
    return fz_kvc::run(data, size);
}
FZ_DRIVER(fz_run_kvc_file)
