// kv registry: registration, tables, variable access and logging.
#include "core/kv.h"

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "core/logging.h"
#include "core/nmem.h"
#include "support/test_support.h"

namespace {

using ::testing::HasSubstr;


struct block {
    int8_t c;
    uint16_t u16;
    uint32_t u32;
    char *str;
    struct sockaddr_in *addrs;
};
struct kv_var bvars[] = {
    {"c", KV_T_CHAR, 0, 1, 0, 0, offsetof(block, c)},
    {"u16", KV_T_U16, 0, 2, 0, 0, offsetof(block, u16)},
    {"u32", 0x1120 | KV_T_U32, 0, 4, 0, 0, offsetof(block, u32)},
    {"str", KV_T_STRING, 0, 8, 0, 0, offsetof(block, str)},
    {"addrs", KV_T_IPV4_LIST, 0, 32, 0, 0, offsetof(block, addrs)},
};
struct kv_head bhead = {"blk", 0, 0, 5, {}, 0, nullptr, bvars, nullptr, nullptr, {}};

uint32_t map_len(const struct kv_head &kh) {
    return nmem_hdr_of(kh.kh_map)->nh_size;
}

TEST(KvRegister, MapsBlocksAndTheHeadList) {
    struct kv_var in_order[] = {
        {"a", 3, 0, 4, 0, 0, 0}, {"b", 3, 0, 4, 0, 0, 4}, {"c", 3, 0, 4, 0, 0, 8}};
    struct kv_var shuffled[] = {
        {"a", 3, 0, 4, 0, 0, 8}, {"b", 3, 0, 4, 0, 0, 0}, {"c", 3, 0, 4, 0, 0, 4}};
    struct kv_head h1 = {"h1", 0, 0, 3, {}, 12, nullptr, in_order, nullptr, nullptr, {}};
    struct kv_head h2 = {"h2", 0, 0, 3, {}, 0, nullptr, shuffled, nullptr, nullptr, {}};
    static char own[16];
    h2.kh_data = own;  // size 0: the module's own block
    uint64_t live = nmem_stats.ns_alloced_objs;
    ASSERT_EQ(kv_register(&h1), 0);
    ASSERT_EQ(kv_register(&h2), 0);
    EXPECT_EQ(map_len(h1), 9u);  // offsets 0, 4, 8
    EXPECT_EQ(h1.kh_map[0] + h1.kh_map[4] * 10 + h1.kh_map[8] * 100, 210);
    EXPECT_EQ(map_len(h2), 11u);  // offsets 8, 0, 4
    EXPECT_EQ(h2.kh_map[8] + h2.kh_map[0] * 10 + h2.kh_map[4] * 100, 210);
    EXPECT_EQ(h2.kh_data, own);
    EXPECT_EQ(kv_head_first(), &h2);  // newest first
    EXPECT_EQ(kv_head_next(&h2), &h1);

    // A second registration would loop the list: refused, first one kept.
    std::string out = qt::echoed([&] { EXPECT_EQ(kv_register(&h1), -1); });
    EXPECT_THAT(out, HasSubstr("ERROR kv_register: h1 already registered"));
    EXPECT_EQ(kv_head_next(&h1), nullptr);

    kv_unregister(&h1);
    kv_unregister(&h1);  // not registered any more: nothing freed twice
    kv_unregister(&h2);
    EXPECT_EQ(h2.kh_data, own);  // not the registry's to free
    EXPECT_EQ(kv_head_first(), nullptr);
    EXPECT_EQ(nmem_stats.ns_alloced_objs, live);
}

void export_fn(void *, void *, int) {}

TEST(KvTables, OpsKeepTheFirstAndExportsAreCopied) {
    static const struct kv_ops first = {}, second = {};
    kv_register_ops(3, &first);
    std::string out = qt::echoed([] { kv_register_ops(3, &second); });
    EXPECT_THAT(out, HasSubstr(" ERROR kv_register_ops: error kv_ops already registered\n"));
    struct kv_head kh = {"typed", 3, 0, 0, {}, 0, nullptr, nullptr, nullptr, nullptr, {}};
    ASSERT_EQ(kv_register(&kh), 0);
    EXPECT_EQ(kh.kh_ops, &first);
    kv_unregister(&kh);
    EXPECT_EQ(kh.kh_ops, nullptr);

    EXPECT_EQ(qt::echoed([] { EXPECT_EQ(kv_get_export(2), nullptr); }), "");
    static struct kv_export kexp = {2, export_fn, {}};
    kv_export_register(&kexp);
    struct kv_export *a = kv_get_export(2), *b = kv_get_export(2);
    ASSERT_TRUE(a && b);
    EXPECT_NE(a, b);
    EXPECT_EQ(a->ke_fn, &export_fn);
    nmem_free(a);
    nmem_free(b);
}

TEST(KvAccess, StringsAreCopiedReplacedAndReleased) {
    char text[] = "hello";
    block b = {};
    b.str = text;
    struct kv_record r = {};
    kv_read_data(&bvars[3], &b, &r);
    ASSERT_NE(r.kr_value.str, text);
    EXPECT_STREQ(r.kr_value.str, "hello");
    char *copy = r.kr_value.str;
    b.str = nullptr;
    kv_read_data(&bvars[3], &b, &r);  // null leaves the value as it was
    EXPECT_EQ(r.kr_value.str, copy);
    kv_record_release(&r, 1);
    EXPECT_EQ(r.kr_value.str, nullptr);

    uint64_t live = nmem_stats.ns_alloced_objs;
    r.kr_value.str = text;
    kv_write_data(&bvars[3], &b, &r);
    char second[] = "second";
    r.kr_value.str = second;
    kv_write_data(&bvars[3], &b, &r);  // the old string goes back
    EXPECT_STREQ(b.str, "second");
    EXPECT_EQ(nmem_stats.ns_alloced_objs, live + 1);
    r.kr_value.str = b.str;  // its own string: copied before the old goes
    kv_write_data(&bvars[3], &b, &r);
    EXPECT_STREQ(b.str, "second");
    r.kr_value.str = nullptr;
    kv_write_data(&bvars[3], &b, &r);
    EXPECT_EQ(b.str, nullptr);
    EXPECT_EQ(nmem_stats.ns_alloced_objs, live);
}

TEST(KvAccess, WidthsWrapAndUnalignedFieldsRead) {
    block b = {};
    struct kv_record r = {};
    b.u16 = 65535;
    kv_read_index(&bhead, 1, &b, &r);
    EXPECT_STREQ(r.kr_head, "blk");
    b.u16 = 1;
    kv_read_index_add(&bhead, 1, &b, &r);
    EXPECT_EQ(r.kr_value.u16, 0);
    r.kr_value.u64 = 127;
    b.c = 2;
    kv_read_index_add(&bhead, 0, &b, &r);
    EXPECT_EQ(r.kr_value.u64, 0x81u);  // 8-bit wrap, nothing carried

    unsigned char raw[16] = {};
    uint64_t v64 = 0x0102030405060708ull;
    memcpy(raw + 5, &v64, 8);
    struct kv_var odd = {"odd", KV_T_U64, 0, 8, 0, 0, 5};
    memset(odd.kv_name, 'n', sizeof(odd.kv_name));  // no NUL
    kv_read_data(&odd, raw, &r);
    EXPECT_EQ(r.kr_value.u64, v64);
    EXPECT_EQ(strlen(r.kr_name), 64u);
}

TEST(KvLog, AddressListLogsEveryStartedEntry) {
    struct sockaddr_in addrs[2] = {};
    addrs[0].sin_addr.s_addr = htonl(0x0a000001);
    addrs[1].sin_addr.s_addr = htonl(0xc0a80102);
    struct kv_record r = {};
    strcpy(r.kr_name, "list");
    r.kr_type = KV_T_IPV4_LIST;
    r.kr_size = 20;
    r.kr_value.addrs = addrs;
    std::string out = qt::echoed([&] { kv_log_records(1, &r); });
    EXPECT_THAT(out, HasSubstr(" DEBUG list:IPv4 10.0.0.1\n"));
    EXPECT_THAT(out, HasSubstr(" DEBUG list:IPv4 192.168.1.2\n"));
}

TEST(KvDeathTest, MisuseStops) {
    block b = {};
    struct kv_record r = {};
    EXPECT_DEATH(kv_write_data(&bvars[4], &b, &r),
                 "src/core/kv.cc:[0-9]+: kv_write_data: Assertion `0' failed");
    EXPECT_DEATH(
        {
            fflush(stdout);
            dup2(2, 1);
            kv_read_index_add(&bhead, 3, &b, &r);
        },
        "ERROR \\[panic\\]: invalid type\n(.|\n)*kv_read_index_add: Assertion `0' failed");
    kv_mod_init(nullptr);
    EXPECT_EQ(kv_get_sample(1)->ks_interval, 1000000u);
    EXPECT_EQ(kv_get_sample(2)->ks_samples, 60);
    EXPECT_DEATH(kv_get_sample(3),
                 "Assertion `global_sample_array\\[type\\] != \\(\\(void \\*\\)0\\)' failed");
}

}  // namespace
