// kv registry: registration, the three tables, variable access, printing.
#include "core/kv.h"

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/logging.h"
#include "core/nmem.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

template <class F>
std::string echoed(F fn) {
    testing::internal::CaptureStdout();
    tr_set_echo(1);
    fn();
    fflush(stdout);
    tr_set_echo(0);
    return testing::internal::GetCapturedStdout();
}

void echo_to_stderr() {
    fflush(stdout);
    tr_set_echo(1);
    dup2(2, 1);
}

struct kv_var var(const char *name, uint16_t type, uint8_t size, uint16_t offset) {
    struct kv_var v = {};
    strncpy(v.kv_name, name, sizeof(v.kv_name));
    v.kv_type = type;
    v.kv_size = size;
    v.kv_offset = offset;
    return v;
}

struct kv_head head(const char *name, struct kv_var *vars, uint16_t nvars, uint16_t size) {
    struct kv_head kh = {};
    strncpy(kh.kh_name, name, sizeof(kh.kh_name));
    kh.kh_vars = vars;
    kh.kh_nvars = nvars;
    kh.kh_size = size;
    return kh;
}

// A statistics block with every value type.
struct block {
    int8_t c;
    uint16_t u16;
    uint32_t u32;
    uint64_t u64;
    char *str;
    struct sockaddr_in *addrs;
};

struct kv_var block_vars[] = {
    var("c", KV_T_CHAR, 1, offsetof(block, c)),
    var("u16", KV_T_U16, 2, offsetof(block, u16)),
    var("u32", KV_T_U32, 4, offsetof(block, u32)),
    var("u64", 0x1120 | KV_T_U64, 8, offsetof(block, u64)),
    var("str", KV_T_STRING, 8, offsetof(block, str)),
    var("addrs", KV_T_IPV4_LIST, 32, offsetof(block, addrs)),
};
enum { V_C, V_U16, V_U32, V_U64, V_STR, V_ADDRS };

TEST(KvRegister, OffsetMapsFollowTheVariableOrder) {
    struct kv_var in_order[] = {var("a", KV_T_U32, 4, 0), var("b", KV_T_U32, 4, 4),
                                var("c", KV_T_U32, 4, 8)};
    struct kv_head kh = head("ordered", in_order, 3, 12);
    ASSERT_EQ(kv_register(&kh), 0);
    ASSERT_NE(kh.kh_map, nullptr);
    EXPECT_EQ(nmem_hdr_of(kh.kh_map)->nh_size, 9u);
    EXPECT_EQ(kh.kh_map[0], 0);
    EXPECT_EQ(kh.kh_map[4], 1);
    EXPECT_EQ(kh.kh_map[8], 2);
    ASSERT_NE(kh.kh_data, nullptr);
    EXPECT_EQ(nmem_hdr_of(kh.kh_data)->nh_size, 12u);
    EXPECT_EQ(kv_head_first(), &kh);

    // Offsets out of order: the length grows past the largest offset.
    struct kv_var shuffled[] = {var("a", KV_T_U32, 4, 8), var("b", KV_T_U32, 4, 0),
                                var("c", KV_T_U32, 4, 4)};
    struct kv_head kh2 = head("shuffled", shuffled, 3, 12);
    ASSERT_EQ(kv_register(&kh2), 0);
    EXPECT_EQ(nmem_hdr_of(kh2.kh_map)->nh_size, 11u);
    EXPECT_EQ(kh2.kh_map[8], 0);
    EXPECT_EQ(kh2.kh_map[0], 1);
    EXPECT_EQ(kh2.kh_map[4], 2);
    // Newest first.
    EXPECT_EQ(kv_head_first(), &kh2);
    EXPECT_EQ(kv_head_next(&kh2), &kh);

    uint64_t live = nmem_stats.ns_alloced_objs;
    kv_unregister(&kh2);
    kv_unregister(&kh);
    EXPECT_EQ(nmem_stats.ns_alloced_objs, live - 4);
    EXPECT_EQ(kh.kh_map, nullptr);
    EXPECT_EQ(kh.kh_data, nullptr);
    EXPECT_EQ(kv_head_first(), nullptr);
}

