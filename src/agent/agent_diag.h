// agent_diag: the host's TCP and UDP sockets as the kernel's socket
// diagnostics report them (inet_diag over a NETLINK_SOCK_DIAG socket).
//
// Three dump requests: TCP of both families in one (the older request
// form, whose dump walks the kernel's connection table once for IPv4 and
// IPv6 together, where the newer form walks it once per family), and UDP
// for IPv4 and for IPv6.  The answer is a series of netlink datagrams, each
// socket one inet_diag message with its attributes.  Every length in an
// answer is checked before it is used: a malformed answer, like an error
// answer, ends the dump with -1, and the caller reads the table's /proc/net
// text instead.  The socket is opened at the first dump, never waits (a
// missing datagram is an error, not a wait), and is closed after any
// failure, so that no stale answer can meet the next request.
#pragma once

#include <cstddef>
#include <cstdint>

#include "agent/agent_sockets.h"

// Extensions asked of the kernel with the TCP dump (the idiag_ext bit mask,
// 1 << (INET_DIAG_x - 1) per attribute): the connection's tcp_info
// (INET_DIAG_INFO), whose figures the record carries (as_info and the
// fields after it).  Every attribute reaches the callback through as_attr.
// UDP sockets have no such record; their dumps ask for nothing.
inline constexpr uint8_t AGENT_DIAG_EXT = 1 << (2 - 1);

enum agent_diag_dump { AGENT_DIAG_TCP, AGENT_DIAG_UDP, AGENT_DIAG_UDP6, AGENT_DIAG_DUMPS };

typedef void (*agent_diag_fn)(void *arg, const struct agent_sock *s);

// Parses one datagram of the answer to the dump request with sequence
// number seq for protocol proto, handing each socket to fn.  Returns 1 when
// the datagram ends the answer, 0 when more must follow, -1 (errno set: the
// kernel's error, or EPROTO for a malformed answer) otherwise.
int agent_diag_parse(const void *buf, size_t len, uint32_t seq, int proto, agent_diag_fn fn,
                     void *arg);
// Runs one dump (enum agent_diag_dump); returns the number of sockets
// handed to fn, or -1 with errno set when the socket diagnostics are
// refused or answer badly.  Sockets handed over before a failure are part
// of a broken answer: the caller drops them.
int agent_diag_dump(int dump, agent_diag_fn fn, void *arg);
// Closes the netlink socket (it is opened again by the next dump).
void agent_diag_close(void);
