// mbuf: fixed-size packet buffer records, from a small pool or the heap.
//
// A buffer describes a piece of packet data (data pointer and length) and
// can be chained through m_next.  Buffers come from the 4-buffer "mbuf"
// pool (m_get, flagged M_POOL) or from the guarded heap (m_alloc); m_free
// returns each to where it came from, which it tells by the buffer's
// address (inside the pool's items block or not), with M_POOL as a
// cross-check.  One thread at a time; no locks.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/nmem.h"

inline constexpr uint32_t M_POOL = 0x40;  // the buffer came from the mbuf pool
inline constexpr int MBUF_POOL_COUNT = 4;

// The packet header: the packet length and five fields the packet code
// fills.
struct pkthdr {
    uint32_t ph_len;  // packet length
    uint16_t ph_vlan;
    uint64_t ph_rcvif;
    uint64_t ph_tstamp;
    uint64_t ph_flowid;
    uint64_t ph_csum;
};

struct m_hdr {
    int32_t mh_len;     // data bytes in this buffer
    uint32_t mh_flags;  // M_POOL
    struct pkthdr mh_pkthdr;
};

struct mbuf {
    struct mbuf *m_next;     // next buffer of the chain, or null
    struct mbuf *m_nextpkt;  // for the packet code that fills buffers
    void *m_cookie;          // for the packet code that fills buffers
    uint8_t *m_data;         // start of this buffer's data
    union {
        struct m_hdr m_hdr;
        uint8_t m_pad[96];
    } _uh;
};
static_assert(offsetof(struct mbuf, m_data) == 24 && offsetof(struct mbuf, _uh) == 32);
static_assert(sizeof(struct mbuf) == 128, "packet buffer record is 128 bytes");

// Start-up step of mbuf_mod: creates the pool (a failure stops the process).
void mbuf_mod_init(void *arg);
// The pool.  It lives here, not in the source file, only so that m_get and
// m_free can be inlined into their callers; no other code touches it.
extern struct nmem_pool *mbuf_pool;

// Is m one of the pool's buffers?  Decided by its address alone: inside the
// items block (a pointer into the block that is not an object's start is
// caught by the pool's guard check on free).
inline bool mbuf_in_pool(const struct nmem_pool *np, const struct mbuf *m) {
    if (np == nullptr) return false;
    uintptr_t off = reinterpret_cast<uintptr_t>(m) - sizeof(struct nmem_hdr) -
                    reinterpret_cast<uintptr_t>(np->np_items);
    return off <= np->np_last;
}

// A zeroed pool buffer flagged M_POOL, or null when the pool is empty.
inline struct mbuf *m_get(void) {
    auto *m = static_cast<struct mbuf *>(nmem_pool_alloc(mbuf_pool));
    if (m != nullptr) m->_uh.m_hdr.mh_flags = M_POOL;
    return m;
}
// A zeroed heap buffer, or null.
struct mbuf *m_alloc(void);

// Logs a buffer whose M_POOL flag disagrees with its address.
void m_flag_mismatch(const struct mbuf *m, bool pool);
// Frees one buffer to the pool or the heap; null does nothing.
inline void m_free(struct mbuf *m) {
    if (m == nullptr) return;
    struct nmem_pool *np = mbuf_pool;
    bool pool = mbuf_in_pool(np, m);
    if (__builtin_expect(pool != ((m->_uh.m_hdr.mh_flags & M_POOL) != 0), 0))
        m_flag_mismatch(m, pool);
    if (__builtin_expect(pool, 1))
        nmem_pool_free(np, m);
    else
        nmem_free(m);
}
// Frees a chain; null does nothing.
void m_freem(struct mbuf *m);
// Returns a pool buffer to the pool whatever its flag; a buffer that is not
// the pool's is refused with an ERROR.
void m_pool_put(struct mbuf *m);
// Trims len bytes from the front of this buffer (never the rest of the
// chain).  Null or a negative len does nothing; more than mh_len stops the
// process.  The packet length never goes below zero.
void m_adj(struct mbuf *m, int len);
// Sets the packet length and clears the other packet header fields; 0.
int m_pkthdr_init(struct mbuf *m, uint32_t len);
// Destroys the pool (stops the process if a pool buffer is still out).
void mbuf_pool_destroy(void);
// The pool, or null (for statistics and tests).
struct nmem_pool *mbuf_pool_get(void);