TEST(KvRegister, SizeZeroAndEmptyHeads) {
    // A head of size 0 keeps the block its module gave it, before and after.
    static uint32_t own_block[2];
    struct kv_var v[] = {var("x", KV_T_U32, 4, 4)};
    struct kv_head kh = head("own", v, 1, 0);
    kh.kh_data = own_block;
    ASSERT_EQ(kv_register(&kh), 0);
    EXPECT_EQ(kh.kh_data, own_block);
    kv_unregister(&kh);
    EXPECT_EQ(kh.kh_data, own_block);

    // No variables: an empty map, registered all the same.
    struct kv_head empty = head("empty", nullptr, 0, 0);
    ASSERT_EQ(kv_register(&empty), 0);
    ASSERT_NE(empty.kh_map, nullptr);
    EXPECT_EQ(nmem_hdr_of(empty.kh_map)->nh_size, 0u);
    EXPECT_EQ(kv_head_first(), &empty);
    kv_unregister(&empty);
}

TEST(KvRegister, TwiceIsRefusedAndUnregisterTwiceIsHarmless) {
    struct kv_var v[] = {var("x", KV_T_U32, 4, 0)};
    struct kv_head kh = head("twice", v, 1, 4);
    ASSERT_EQ(kv_register(&kh), 0);
    void *data = kh.kh_data;
    int rc = 0;
    std::string out = echoed([&] { rc = kv_register(&kh); });
    EXPECT_EQ(rc, -1);
    EXPECT_THAT(out, HasSubstr("ERROR kv_register: twice already registered"));
    EXPECT_EQ(kh.kh_data, data);  // the first registration's block is kept
    EXPECT_EQ(kv_head_next(&kh), nullptr);
    uint64_t live = nmem_stats.ns_alloced_objs;
    kv_unregister(&kh);
    kv_unregister(&kh);  // would free the block and the map again
    EXPECT_EQ(nmem_stats.ns_alloced_objs, live - 2);
    EXPECT_EQ(kv_head_first(), nullptr);
}

TEST(KvTables, OpsSlotKeepsTheFirstRegistration) {
    static const struct kv_ops first = {}, second = {};
    kv_register_ops(3, &first);
    std::string out = echoed([] { kv_register_ops(3, &second); });
    EXPECT_THAT(out, HasSubstr(" ERROR kv_register_ops: error kv_ops already registered\n"));
    struct kv_head kh = head("typed", nullptr, 0, 0);
    kh.kh_type = 3;
    ASSERT_EQ(kv_register(&kh), 0);
    EXPECT_EQ(kh.kh_ops, &first);
    // Unregistering the ops leaves the head's copy; the head's own
    // unregistration clears it.
    kv_unregister_ops(3);
    EXPECT_EQ(kh.kh_ops, &first);
    kv_unregister(&kh);
    EXPECT_EQ(kh.kh_ops, nullptr);
    kv_register_ops(3, &second);
    kv_unregister_ops(3);
}

void export_fn(void *, void *, int) {}

