// agent_sockets: the agent's feed of the metadata store from the host's own
// sockets.
//
// Every scan interval (agent.scan_interval_ms, a second by default) the
// agent reads the TCP and UDP socket tables, IPv4 and IPv6, from the
// kernel's socket diagnostics (agent_diag.h), with each TCP connection's
// tcp_info; a table that the diagnostics refuse is read from its text form
// (<proc>/net/tcp, tcp6, udp, udp6) instead, without TCP figures.
// Listening TCP sockets and sockets without an inode (time-wait,
// half-open) are left out.
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
// pid 0).  IPv4-mapped IPv6 addresses are keyed as the IPv4 address they
// hold; every other IPv6 address gets an id of its own from 240.0.0.0/4
// while flow groups use it (agent.sockets.stats.v6_ids counts them), so two
// hosts never share a key.  Each remote address gets an IP record while
// flow groups use it (an IPv6 record holds its id where a sockaddr_in holds
// the address, and the address as its text).  The flow group's values are
// the socket's state and queues, its TCP figures and their increase since
// the last scan; the increase also goes to the socket's application
// (agent_apps.h).  The counters of a socket are kept from scan to scan by
// inode: a socket that closes keeps what its last scan counted, and an
// inode seen again with smaller byte counts is a new connection, counted
// whole.  The scans before the kernel first gives TCP figures take the
// counters of the connections they find as the starting point, so the
// figures count what happened since the agent started.
//
// Each TCP flow group notes its connection in an FGCC record, one per
// application, local address, remote address and service port (the local
// port where the host listens on it, else the remote port): the connection
// is (from 'A' the owner's pid) -> (to 'C' its other port), at most
// AGENT_FGCC_CONNECTIONS of them, the latest kept; fg_ts is the ticks of
// the last one noted.  A record without flow groups goes at the next update
// cycle.
//
// Flow groups whose socket has gone are destroyed, and the update cycle
// publishes the interval when it is due.  After each cycle a consumer reads
// what it published.  With agent.metadata_export on, the store's file
// export (export type 0, this module's) writes to
// <logdir>/qorv-netagent.metadata: the store's FGCC and IP lists when it is
// switched on, each IP record as it changes, and after each cycle the FGCC
// records that noted a connection since the last.  At agent.metadata_max_kb
// the file is renamed qorv-netagent.metadata.1 and a new one begun with the
// lists; switching the export on renames the last run's file the same way.
//
// Processes and sockets that vanish between reads are normal and skipped
// silently.  Everything here runs on the main-poll thread.
#pragma once

#include <cstdint>

inline constexpr unsigned AGENT_SOCKETS_SCAN_MS = 1000;
inline constexpr unsigned AGENT_SOCKETS_SCAN_MIN_MS = 100;
inline constexpr unsigned AGENT_SOCKETS_SCAN_MAX_MS = 60000;
inline constexpr unsigned AGENT_SOCKETS_EXPORT_KB = 8192;
inline constexpr unsigned AGENT_SOCKETS_EXPORT_MIN_KB = 64;
inline constexpr unsigned AGENT_SOCKETS_EXPORT_MAX_KB = 1048576;
inline constexpr char AGENT_SOCKETS_EXPORT_FILE[] = "qorv-netagent.metadata";
inline constexpr int AGENT_FGCC_CONNECTIONS = 64;
// IPv6 address ids: 240.0.0.1 to 255.255.255.254.
inline constexpr uint32_t AGENT_V6_ID_BASE = 0xF0000001u;
inline constexpr uint32_t AGENT_V6_ID_SPAN = 0x0FFFFFFEu;

// The socket tables, in the order they are read.
enum agent_sock_table { AST_TCP, AST_TCP6, AST_UDP, AST_UDP6, AST_COUNT };

