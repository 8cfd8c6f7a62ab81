// Packet buffers: the pool and the heap, freeing by address, trimming.
#include "core/mbuf.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/nmem.h"
#include "support/test_support.h"

namespace {

bool zeroed(const struct mbuf *m) {
    static const struct mbuf zero = {};
    // The flags aside, which m_get sets.
    struct mbuf copy = *m;
    copy._uh.m_hdr.mh_flags = 0;
    return memcmp(&copy, &zero, sizeof(zero)) == 0;
}

class Mbuf : public ::testing::Test {
  protected:
    void SetUp() override { mbuf_mod_init(nullptr); }
    void TearDown() override {
        if (mbuf_pool_get() != nullptr) mbuf_pool_destroy();
    }
};

TEST_F(Mbuf, PoolAndHeapBuffersGoBackWhereTheyCameFrom) {
    struct nmem_pool *np = mbuf_pool_get();
    struct mbuf *m[4];
    for (auto &x : m) {
        x = m_get();
        ASSERT_NE(x, nullptr);
        EXPECT_EQ(x->_uh.m_hdr.mh_flags, M_POOL);
        EXPECT_TRUE(zeroed(x));
        memset(x->_uh.m_pad, 0x5a, sizeof(x->_uh.m_pad));
    }
    EXPECT_EQ(m_get(), nullptr);
    EXPECT_EQ(np->np_alloc_failures, 1u);
    m_free(m[2]);
    struct mbuf *again = m_get();
    EXPECT_EQ(again, m[2]);
    EXPECT_EQ(again->_uh.m_hdr.mh_flags, M_POOL);
    EXPECT_TRUE(zeroed(again));

    uint64_t live = nmem_stats.ns_alloced_objs;
    struct mbuf *h = m_alloc();
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->_uh.m_hdr.mh_flags, 0u);
    EXPECT_TRUE(zeroed(h));
    // The address decides, the flag is only a cross-check: a heap buffer
    // flagged M_POOL goes to the heap, a pool buffer without it to the pool.
    h->_uh.m_hdr.mh_flags = M_POOL;
    m[0]->_uh.m_hdr.mh_flags = 0;
    std::string out = qt::echoed([&] {
        m_pool_put(h);  // refused
        m_free(h);
        m_free(m[0]);
        m_free(nullptr);
        m_freem(nullptr);
    });
    EXPECT_NE(out.find("ERROR m_pool_put: buffer"), std::string::npos) << out;
    EXPECT_NE(out.find("flagged pool but outside the pool"), std::string::npos) << out;
    EXPECT_NE(out.find("flagged heap but inside the pool"), std::string::npos) << out;
    EXPECT_EQ(nmem_stats.ns_alloced_objs, live);
    EXPECT_EQ(np->np_avail, 1u);

    // A chain of pool and heap buffers, freed whole.
    m[1]->m_next = m_alloc();
    m[1]->m_next->m_next = m[3];
    m_pool_put(again);  // without looking at the flag
    m_freem(m[1]);
    EXPECT_EQ(np->np_avail, 4u);
    EXPECT_EQ(nmem_stats.ns_alloced_objs, live);
    mbuf_pool_destroy();
    EXPECT_EQ(mbuf_pool_get(), nullptr);
    EXPECT_EQ(m_get(), nullptr);
}

TEST_F(Mbuf, TrimFromTheFront) {
    uint8_t bytes[1500];
    struct mbuf *m = m_get(), *next = m_get();
    m->m_next = next;
    next->_uh.m_hdr.mh_len = 100;
    struct {
        int32_t len;
        uint32_t pkt;
        int adj;
        int32_t want_len;
        uint32_t want_pkt;
    } cases[] = {
        {1500, 1500, 14, 1486, 1486}, {1500, 1500, 0, 1500, 1500}, {1500, 1500, -5, 1500, 1500},
        {60, 60, 60, 0, 0},           {20, 0, 14, 6, 0},           {20, 10, 14, 6, 0},
    };
    for (const auto &c : cases) {
        m->m_data = bytes;
        m->_uh.m_hdr.mh_len = c.len;
        m->_uh.m_hdr.mh_pkthdr.ph_rcvif = 7;
        m->_uh.m_hdr.mh_pkthdr.ph_vlan = 7;
        EXPECT_EQ(m_pkthdr_init(m, c.pkt), 0);
        EXPECT_EQ(m->_uh.m_hdr.mh_pkthdr.ph_rcvif + m->_uh.m_hdr.mh_pkthdr.ph_vlan, 0u);
        m_adj(m, c.adj);
        EXPECT_EQ(m->_uh.m_hdr.mh_len, c.want_len) << c.len << " " << c.adj;
        EXPECT_EQ(m->_uh.m_hdr.mh_pkthdr.ph_len, c.want_pkt) << c.len << " " << c.adj;
        EXPECT_EQ(m->m_data, bytes + (c.adj > 0 ? c.adj : 0));
        EXPECT_EQ(next->_uh.m_hdr.mh_len, 100);  // never the rest of the chain
    }
    m_adj(nullptr, 5);
    m->_uh.m_hdr.mh_len = 10;
    EXPECT_DEATH(m_adj(m, 11),
                 "src/core/mbuf.cc:[0-9]+: m_adj: Assertion `m->_uh.m_hdr.mh_len >= len'");
    EXPECT_DEATH(mbuf_pool_destroy(), "nmem_pool_destroy");
    m_freem(m);
}

}  // namespace
