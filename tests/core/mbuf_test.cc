// Packet buffers: the pool and the heap, freeing by address, trimming.
#include "core/mbuf.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/nmem.h"
#include "support/test_support.h"

namespace {

// Zero but for the flags, which m_get sets.
bool zeroed(const struct mbuf *m) {
    static const struct mbuf zero = {};
    struct mbuf copy = *m;
    copy._uh.m_hdr.mh_flags = 0;
    return memcmp(&copy, &zero, sizeof(zero)) == 0;
}

TEST(Mbuf, PoolAndHeapBuffersGoBackWhereTheyCameFrom) {
    mbuf_mod_init(nullptr);
    struct nmem_pool *np = mbuf_pool_get();
    struct mbuf *m[4];
    for (auto &x : m) {
        ASSERT_NE(x = m_get(), nullptr);
        EXPECT_TRUE(x->_uh.m_hdr.mh_flags == M_POOL && zeroed(x));
        memset(x->_uh.m_pad, 0x5a, sizeof(x->_uh.m_pad));
    }
    EXPECT_EQ(m_get(), nullptr);
    EXPECT_EQ(np->np_alloc_failures, 1u);
    m_free(m[2]);
    EXPECT_EQ(m_get(), m[2]);
    EXPECT_TRUE(m[2]->_uh.m_hdr.mh_flags == M_POOL && zeroed(m[2]));

    uint64_t live = nmem_stats.ns_alloced_objs;
    struct mbuf *h = m_alloc();
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(h->_uh.m_hdr.mh_flags == 0 && zeroed(h));
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
    for (const char *s : {"ERROR m_pool_put: buffer", "flagged pool but outside the pool",
                          "flagged heap but inside the pool"})
        EXPECT_NE(out.find(s), std::string::npos) << s << "\n" << out;
    EXPECT_EQ(nmem_stats.ns_alloced_objs, live);
    EXPECT_EQ(np->np_avail, 1u);
    // A chain of pool and heap buffers, freed whole.
    m[1]->m_next = m_alloc();
    m[1]->m_next->m_next = m[3];
    m_pool_put(m[2]);
    m_freem(m[1]);
    EXPECT_EQ(np->np_avail, 4u);
    EXPECT_EQ(nmem_stats.ns_alloced_objs, live);
    mbuf_pool_destroy();
    EXPECT_EQ(mbuf_pool_get(), nullptr);
    EXPECT_EQ(m_get(), nullptr);
}

TEST(Mbuf, TrimFromTheFront) {
    mbuf_mod_init(nullptr);
    uint8_t bytes[1500];
    struct mbuf *m = m_get(), *next = m_get();
    m->m_next = next;
    next->_uh.m_hdr.mh_len = 100;
    // (mh_len, packet length, trim, mh_len after, packet length after)
    const int cases[][5] = {
        {1500, 1500, 14, 1486, 1486}, {1500, 1500, 0, 1500, 1500}, {1500, 1500, -5, 1500, 1500},
        {60, 60, 60, 0, 0},           {20, 0, 14, 6, 0},           {20, 10, 14, 6, 0}};
    for (const auto &c : cases) {
        m->m_data = bytes;
        m->_uh.m_hdr.mh_len = c[0];
        m->_uh.m_hdr.mh_pkthdr.ph_rcvif = m->_uh.m_hdr.mh_pkthdr.ph_vlan = 7;
        EXPECT_EQ(m_pkthdr_init(m, uint32_t(c[1])), 0);
        EXPECT_EQ(m->_uh.m_hdr.mh_pkthdr.ph_rcvif + m->_uh.m_hdr.mh_pkthdr.ph_vlan, 0u);
        m_adj(m, c[2]);
        EXPECT_EQ(m->_uh.m_hdr.mh_len, c[3]) << c[0] << " " << c[2];
        EXPECT_EQ(m->_uh.m_hdr.mh_pkthdr.ph_len, uint32_t(c[4])) << c[0] << " " << c[2];
        EXPECT_EQ(m->m_data, bytes + (c[2] > 0 ? c[2] : 0));
        EXPECT_EQ(next->_uh.m_hdr.mh_len, 100);  // never the rest of the chain
    }
    m_adj(nullptr, 5);
    m->_uh.m_hdr.mh_len = 10;
    EXPECT_DEATH(m_adj(m, 11),
                 "src/core/mbuf.cc:[0-9]+: m_adj: Assertion `m->_uh.m_hdr.mh_len >= len'");
    EXPECT_DEATH(mbuf_pool_destroy(), "nmem_pool_destroy");
    m_freem(m);
    mbuf_pool_destroy();
}

}  // namespace
