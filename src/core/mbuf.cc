// mbuf: the packet buffer pool and buffer operations.
#include "core/mbuf.h"

#include <cstring>

#include "core/logging.h"
#include "core/nassert.h"
#include "core/nmem.h"
#include "core/sysinit.h"

struct nmem_pool *mbuf_pool;

struct nmem_pool *mbuf_pool_get(void) {
    return mbuf_pool;
}

void mbuf_mod_init(void *) {
    mbuf_pool = nmem_pool_create("mbuf", MBUF_POOL_COUNT, sizeof(struct mbuf), NMEM_ZERO);
    if (mbuf_pool == nullptr) {
        tr_log(1, TR_ERROR, "Failed to create mbuf pool");
        N_ASSERT(mbuf_pool != nullptr, "mbuf_pool != ((void *)0)");
    }
}
SYSINIT(mbuf_mod, "mbuf_mod", SI_SUB_MBUF, SI_ORDER_ANY, mbuf_mod_init, nullptr);

struct mbuf *m_alloc(void) {
    return static_cast<struct mbuf *>(nmem_alloc(sizeof(struct mbuf), NMEM_ZERO));
}

void m_flag_mismatch(const struct mbuf *m, bool pool) {
    tr_log(1, TR_ERROR, "m_free: buffer %p flagged %s but %s the pool",
           static_cast<const void *>(m), pool ? "heap" : "pool", pool ? "inside" : "outside");
}

void m_freem(struct mbuf *m) {
    while (m != nullptr) {
        struct mbuf *next = m->m_next;
        m_free(m);
        m = next;
    }
}

void m_pool_put(struct mbuf *m) {
    if (!mbuf_in_pool(mbuf_pool, m)) {
        tr_log(1, TR_ERROR, "m_pool_put: buffer %p is not a pool buffer", static_cast<void *>(m));
        return;
    }
    nmem_pool_free(mbuf_pool, m);
}

void m_adj(struct mbuf *m, int len) {
    if (m == nullptr || len < 0) return;
    N_ASSERT(m->_uh.m_hdr.mh_len >= len);
    m->_uh.m_hdr.mh_len -= len;
    uint32_t &plen = m->_uh.m_hdr.mh_pkthdr.ph_len;
    plen = plen >= uint32_t(len) ? plen - uint32_t(len) : 0;
    m->m_data += len;
}

int m_pkthdr_init(struct mbuf *m, uint32_t len) {
    struct pkthdr *ph = &m->_uh.m_hdr.mh_pkthdr;
    ph->ph_len = len;
    ph->ph_vlan = 0;
    ph->ph_rcvif = ph->ph_tstamp = ph->ph_flowid = ph->ph_csum = 0;
    return 0;
}

void mbuf_pool_destroy(void) {
    nmem_pool_destroy(mbuf_pool);
    mbuf_pool = nullptr;
}
