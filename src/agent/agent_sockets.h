// agent_sockets: the stand-in agent's feed of the metadata store from the
// host's own sockets.
//
// Once per update interval the agent reads the TCP and UDP socket tables,
// IPv4 and IPv6, from the kernel's socket diagnostics (agent_diag.h); a
// table that the diagnostics refuse is read from its text form
// (<proc>/net/tcp, tcp6, udp, udp6) instead.  Listening TCP sockets and
// sockets without an inode (time-wait, half-open) are left out.
//
// Socket inodes map to processes through <proc>/PID/fd, kept from scan to
// scan: descriptors are read only in a scan that finds a socket whose owner
// is not known.  Then every process whose descriptors were never read is
// read once; and, when a socket is new or its owner has gone, the known
// processes are read again, those that most recently owned a new socket
// first, until every such socket has its owner.  A socket still without one
// (kernel sockets, processes of other namespaces or that the agent may not
// read) is marked as nobody's and costs no further reading, so sockets
// without an owner cost one pass over the processes in the scan where they
// appear.  An owner is forgotten when its process goes; a socket handed to
// another process keeps its first owner while that lives.
//
// Each socket becomes a flow group keyed by its addresses, ports, protocol
// and owner: the owner's appid is a stable hash of its program name
// (<proc>/PID/comm, read with its descriptors), its pid the process id.  A
// socket whose owner cannot be read becomes an unowned flow group (appid 0,
// pid 0).  Each remote address gets an IP record while flow groups use it.
// Flow groups whose socket has gone are destroyed, and the update cycle
// publishes the interval.  A consumer then passes the IP records updated
// since its last run to the file export (export type 0), which writes their
// text form to <logdir>/qorv-netagent.metadata.
//
// Processes and sockets that vanish between reads are normal and skipped
// silently.  Everything here runs on the main-poll thread.
#pragma once

#include <cstdint>

// The socket tables, in the order they are read.
enum agent_sock_table { AST_TCP, AST_TCP6, AST_UDP, AST_UDP6, AST_COUNT };

struct agent_sock {
    uint8_t as_proto;      // 6 TCP, 17 UDP
    uint8_t as_v6;         // an IPv6 socket (tcp6/udp6 table)
    uint8_t as_state;      // the kernel's socket state (the tables' st field)
    uint8_t as_src6[16];   // addresses as in the table, network order
    uint8_t as_dst6[16];   // (IPv4 in the first 4 bytes)
    uint16_t as_sport;     // host order
    uint16_t as_dport;
    uint32_t as_txq, as_rxq;
    uint64_t as_inode;
    // The attributes of a socket-diagnostics message, checked and valid
    // while the record is handed over; null from the text tables.
    const uint8_t *as_attr;
    uint32_t as_attr_len;
};

struct agent_sockets_stats {
    uint64_t ss_scans;
    uint64_t ss_sockets;      // sockets seen by the last scan
    uint64_t ss_flowgroups;   // flow groups alive
    uint64_t ss_unowned;      // of which without an owner
    uint64_t ss_created;
    uint64_t ss_destroyed;
    uint64_t ss_ip_records;   // IP records alive
    uint64_t ss_exported;     // flow groups the consumer saw in the last interval
    uint64_t ss_errors;       // store objects that could not be made
    uint64_t ss_scan_usec;    // duration of the last scan
    uint64_t ss_fd_reads;     // process descriptor directories read
    uint64_t ss_diag_tables;  // tables of the last scan read from socket diagnostics
};

// One line of a socket table; 0, or -1 for a header or malformed line.
int agent_sockets_parse_line(const char *line, int proto, int v6, struct agent_sock *s);
// Stable appid of a program name (FNV-1a, never 0).
uint32_t agent_sockets_appid(const char *comm);
// Reads the tables and owners under proc and brings the store up to date.
// Returns the number of sockets seen.
int agent_sockets_scan(const char *proc);
// One interval: scan, update cycle, consumer.
void agent_sockets_interval(const char *proc);
// Publishes "agent.sockets.stats" and arms the interval callout.
void agent_sockets_start(const char *proc);
// Destroys every flow group and IP record made here, forgets the owners
// and closes the netlink socket.
void agent_sockets_clear(void);
const struct agent_sockets_stats *agent_sockets_stats_block(void);