TEST(KvTables, ExportCopiesAreDistinctAndOwnedByTheCaller) {
    std::string out = echoed([] { EXPECT_EQ(kv_get_export(2), nullptr); });
    EXPECT_EQ(out, "");
    static struct kv_export kexp = {2, export_fn, {}};
    kv_export_register(&kexp);
    struct kv_export *a = kv_get_export(2);
    struct kv_export *b = kv_get_export(2);
    ASSERT_TRUE(a && b);
    EXPECT_NE(a, b);
    EXPECT_NE(a, &kexp);
    EXPECT_EQ(a->ke_type, 2);
    EXPECT_EQ(a->ke_fn, &export_fn);
    // Owners chain their copies into lists of their own.
    kv_export_list list;
    list.init();
    list.insert_head(a);
    list.insert_head(b);
    EXPECT_EQ(list.first(), b);
    EXPECT_EQ(kv_export_list::next(b), a);
    nmem_free(a);
    nmem_free(b);
    kv_export_unregister(&kexp);
    EXPECT_EQ(kv_get_export(2), nullptr);
    // A descriptor that lost its function is not handed out.
    static struct kv_export nofn = {4, export_fn, {}};
    kv_export_register(&nofn);
    nofn.ke_fn = nullptr;
    EXPECT_EQ(kv_get_export(4), nullptr);
    kv_export_unregister(&nofn);
}

TEST(KvTables, SamplesAfterModuleStart) {
    kv_mod_init(nullptr);
    struct kv_sample *s1 = kv_get_sample(1);
    EXPECT_EQ(s1->ks_type, 1);
    EXPECT_EQ(s1->ks_samples, 60);
    EXPECT_EQ(s1->ks_interval, 1000000u);
    EXPECT_EQ(kv_get_sample(2)->ks_interval, 60000000u);
    static struct kv_sample mine = {3, 10, {}, 250000, nullptr};
    kv_sample_register(&mine);
    EXPECT_EQ(kv_get_sample(3), &mine);
    kv_sample_unregister(&mine);
}

TEST(KvVarArray, ZeroedAndReleased) {
    uint64_t live = nmem_stats.ns_alloced_objs;
    struct kv_var *vars = kv_var_array_alloc(3);
    ASSERT_NE(vars, nullptr);
    EXPECT_EQ(nmem_hdr_of(vars)->nh_size, 3 * sizeof(struct kv_var));
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(vars[i].kv_name[0], 0);
    kv_var_array_free(vars);
    EXPECT_EQ(nmem_stats.ns_alloced_objs, live);
}

TEST(KvAccess, ReadEveryTypeIntoRecords) {
    struct sockaddr_in addrs[2] = {};
    char text[] = "hello";
    block b = {-5, 65000, 4000000000u, 0x123456789abcdefull, text, addrs};
    struct kv_record r = {};
    kv_read_data(&block_vars[V_C], &b, &r);
    EXPECT_STREQ(r.kr_name, "c");
    EXPECT_EQ(r.kr_value.c, -5);
    EXPECT_EQ(r.kr_size, 1);
    kv_read_data(&block_vars[V_U16], &b, &r);
    EXPECT_EQ(r.kr_value.u16, 65000);
    kv_read_data(&block_vars[V_U32], &b, &r);
    EXPECT_EQ(r.kr_value.u32, 4000000000u);
    kv_read_data(&block_vars[V_U64], &b, &r);
    EXPECT_EQ(r.kr_value.u64, 0x123456789abcdefull);
    EXPECT_EQ(r.kr_type, 0x1124);  // upper bits travel along
    EXPECT_EQ(r.kr_head[0], 0);    // only kv_read_index names the head

    // An address list: the pointer, not the addresses.
    kv_read_data(&block_vars[V_ADDRS], &b, &r);
    EXPECT_EQ(r.kr_value.addrs, addrs);
    EXPECT_EQ(r.kr_size, 32);

    // A string: a copy that the holder of the record releases with free().
    kv_read_data(&block_vars[V_STR], &b, &r);
    ASSERT_NE(r.kr_value.str, nullptr);
    EXPECT_NE(r.kr_value.str, text);
    EXPECT_STREQ(r.kr_value.str, "hello");
    char *copy = r.kr_value.str;
    // A null string leaves the record's value as it was.
    b.str = nullptr;
    kv_read_data(&block_vars[V_STR], &b, &r);
    EXPECT_EQ(r.kr_value.str, copy);
    kv_record_release(&r, 1);
    EXPECT_EQ(r.kr_value.str, nullptr);
    kv_record_release(&r, 1);  // released once only

    // Type none copies the name and nothing else.
    struct kv_var none = var("none", KV_T_NONE, 0, 0);
    r.kr_value.u64 = 77;
    kv_read_data(&none, &b, &r);
    EXPECT_STREQ(r.kr_name, "none");
    EXPECT_EQ(r.kr_value.u64, 77u);
}

