// netctl_sock: the control socket, through which a local tool reads the
// variables of the control tree, and the client side of its protocol.
//
// One server thread listens on the AF_UNIX stream socket "qorv-netctl.sock"
// in the run directory and serves every connection through one epoll set,
// one request per connection: a client sends one 132-byte netctl_msg naming
// a node or a variable and reads response messages (a netctl_msg header
// followed by nm_len body bytes) until the server closes the connection.  A
// request holds the tree lock only while it resolves its name and reads its
// answer into memory of its own (at most netctl_answer_max() bytes); it
// sends the answer after releasing the lock.  Every connection has one
// deadline (netctl_conn_timeout_ms after its accept) by which its header
// must be in and its answer taken; a client that sends nothing or never
// reads holds one of NETCTL_CONN_MAX slots until then, never the thread and
// never the tree.  When all slots are taken, a new connection closes the
// oldest one that has not sent a whole request.  A user whose listings
// (which may walk the whole tree) keep the server busy is given its share
// (NETCTL_LIST_SHARE) and no more.
//
// Bodies are kv value records (224 bytes each) or, for a names listing, one
// 224-byte block beginning with a NUL-terminated name.  The value field of a
// string or address-list record is 0 on the wire; with NETCTL_F_TEXT every
// record carries its value as text in its text area (netctl.h).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "core/netctl/netctl.h"

inline constexpr char NETCTL_SOCK_NAME[] = "qorv-netctl.sock";
inline constexpr int NETCTL_BACKLOG = 128;
inline constexpr int NETCTL_CONN_TIMEOUT_MS = 1000;   // default per-connection deadline
inline constexpr int NETCTL_ACCEPT_BACKOFF_MS = 100;  // after an accept failure that persists
inline constexpr size_t NETCTL_SUN_PATH_MAX = 107;    // a socket path, without its NUL
inline constexpr int NETCTL_CONN_MAX = 256;           // connections open at once
// Failed connections (receive, send) logged one by one before the server
// logs a count every 10 s instead, until a quiet 10 s.
inline constexpr unsigned NETCTL_FAIL_BURST = 20;
// Answer bytes that the sockets have not taken, for all connections
// together; a request is answered only while they are fewer.
inline constexpr size_t NETCTL_QUEUE_MAX = 2 * NETCTL_ANSWER_MAX;
// Listings walk the tree: the answers to one user's listings come to at
// most this many bytes a second, in bursts of as many; past that the user's
// listings wait (reads and other users' requests go first) until the share
// has grown again, or until three quarters of their deadline have passed.
inline constexpr int64_t NETCTL_LIST_SHARE = 2 * NETCTL_ANSWER_MAX;
inline constexpr int NETCTL_LIST_USERS = 32;  // users whose shares are kept
inline constexpr char NETCTL_LOCK_SUFFIX[] = ".lock";  // the socket's lock file: path + this

/*
 * Server.
 */

// Start-up of netctl_mod: initialises the tree lock and starts the server
// thread, unless one is already running.
void netctl_mod_init(void *arg);
// Shut-down of netctl_mod: stops the server thread, waits for it to end
// (open connections are closed unanswered), closes the listening socket,
// removes the socket file if it is still the one the thread bound, and logs
// "Netctl module destroyed".  netctl_mod_init may then start a new server.
void netctl_mod_fini(void *arg);

// The server thread: listens on the run directory's socket and serves
// connections until netctl_mod_fini stops it.
void *netctl_threadfn(void *arg);

// Writes the socket path of the run directory rundir into buf: rundir, a
// '/' unless it ends with one, and NETCTL_SOCK_NAME.  Returns the path's
// length, or -1 when it does not fit size bytes.
int netctl_sock_path(char *buf, size_t size, const char *rundir);

// Locks the socket of rundir for the life of the calling process (until
// the descriptor is closed): an exclusive flock on the socket path followed
// by NETCTL_LOCK_SUFFIX, a file that then holds this process's pid (it stays
// when the process ends).  Returns the descriptor; -2 when another process
// holds the lock, its pid in *holder (0 if the file does not say); -1 with
// errno when the file cannot be made or locked.
int netctl_sock_lock(const char *rundir, pid_t *holder);

