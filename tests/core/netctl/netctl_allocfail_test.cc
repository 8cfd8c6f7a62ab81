// The one allocation of a control-socket request, the copy of a string
// value: when it fails the answer still goes out whole, the record carries
// no string, and nothing is leaked.  The request is served on this thread
// (where the failure is armed) over a socket pair.
#include <gmock/gmock.h>
#include <malloc.h>
#include <sys/socket.h>

#include "core/logging.h"
#include "core/ncounter.h"
#include "core/netctl/sock_fixture.h"
#include "support/fail_alloc.h"

namespace {

using ::testing::HasSubstr;

struct strs {
    char *s0, *s1, *s2;
    uint32_t n;
};
struct kv_var svars[] = {{"s0", KV_T_STRING, 0, 8, 0, 0, offsetof(strs, s0)},
                         {"s1", KV_T_STRING, 0, 8, 0, 0, offsetof(strs, s1)},
                         {"s2", KV_T_STRING, 0, 8, 0, 0, offsetof(strs, s2)},
                         {"n", KV_T_U32, 0, 4, 0, 0, offsetof(strs, n)}};
struct kv_head shead = {"strhead", 0, 0, 4, {}, 0, nullptr, svars, nullptr, nullptr, {}};
strs sblock;

// Serves one request for name on this thread with the allocation calls
// from the nth on failing (sticky) or only the nth; returns the one answer
// a client read and its records.
std::vector<struct kv_record> serve(const char *name, uint8_t op, long nth, bool sticky) {
    int sv[2], rc = -1;
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    EXPECT_EQ(netctl_client_request(sv[0], name, op, 0), 0);
    sticky ? qt::fail_alloc_from(nth) : qt::fail_alloc_nth(nth);
    EXPECT_EQ(netctl_recv_request(sv[1]), 0);
    EXPECT_FALSE(!sticky && qt::fail_alloc_pending()) << "no allocation number " << nth;
    qt::fail_alloc_nth(0);
    close(sv[1]);
    auto rs = sockt::read_replies(sv[0], &rc);
    close(sv[0]);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(rs.size(), 1u) << nth;
    std::vector<struct kv_record> recs;
    for (size_t i = 0; rs.size() == 1 && i < rs[0].records(); i++)
        recs.push_back(rs[0].rec(i));
    EXPECT_TRUE(rs.size() != 1 || rs[0].name == name);
    return recs;
}

TEST(NetctlAllocFail, FailedStringCopiesLeaveWholeAnswersAndNoLeak) {
    sblock = {n_strdup("zero"), n_strdup("one"), n_strdup("two"), 7};
    ASSERT_EQ(netctl_register_vars("str.stats", &shead, &sblock, 0, nullptr), 0);
    tr_set_echo(0);
    // First use of the socket calls; freed chunks that the allocator caches
    // per thread count as in use, so its caches are filled first.
    for (int i = 0; i < 8; i++)
        serve("str.stats", NETCTL_OP_LIST, 0, false),
            serve("str.stats.s2", NETCTL_OP_READ, 0, false);
    const size_t heap = mallinfo2().uordblks;
    const uint64_t objs = n_counter_get(nmem_stats.ns_alloced_objs);

    // Read-all: the n-th copy fails, the others are made.
    for (long nth = 1; nth <= 3; nth++) {
        auto recs = serve("str.stats", NETCTL_OP_LIST, nth, false);
        ASSERT_EQ(recs.size(), 4u) << nth;
        for (long i = 0; i < 3; i++)
            EXPECT_EQ(recs[i].kr_value.str == nullptr, i == nth - 1) << nth << " " << i;
        EXPECT_EQ(recs[3].kr_value.u32, 7u);
    }
    // No memory at all: still one whole answer, and one for a single read.
    auto recs = serve("str.stats", NETCTL_OP_LIST, 1, true);
    ASSERT_EQ(recs.size(), 4u);
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(recs[i].kr_value.str, nullptr);
    recs = serve("str.stats.s1", NETCTL_OP_READ, 1, true);
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_STREQ(recs[0].kr_name, "s1");
    EXPECT_STREQ(recs[0].kr_head, "strhead");
    EXPECT_EQ(recs[0].kr_value.str, nullptr);

    std::vector<struct kv_record>().swap(recs);  // its memory too
    // The copies that were made went back; nothing else was taken.
    EXPECT_EQ(mallinfo2().uordblks, heap);
    EXPECT_EQ(n_counter_get(nmem_stats.ns_alloced_objs), objs);
    recs = serve("str.stats.s2", NETCTL_OP_READ, 0, false);
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_NE(recs[0].kr_value.str, nullptr);

    // The log dump shows an empty value for a copy it could not make.
    std::string out = qt::echoed([] {
        qt::FailAlloc f(2);
        netctl_dump_to_log();
    });
    EXPECT_THAT(out, HasSubstr(" INFO str.stats.s0 = zero\n"));
    EXPECT_THAT(out, HasSubstr(" INFO str.stats.s1 = \n"));
    EXPECT_THAT(out, HasSubstr(" INFO str.stats.s2 = two\n"));
}

}  // namespace
