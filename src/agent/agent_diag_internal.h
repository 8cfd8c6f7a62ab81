// agent_diag's system calls, replaceable by tests and fuzz targets.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>

struct agent_diag_sys {
    int (*open)(void);  // the NETLINK_SOCK_DIAG socket, or -1 with errno set
    ssize_t (*send)(int fd, const void *buf, size_t len);  // to the kernel
    ssize_t (*recv)(int fd, struct msghdr *msg);           // recvmsg, never waiting
    int (*close)(int fd);
};
extern struct agent_diag_sys agent_diag_sys;
// The extensions of the TCP dump: AGENT_DIAG_EXT, or 0 for the plain scan
// that the benchmark compares with.
extern uint8_t agent_diag_ext;