TEST(KvAccess, UnalignedFieldsAndFullLengthNames) {
    // A packed block: the u32 and the u64 sit at odd offsets.
    unsigned char raw[16] = {};
    uint32_t v32 = 0xdeadbeef;
    uint64_t v64 = 0x0102030405060708ull;
    memcpy(raw + 1, &v32, 4);
    memcpy(raw + 5, &v64, 8);
    struct kv_var v[] = {var("odd32", KV_T_U32, 4, 1), var("odd64", KV_T_U64, 8, 5)};
    // A name that fills all 64 bytes without a NUL.
    memset(v[1].kv_name, 'n', sizeof(v[1].kv_name));
    struct kv_record r;
    memset(&r, 0xAA, sizeof(r));
    kv_read_data(&v[0], raw, &r);
    EXPECT_EQ(r.kr_value.u32, 0xdeadbeefu);
    kv_read_data(&v[1], raw, &r);
    EXPECT_EQ(r.kr_value.u64, v64);
    EXPECT_EQ(strlen(r.kr_name), 64u);

    struct kv_record w = {};
    w.kr_value.u32 = 0x11223344;
    kv_write_data(&v[0], raw, &w);
    memcpy(&v32, raw + 1, 4);
    EXPECT_EQ(v32, 0x11223344u);
    EXPECT_EQ(raw[0], 0);
    EXPECT_EQ(raw[5], 0x08);  // the neighbour is untouched
}

TEST(KvAccess, WriteEachWidthAndReplaceStrings) {
    block b = {};
    struct kv_record r = {};
    r.kr_value.u64 = 0xffffffffffffff41ull;
    kv_write_data(&block_vars[V_C], &b, &r);
    EXPECT_EQ(b.c, 0x41);
    kv_write_data(&block_vars[V_U16], &b, &r);
    EXPECT_EQ(b.u16, 0xff41);
    EXPECT_EQ(b.c, 0x41);
    kv_write_data(&block_vars[V_U32], &b, &r);
    EXPECT_EQ(b.u32, 0xffffff41u);
    kv_write_data(&block_vars[V_U64], &b, &r);
    EXPECT_EQ(b.u64, 0xffffffffffffff41ull);

    uint64_t live = nmem_stats.ns_alloced_objs, frees = nmem_stats.ns_frees;
    char first[] = "first";
    r.kr_value.str = first;
    kv_write_data(&block_vars[V_STR], &b, &r);
    ASSERT_NE(b.str, nullptr);
    EXPECT_NE(b.str, first);
    EXPECT_STREQ(b.str, "first");
    EXPECT_EQ(nmem_stats.ns_alloced_objs, live + 1);
    char second[] = "second";
    r.kr_value.str = second;
    kv_write_data(&block_vars[V_STR], &b, &r);
    EXPECT_STREQ(b.str, "second");
    EXPECT_EQ(nmem_stats.ns_alloced_objs, live + 1);  // the old string went back
    EXPECT_EQ(nmem_stats.ns_frees, frees + 1);
    // Writing the variable's own string back copies it before the old one
    // goes.
    r.kr_value.str = b.str;
    kv_write_data(&block_vars[V_STR], &b, &r);
    EXPECT_STREQ(b.str, "second");
    // A null string clears the variable.
    r.kr_value.str = nullptr;
    kv_write_data(&block_vars[V_STR], &b, &r);
    EXPECT_EQ(b.str, nullptr);
    EXPECT_EQ(nmem_stats.ns_alloced_objs, live);
}

