// The one allocation of a control-socket request, the copy of a string
// value: when it fails the answer still goes out whole, the record carries
// no string, and nothing is leaked.  The request is served on this thread
// (where the failure is armed) over a socket pair.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/logging.h"
#include "core/ncounter.h"
#include "core/netctl/netctl_sock.h"
#include "core/netctl/netctl_vars.h"
#include "core/nmem.h"
#include "support/fail_alloc.h"
#include "support/test_support.h"

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

struct answer {
    int messages = 0;
    std::string name;
    std::vector<struct kv_record> recs;
};

// Serves one request for name on this thread with the allocation calls
// from the nth on failing (sticky) or only the nth; returns what a client
// read.
answer serve(const char *name, uint8_t op, long nth, bool sticky) {
    int sv[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    EXPECT_EQ(netctl_client_request(sv[0], name, op, 0), 0);
    if (sticky)
        qt::fail_alloc_from(nth);
    else
        qt::fail_alloc_nth(nth);
    EXPECT_EQ(netctl_recv_request(sv[1]), 0);
    EXPECT_FALSE(!sticky && qt::fail_alloc_pending()) << "no allocation number " << nth;
    qt::fail_alloc_nth(0);
    close(sv[1]);
    answer a;
    struct netctl_msg msg;
    char mname[NETCTL_NAME_MAX + 1];
    std::vector<char> body(65536);
    int rc;
    while ((rc = netctl_client_response(sv[0], &msg, mname, body.data(), body.size())) == 1) {
        a.messages++;
        a.name = mname;
        for (size_t off = 0; off + sizeof(struct kv_record) <= msg.nm_len; off += 224) {
            struct kv_record r;
            memcpy(&r, body.data() + off, sizeof(r));
            a.recs.push_back(r);
        }
    }
    EXPECT_EQ(rc, 0);
    close(sv[0]);
    return a;
}

TEST(NetctlAllocFail, FailedStringCopiesLeaveWholeAnswersAndNoLeak) {
    sblock = {n_strdup("zero"), n_strdup("one"), n_strdup("two"), 7};
    ASSERT_EQ(netctl_register_vars("str.stats", &shead, &sblock, 0, nullptr), 0);
    tr_set_echo(0);
    serve("str.stats", NETCTL_OP_LIST, 0, false);  // first use of the socket calls
    const size_t heap = mallinfo2().uordblks;
    const uint64_t objs = n_counter_get(nmem_stats.ns_alloced_objs);

    // Read-all: the n-th copy fails, the others are made.
    for (long nth = 1; nth <= 3; nth++) {
        answer a = serve("str.stats", NETCTL_OP_LIST, nth, false);
        ASSERT_EQ(a.messages, 1) << nth;
        EXPECT_EQ(a.name, "str.stats");
        ASSERT_EQ(a.recs.size(), 4u) << nth;
        for (long i = 0; i < 3; i++)
            EXPECT_EQ(a.recs[i].kr_value.str == nullptr, i == nth - 1) << nth << " " << i;
        EXPECT_EQ(a.recs[3].kr_value.u32, 7u);
    }
    // No memory at all: still one whole answer, and one for a single read.
    answer a = serve("str.stats", NETCTL_OP_LIST, 1, true);
    ASSERT_EQ(a.recs.size(), 4u);
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(a.recs[i].kr_value.str, nullptr);
    a = serve("str.stats.s1", NETCTL_OP_READ, 1, true);
    ASSERT_EQ(a.recs.size(), 1u);
    EXPECT_STREQ(a.recs[0].kr_name, "s1");
    EXPECT_STREQ(a.recs[0].kr_head, "strhead");
    EXPECT_EQ(a.recs[0].kr_value.str, nullptr);

    a = answer{};
    // The copies that were made went back; nothing else was taken.
    EXPECT_EQ(mallinfo2().uordblks, heap);
    EXPECT_EQ(n_counter_get(nmem_stats.ns_alloced_objs), objs);
    a = serve("str.stats.s2", NETCTL_OP_READ, 0, false);
    ASSERT_EQ(a.recs.size(), 1u);
    EXPECT_NE(a.recs[0].kr_value.str, nullptr);

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