// A listening socket (close-on-exec, backlog NETCTL_BACKLOG) bound to path,
// whose file any local user may read and write (mode 0666, whatever the
// umask).  Any file at path is removed first.  The negated errno on failure
// (-ENAMETOOLONG for a path longer than NETCTL_SUN_PATH_MAX bytes).
int netctl_listen(const char *path);

// Serves one connection on this thread, as the server does, from now to
// its deadline: reads its request header (a short header counts as the
// bytes received, the rest zero) and sends the whole answer.  Does not
// close fd.  0, or -1 when the header could not be read before the
// deadline.
int netctl_recv_request(int fd);

// Resolves req->nr_name and gathers its answer under the tree lock, then
// releases the lock and hands each response to req->nr_respond, until one
// fails.  An answer that would take more than netctl_answer_max() bytes is
// cut before the first response that does not fit (ERROR
// "netctl_process_request: answer for NAME cut at N bytes").  req is
// zero-filled apart from nr_name (NUL-terminated, at most NETCTL_NAME_MAX - 1
// bytes), nr_op, nr_flags, nr_fd and nr_respond.  Returns 0.
int netctl_process_request(struct netctl_req *req);

// Answers one leaf (under the tree lock): op 1 reads the variable whose name
// the data buffer holds, op 3 reads all of the leaf's variables, op 2 reads
// nothing; the result is one response.  The bytes a registrant's own
// operation returns are sent as they are (up to the data buffer's size) and
// nothing of theirs is released; the built-in operations' results are
// whole records, whose string copies are released once sent.  0, or -1
// when the answer is full.
int netctl_leaf_op(struct netctl_node *np, void *data, struct netctl_req *req, void *instance);
// Walk callback of op 3: with NETCTL_F_NAMES one response naming np (or the
// instance the list operation wrote into data); otherwise netctl_leaf_op
// for a node with a leaf, and 1 (nothing gathered) for one without.
int netctl_node_visit(struct netctl_node *np, void *data, struct netctl_req *req, void *instance);

// Adds one response to the answer of req->nr_conn: a header carrying
// req->nr_name and req->nr_len, then nr_len bytes of req->nr_data.  Once the
// request's responses are all in, the connection sends them with as few
// sends as the socket allows, the rest as the client reads (before the
// connection's deadline), never raising SIGPIPE.  0, or -1 (logged) when no
// memory is left for it.
int netctl_send_response(struct netctl_req *req);

// Logs every variable of the tree, one INFO line "full.name = value" each.
// Returns 0.
int netctl_dump_to_log(void);
// Respond function of the dump: logs the records of one response.
int netctl_log_records(struct netctl_req *req);

// Per-connection deadline in milliseconds (NETCTL_CONN_TIMEOUT_MS).
int netctl_conn_timeout_ms(void);
// Most bytes one answer may gather (NETCTL_ANSWER_MAX).
size_t netctl_answer_max(void);

/*
 * Client side.
 */

// A connected, close-on-exec stream socket to path.  Failures print
// "netctl_aunix_connect: socket failed: %s" or "netctl_aunix_connect:
// connect failed: %s" on standard output (no newline) and return the
// negated errno.
int netctl_aunix_connect(const char *path);

// The same without printing.  With timeout_ms above 0 every later receive
// and send on the socket gives up after that long (ETIMEDOUT or EAGAIN).
int netctl_client_connect(const char *path, int timeout_ms);
// Sends one request header (name bounded to NETCTL_NAME_MAX - 1 bytes).
// 0, or the negated errno.
int netctl_client_request(int fd, const char *name, uint8_t op, uint8_t flags);
// Reads the next response: 1 with the header in *msg (its name
// NUL-terminated in the NETCTL_NAME_MAX + 1 bytes of name) and its nm_len
// body bytes in body (cap at least 65535 takes any body); 0 when the server
// closed the connection after the last response; the negated errno on
// failure (-EPROTO for a message cut short, -EMSGSIZE for a body above cap).
int netctl_client_response(int fd, struct netctl_msg *msg, char *name, void *body, size_t cap);