TEST(KvAccess, ReadIndexAndAddWrapAtTheVariableWidth) {
    block b = {};
    struct kv_head kh = head("blk", block_vars, 6, 0);
    struct kv_record r = {};
    b.u16 = 65535;
    kv_read_index(&kh, V_U16, &b, &r);
    EXPECT_STREQ(r.kr_head, "blk");
    EXPECT_STREQ(r.kr_name, "u16");
    b.u16 = 1;
    EXPECT_EQ(kv_read_index_add(&kh, V_U16, &b, &r), 0);
    EXPECT_EQ(r.kr_value.u16, 0);

    r.kr_value.u64 = 0;
    r.kr_value.c = 127;
    b.c = 2;
    kv_read_index_add(&kh, V_C, &b, &r);
    EXPECT_EQ(r.kr_value.c, -127);
    EXPECT_EQ(r.kr_value.u64 >> 8, 0u);  // nothing carried past the byte

    r.kr_value.u64 = 0;
    r.kr_value.u32 = 0xfffffff0u;
    b.u32 = 0x20;
    kv_read_index_add(&kh, V_U32, &b, &r);
    EXPECT_EQ(r.kr_value.u64, 0x10u);

    r.kr_value.u64 = 0xfffffffffffffffeull;
    b.u64 = 3;
    kv_read_index_add(&kh, V_U64, &b, &r);
    EXPECT_EQ(r.kr_value.u64, 1u);

    struct kv_record init;
    memset(&init, 0x55, sizeof(init));
    kv_record_init(&kh, V_U64, &init);
    EXPECT_STREQ(init.kr_name, "u64");
    EXPECT_STREQ(init.kr_head, "blk");
    EXPECT_EQ(init.kr_type, 0x1124);
    EXPECT_EQ(init.kr_value.u64, 0x5555555555555555ull);
}

TEST(KvPrint, RecordsFormOneCommaSeparatedLine) {
    struct kv_head kh = head("blk", block_vars, 6, 0);
    char text[] = "txt";
    struct sockaddr_in addrs[2] = {};
    block b = {'Z', 7, 8, 9, text, addrs};
    struct kv_record r[6] = {};
    for (int i = 0; i < 6; i++)
        kv_read_index(&kh, i, &b, &r[i]);
    char *buf = nullptr;
    size_t len = 0;
    FILE *f = open_memstream(&buf, &len);
    for (auto &rec : r)
        kv_print_record(&rec, f);
    struct kv_record none = {};
    kv_print_record(&none, f);
    fclose(f);
    EXPECT_EQ(std::string(buf, len), ",c:Z,u16:7,u32:8,u64:9,str:txt");
    free(buf);
    kv_record_release(r, 6);
}

TEST(KvLog, RecordsAsDebugLines) {
    struct sockaddr_in addrs[2] = {};
    addrs[0].sin_addr.s_addr = htonl(0x0a000001);  // 10.0.0.1
    addrs[1].sin_addr.s_addr = htonl(0xc0a80102);  // 192.168.1.2
    struct kv_record r[5] = {};
    strcpy(r[0].kr_name, "list");
    r[0].kr_type = KV_T_IPV4_LIST;
    r[0].kr_size = 20;  // a partial second entry still counts
    r[0].kr_value.addrs = addrs;
    strcpy(r[1].kr_name, "nul");
    r[1].kr_type = KV_T_CHAR;  // character 0: not logged
    strcpy(r[2].kr_name, "ch");
    r[2].kr_type = KV_T_CHAR;
    r[2].kr_value.c = 'q';
    strcpy(r[3].kr_name, "n");
    r[3].kr_type = KV_T_U64;
    r[3].kr_value.u64 = 18446744073709551615ull;
    strcpy(r[4].kr_name, "empty");
    r[4].kr_type = KV_T_IPV4_LIST;  // no array: nothing
    std::string out = echoed([&] { kv_log_records(5, r); });
    EXPECT_THAT(out, HasSubstr(" DEBUG list:IPv4 10.0.0.1\n"));
    EXPECT_THAT(out, HasSubstr(" DEBUG list:IPv4 192.168.1.2\n"));
    EXPECT_THAT(out, HasSubstr(" DEBUG ch:q\n"));
    EXPECT_THAT(out, HasSubstr(" DEBUG n:18446744073709551615\n"));
    EXPECT_THAT(out, Not(HasSubstr("nul:")));
    EXPECT_THAT(out, Not(HasSubstr("empty")));
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 4);
    EXPECT_EQ(echoed([&] { kv_log_records(0, r); }), "");
    EXPECT_EQ(echoed([&] { kv_log_records(-3, r); }), "");
}

