// agent_prom: the agent's statistics as a file for a Prometheus node
// exporter's textfile collector; see agent_prom.h.
//
// The writer thread is the only one that touches its state after start-up;
// agent_prom_stop wakes it through a pipe and joins it.
#include "agent/agent_prom.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "agent/agent_conf.h"
#include "core/logging.h"
#include "core/netctl/netctl_sock.h"
#include "core/netctl/netctl_vars.h"
#include "core/nthread_unix.h"
#include "tools/netctl_client.h"

static pthread_t agent_prom_thread;
static bool agent_prom_running;
static int agent_prom_wake[2] = {-1, -1};
static std::string agent_prom_sock;

// The settings in force; the configuration's apply hook writes them under
// the control tree's lock.
static void agent_prom_settings(std::string *dir, unsigned *interval_s) {
    netctl_tree_guard guard;
    const struct agent_conf *c = agent_conf_current();
    *dir = c->acf_prom_dir != nullptr ? c->acf_prom_dir : "";
    *interval_s = c->acf_prom_interval_s > 0 ? c->acf_prom_interval_s : 15;
}

int agent_prom_write(const char *dir, const char *sock, char *err, size_t errlen) {
    nc_conn c;
    c.socket = sock;
    c.timeout_ms = 2000;
    std::string text;
    if (nc_prometheus(&c, &text) != NC_OK) {
        snprintf(err, errlen, "%s", c.error.c_str());
        return -1;
    }
    std::string d = dir;
    if (!d.empty() && d.back() != '/') d += '/';
    std::string tmp = d + "." AGENT_PROM_FILE ".tmp", dst = d + AGENT_PROM_FILE;
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        snprintf(err, errlen, "%s: %s", tmp.c_str(), strerror(errno));
        return -1;
    }
    // The collector may read at any moment: it must find the old file or
    // the whole new one, never a part.
    size_t off = 0;
    while (off < text.size()) {
        ssize_t n = write(fd, text.data() + off, text.size() - off);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        off += size_t(n);
    }
    int werr = off == text.size() ? 0 : (errno != 0 ? errno : EIO);
    if (close(fd) != 0 && werr == 0) werr = errno;
    if (werr == 0 && rename(tmp.c_str(), dst.c_str()) != 0) werr = errno;
    if (werr != 0) {
        unlink(tmp.c_str());
        snprintf(err, errlen, "%s: %s", dst.c_str(), strerror(werr));
        return -1;
    }
    return 0;
}

static void *agent_prom_threadfn(void *) {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    bool failing = false;
    std::string was;
    for (;;) {
        std::string dir;
        unsigned interval_s;
        agent_prom_settings(&dir, &interval_s);
        if (!dir.empty() && dir != was)
            tr_log(1, TR_INFO, "agent_prom: writing %s/%s every %u s", dir.c_str(), AGENT_PROM_FILE,
                   interval_s);
        was = dir;
        char err[512];
        if (dir.empty()) {
            failing = false;
        } else if (agent_prom_write(dir.c_str(), agent_prom_sock.c_str(), err, sizeof(err)) != 0) {
            // One line when writing starts to fail, one when it works again.
            if (!failing) tr_log(1, TR_ERROR, "agent_prom_write: %s", err);
            failing = true;
        } else if (failing) {
            tr_log(1, TR_INFO, "agent_prom_write: %s/%s written again", dir.c_str(),
                   AGENT_PROM_FILE);
            failing = false;
        }
        struct pollfd p = {agent_prom_wake[0], POLLIN, 0};
        if (poll(&p, 1, int(interval_s * 1000)) > 0) break;  // agent_prom_stop
    }
    return nullptr;
}

void agent_prom_start(const char *rundir) {
    if (agent_prom_running) return;
    char sock[4096];
    if (netctl_sock_path(sock, sizeof(sock), rundir) < 0 ||
        pipe2(agent_prom_wake, O_CLOEXEC) != 0) {
        tr_log(1, TR_ERROR, "agent_prom_start: Prometheus textfile writer not started");
        return;
    }
    agent_prom_sock = sock;
    nthread_create(&agent_prom_thread, agent_prom_threadfn, nullptr);
    agent_prom_running = true;
}

void agent_prom_stop(void) {
    if (!agent_prom_running) return;
    char b = 1;
    while (write(agent_prom_wake[1], &b, 1) < 0 && errno == EINTR) {
    }
    nthread_term(&agent_prom_thread);
    close(agent_prom_wake[0]);
    close(agent_prom_wake[1]);
    agent_prom_wake[0] = agent_prom_wake[1] = -1;
    agent_prom_running = false;
}
