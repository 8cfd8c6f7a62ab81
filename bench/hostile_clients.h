// The four kinds of hostile control-socket clients that the benchmarks run
// in processes of their own: one silent, one sending half headers, one
// asking for a walk and never reading it, one hanging up after the walk's
// first header.  Each connects again as soon as it is done.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "core/netctl/netctl.h"

namespace hb {

enum kind { SILENT, HALF_HEADER, NON_READER, HANG_UP };

inline struct sockaddr_un address(const char *path) {
    struct sockaddr_un sa = {};
    sa.sun_family = AF_UNIX;
    strncpy(sa.sun_path, path, sizeof(sa.sun_path) - 1);
    return sa;
}

// A connection, or -1 after a millisecond's pause.  System calls only: the
// clients are forked from processes that may have threads.
inline int connect_to(const struct sockaddr_un &sa) {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (connect(fd, reinterpret_cast<const struct sockaddr *>(&sa), sizeof(sa)) != 0) {
        close(fd);
        struct timespec ts = {0, 1000000};
        nanosleep(&ts, nullptr);
        return -1;
    }
    return fd;
}

// Waits (at most 3 s) until the server closes fd, reading nothing.
inline void until_closed(int fd) {
    struct pollfd p = {fd, POLLRDHUP, 0};
    poll(&p, 1, 3000);
}

// One client of kind k on the socket at sa, for ever; walk names what the
// last two ask for.
[[noreturn]] inline void client(kind k, const struct sockaddr_un &sa, const char *walk) {
    struct netctl_msg req = {};
    memcpy(req.nm_name, walk, strnlen(walk, NETCTL_NAME_MAX - 1));
    req.nm_op = NETCTL_OP_LIST;
    for (;;) {
        int fd = connect_to(sa);
        if (fd < 0) continue;
        switch (k) {
            case SILENT:
                until_closed(fd);
                break;
            case HALF_HEADER:
                send(fd, &req, sizeof(req) / 2, MSG_NOSIGNAL);
                until_closed(fd);
                break;
            case NON_READER:
                send(fd, &req, sizeof(req), MSG_NOSIGNAL);
                until_closed(fd);
                break;
            case HANG_UP: {
                send(fd, &req, sizeof(req), MSG_NOSIGNAL);
                char hdr[sizeof(struct netctl_msg)];
                recv(fd, hdr, sizeof(hdr), MSG_WAITALL);
                break;
            }
        }
        close(fd);
    }
}

// Starts one process of each kind; their pids.
inline std::vector<pid_t> start_all(const struct sockaddr_un &sa, const char *walk) {
    std::vector<pid_t> pids;
    for (kind k : {SILENT, HALF_HEADER, NON_READER, HANG_UP}) {
        pid_t pid = fork();
        if (pid == 0) client(k, sa, walk);
        pids.push_back(pid);
    }
    return pids;
}

inline void stop_all(const std::vector<pid_t> &pids) {
    for (pid_t pid : pids) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

}  // namespace hb