using KvDeathTest = ::testing::Test;

TEST_F(KvDeathTest, AddressListsCannotBeWritten) {
    block b = {};
    struct kv_record r = {};
    EXPECT_DEATH(kv_write_data(&block_vars[V_ADDRS], &b, &r),
                 "src/core/kv.cc:[0-9]+: kv_write_data: Assertion `0' failed");
}

TEST_F(KvDeathTest, UnknownValueTypesStop) {
    block b = {};
    struct kv_record r = {};
    struct kv_var bad = var("bad", 7, 4, 0);
    struct kv_head kh = head("bad", &bad, 1, 0);
    EXPECT_DEATH(kv_read_data(&bad, &b, &r), "kv_read_data: Assertion `0' failed");
    EXPECT_DEATH(kv_write_data(&bad, &b, &r), "kv_write_data: Assertion `0' failed");
    EXPECT_DEATH(kv_read_index_add(&kh, 0, &b, &r), "kv_read_index_add: Assertion `0' failed");
    struct kv_head blk = head("blk", block_vars, 6, 0);
    EXPECT_DEATH(kv_read_index_add(&blk, V_ADDRS, &b, &r),
                 "kv_read_index_add: Assertion `0' failed");
    EXPECT_DEATH(
        {
            echo_to_stderr();
            kv_read_index_add(&blk, V_STR, &b, &r);
        },
        "ERROR \\[panic\\]: invalid type\n(.|\n)*kv_read_index_add: Assertion `0' failed");
}

TEST_F(KvDeathTest, TableIndexesOutOfRangeStop) {
    EXPECT_DEATH(kv_get_sample(3),
                 "kv_get_sample: Assertion "
                 "`global_sample_array\\[type\\] != \\(\\(void \\*\\)0\\)' failed");
    EXPECT_DEATH(kv_get_sample(11), "kv_get_sample: Assertion `type < KSAMPLE_T_LAST' failed");
    static struct kv_sample s = {11, 1, {}, 1, nullptr};
    EXPECT_DEATH(kv_sample_register(&s), "Assertion `ksa->ks_type < KSAMPLE_T_LAST' failed");
    EXPECT_DEATH(kv_sample_unregister(&s), "Assertion `ksa->ks_type < KSAMPLE_T_LAST' failed");
    EXPECT_DEATH(kv_register_ops(4, nullptr), "kv_register_ops: Assertion `type < 4' failed");
    EXPECT_DEATH(kv_unregister_ops(4), "kv_unregister_ops: Assertion `type < 4' failed");
    static struct kv_export nofn = {1, nullptr, {}};
    EXPECT_DEATH(kv_export_register(&nofn),
                 "kv_export_register: Assertion `kexp->ke_fn != \\(\\(void \\*\\)0\\)' failed");
    static struct kv_export far = {5, export_fn, {}};
    EXPECT_DEATH(kv_export_register(&far), "Assertion `kexp->ke_type < 5' failed");
    EXPECT_DEATH(kv_export_unregister(&far), "Assertion `kexp->ke_type < 5' failed");
    EXPECT_DEATH(kv_get_export(5), "kv_get_export: Assertion `type < 5' failed");
}

}  // namespace
