// The allocations of a control-socket request, the copies of string values
// and the answer's own memory: a failed copy leaves a whole answer whose
// record has no text; without memory for the answer nothing is sent and the
// failure is logged; nothing is leaked either way.  The request is served on this thread
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

// Serves one request for name (values as text) on this thread with the
// allocation calls from the nth on failing (sticky) or only the nth;
// returns the records of the answers a client read (none when the answer
// could not be gathered).
std::vector<struct kv_record> serve(const char *name, uint8_t op, long nth, bool sticky,
                                    size_t answers = 1) {
    int sv[2], rc = -1;
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    EXPECT_EQ(netctl_client_request(sv[0], name, op, NETCTL_F_TEXT), 0);
    sticky ? qt::fail_alloc_from(nth) : qt::fail_alloc_nth(nth);
    EXPECT_EQ(netctl_recv_request(sv[1]), 0);
    EXPECT_FALSE(!sticky && qt::fail_alloc_pending()) << "no allocation number " << nth;
    qt::fail_alloc_nth(0);
    close(sv[1]);
    auto rs = sockt::read_replies(sv[0], &rc);
    close(sv[0]);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(rs.size(), answers) << nth;
    std::vector<struct kv_record> recs;
    for (size_t i = 0; rs.size() == 1 && i < rs[0].records(); i++)
        recs.push_back(rs[0].rec(i));
    EXPECT_TRUE(rs.size() != 1 || rs[0].name == name);
    return recs;
}

std::string text(struct kv_record &r) {
    return netctl_record_text(&r);
}

// Read-all with the n-th copy failing (the others are made); then the
// copies made but not the answer's memory, then no memory at all: nothing is
// sent, and the copies go back.
void failures() {
    for (long nth = 1; nth <= 3; nth++) {
        auto recs = serve("str.stats", NETCTL_OP_LIST, nth, false);
        ASSERT_EQ(recs.size(), 4u) << nth;
        const char *want[] = {"zero", "one", "two"};
        for (long i = 0; i < 3; i++)
            EXPECT_EQ(text(recs[i]), i == nth - 1 ? "" : want[i]) << nth << " " << i;
        EXPECT_EQ(recs[3].kr_value.u32, 7u);
    }
    std::string out = qt::echoed([] {
        serve("str.stats", NETCTL_OP_LIST, 4, false, 0);
        serve("str.stats.s1", NETCTL_OP_READ, 1, true, 0);
    });
    EXPECT_THAT(out, HasSubstr("ERROR netctl_process_request: answer for str.stats cut at 0 "
                               "bytes: alloc failed\n"));
    EXPECT_THAT(out, HasSubstr("answer for str.stats.s1 cut at 0 bytes: alloc failed\n"));
}

TEST(NetctlAllocFail, FailedCopiesLeaveWholeAnswersAndAFullAnswerIsCutWithoutLeaks) {
    sblock = {n_strdup("zero"), n_strdup("one"), n_strdup("two"), 7};
    ASSERT_EQ(netctl_register_vars("str.stats", &shead, &sblock, 0, nullptr), 0);
    tr_set_echo(0);
    // Two rounds fill the allocator's per-thread caches (freed chunks that
    // it caches count as in use); later rounds must take nothing more.
    failures();
    failures();
    const size_t heap = mallinfo2().uordblks;
    const uint64_t objs = n_counter_get(nmem_stats.ns_alloced_objs);
    failures();
    failures();
    EXPECT_EQ(mallinfo2().uordblks, heap);
    EXPECT_EQ(n_counter_get(nmem_stats.ns_alloced_objs), objs);

    auto recs = serve("str.stats.s2", NETCTL_OP_READ, 0, false);
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(text(recs[0]), "two");
    EXPECT_STREQ(recs[0].kr_head, "strhead");

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