struct agent_sock {
    uint8_t as_proto;     // 6 TCP, 17 UDP
    uint8_t as_v6;        // an IPv6 socket (tcp6/udp6 table)
    uint8_t as_state;     // the kernel's socket state (the tables' st field)
    uint8_t as_src6[16];  // addresses as in the table, network order
    uint8_t as_dst6[16];  // (IPv4 in the first 4 bytes)
    uint16_t as_sport;    // host order
    uint16_t as_dport;
    uint32_t as_txq, as_rxq;
    uint64_t as_inode;
    // The kernel's cookie of the socket (socket diagnostics only; 0 from the
    // text tables): it stays when the owner closes its descriptor and the
    // socket, orphaned, still sends what it holds with inode 0.
    uint64_t as_cookie;
    // TCP figures from the kernel's tcp_info (socket diagnostics only):
    // as_info is 0 where the kernel gave none (the text tables, UDP), and a
    // field that an older kernel's shorter record lacks stays 0.
    uint8_t as_info;
    uint32_t as_segs_out, as_segs_in;  // segments sent and received (wrap at 2^32)
    uint32_t as_retrans;               // segments retransmitted (wraps at 2^32)
    uint32_t as_rtt_us, as_rttvar_us;  // smoothed round-trip time and its variance
    uint64_t as_bytes_acked;           // data bytes sent and acknowledged (1)
    uint64_t as_bytes_received;
    uint64_t as_delivery_rate;  // bytes/s, the kernel's estimate
    // (1) The kernel's count less its SYN and FIN: where it reports the data
    // bytes sent (kernel 4.19 on), no more than the data sent less what
    // was sent again; so it overcounts by at most 2 only while data is in
    // flight.
    // The attributes of a socket-diagnostics message, checked and valid
    // while the record is handed over; null from the text tables.
    const uint8_t *as_attr;
    uint32_t as_attr_len;
};

struct agent_sockets_stats {
    uint64_t ss_scans;
    uint64_t ss_sockets;     // sockets seen by the last scan
    uint64_t ss_flowgroups;  // flow groups alive
    uint64_t ss_unowned;     // of which without an owner
    uint64_t ss_created;
    uint64_t ss_destroyed;
    uint64_t ss_ip_records;    // IP records alive
    uint64_t ss_exported;      // flow groups the consumer saw in the last interval
    uint64_t ss_errors;        // store objects that could not be made
    uint64_t ss_scan_usec;     // duration of the last scan
    uint64_t ss_fd_reads;      // process descriptor directories read
    uint64_t ss_diag_tables;   // tables of the last scan read from socket diagnostics
    uint64_t ss_v6_ids;        // IPv6 addresses with an id
    uint64_t ss_fgcc;          // FGCC records alive
    uint64_t ss_apps;          // applications (agent.apps)
    uint64_t ss_export_bytes;  // size of the file export's file
};

// One line of a socket table; 0, or -1 for a header or malformed line.
int agent_sockets_parse_line(const char *line, int proto, int v6, struct agent_sock *s);
// Stable appid of a program name (FNV-1a, never 0).
uint32_t agent_sockets_appid(const char *comm);
// Reads the tables and owners under proc and brings the store up to date.
// Returns the number of sockets seen.
int agent_sockets_scan(const char *proc);
// One interval: scan, update cycle when due, consumer after a cycle, the
// file export switched as configured.
void agent_sockets_interval(const char *proc);
// The settings in force (clamped): scan interval, the file export and its
// bound.  Taken at the next interval.
void agent_sockets_configure(unsigned scan_ms, bool file_export, unsigned export_kb);
// Publishes "agent.sockets.stats" and "agent.apps", turns on the noting of
// connections in FGCC records, and arms the interval callout.
void agent_sockets_start(const char *proc);
// Destroys every flow group, IP and FGCC record made here and every
// application, forgets the owners and closes the netlink socket.
void agent_sockets_clear(void);
// Stops the interval, clears, switches the file export off.
void agent_sockets_stop(void);
const struct agent_sockets_stats *agent_sockets_stats_block(void);
