// npmd_opts: options, the paths derived from the install root, and the
// process-monitor list.
//
// The supervisor's own directories are joined with a separator ("%s/%s/"),
// the agent's without one ("%s%s"): an install root meant for the agent
// ends in "/", and the doubled slashes on the supervisor's side are harmless.
#include <errno.h>
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "core/logging.h"
#include "supervisor/npmd.h"

static const char NPMD_DEFAULT_ROOT[] = "/opt/qorvexa/varnix/";

static char npm_agent_argv0[] = "qorv-netagent";
struct npm_proc npm_proc_list[NPM_PROC_COUNT] = {
    {"qorv-netagent", nullptr, {npm_agent_argv0}, 0, 0, 0},
};

static void npmd_replace(char **field, char *text) {
    free(*field);
    *field = text;
}

int npmd_conf_init(struct npmd_conf *c) {
    *c = npmd_conf{};
    c->nc_root = strdup(NPMD_DEFAULT_ROOT);
    c->nc_homedir = strdup("/opt/qorvexa/varnix/home/");
    c->nc_logdir = strdup("/opt/qorvexa/varnix/logs/");
    c->nc_rundir = strdup("/opt/qorvexa/varnix/run/");
    c->nc_pidfile = strdup("/opt/qorvexa/varnix/run/qorv-netmon.pid");
    c->nc_logfile = strdup("/opt/qorvexa/varnix/logs/qorv-netmon.log");
    if (c->nc_root && c->nc_homedir && c->nc_logdir && c->nc_rundir && c->nc_pidfile &&
        c->nc_logfile)
        return 0;
    npmd_conf_release(c);
    return -1;
}

void npmd_conf_release(struct npmd_conf *c) {
    char **fields[] = {&c->nc_root,   &c->nc_homedir, &c->nc_logdir,
                       &c->nc_rundir, &c->nc_pidfile, &c->nc_logfile};
    for (char **f : fields)
        npmd_replace(f, nullptr);
}

// Formats into *field; false (field untouched) when memory runs out.
static bool npmd_format(char **field, const char *fmt, const char *a, const char *b) {
    char *text = nullptr;
    if (asprintf(&text, fmt, a, b) < 0) return false;
    npmd_replace(field, text);
    return true;
}

// The derived paths, in the order their failures are reported.
static int npmd_derive_paths(struct npmd_conf *c) {
    if (!npmd_format(&c->nc_homedir, "%s/%s/", c->nc_root, "home")) {
        tr_log(1, TR_ERROR, "npmd_parse_opts: error homedir alloc");
        return -1;
    }
    if (!npmd_format(&c->nc_logdir, "%s/%s/", c->nc_root, "logs")) {
        tr_log(1, TR_ERROR, "npmd_parse_opts: error logdir alloc");
        return -1;
    }
    if (!npmd_format(&c->nc_rundir, "%s/%s/", c->nc_root, "run")) {
        tr_log(1, TR_ERROR, "npmd_parse_opts: error piddir alloc");
        return -1;
    }
    if (!npmd_format(&c->nc_pidfile, "%s%s", c->nc_rundir, "qorv-netmon.pid")) {
        tr_log(1, TR_ERROR, "npmd_parse_opts: error pidfile alloc");
        return -1;
    }
    if (!npmd_format(&c->nc_logfile, "%s/%s", c->nc_logdir, "qorv-netmon.log")) {
        tr_log(1, TR_ERROR, "npmd_parse_opts: error logfile alloc");
        return -1;
    }
    return 0;
}

int npmd_parse_opts(int argc, char **argv, struct npmd_conf *c) {
    bool have_root = false;
    int ch;
    optind = 0;  // full rescan, so the parser can be run more than once
    while ((ch = getopt(argc, argv, "r:p:")) != -1) {
        switch (ch) {
            case 'r': {
                char *root = strndup(optarg, strlen(optarg));
                if (root == nullptr) {
                    if (tr_mask & 1)
                        tr_log(1, TR_ERROR, "npmd_parse_opts: strndup failed: %s", strerror(errno));
                    return -1;
                }
                npmd_replace(&c->nc_root, root);
                have_root = true;
                break;
            }
            case 'p':
                c->nc_check_parent = 1;
                c->nc_parent_pid = static_cast<pid_t>(strtol(optarg, nullptr, 10));
                break;
            default:
                tr_log(1, TR_ERROR, "npmd_parse_opts: invalid option %c", ch);
                return -1;
        }
    }
    return have_root ? npmd_derive_paths(c) : 0;
}

// Formats "<a><b><suffix>" into *slot.
static bool npm_join(char **slot, const char *a, const char *b, const char *suffix) {
    char *text = nullptr;
    if (asprintf(&text, "%s%s%s", a, b, suffix) < 0) return false;
    *slot = text;
    return true;
}

static int npm_fix_one(const char *root, struct npm_proc *p) {
    npm_proc_release(p);
    if (!npm_join(&p->np_dir, root, "bin/", "")) {
        tr_log(1, TR_ERROR, "npmd_fix_proc_mon_list: error agent path alloc");
        return -1;
    }
    if (!npm_join(&p->np_argv[1], "-c", "", "") || !npm_join(&p->np_argv[2], root, "conf/", "")) {
        tr_log(1, TR_ERROR, "npmd_fix_proc_mon_list: error conf path alloc");
        return -1;
    }
    if (!npm_join(&p->np_argv[3], "-l", "", "") || !npm_join(&p->np_argv[4], root, "logs", "/")) {
        tr_log(1, TR_ERROR, "npmd_fix_proc_mon_list: error log dir path alloc");
        return -1;
    }
    if (!npm_join(&p->np_argv[5], "-r", "", "") || !npm_join(&p->np_argv[6], root, "run", "/")) {
        tr_log(1, TR_ERROR, "npmd_fix_proc_mon_list: error run dir path alloc");
        return -1;
    }
    return 0;
}

int npmd_fix_proc_mon_list(const struct npmd_conf *c, struct npm_proc *list, size_t n) {
    for (size_t i = 0; i < n; i++) {
        if (strncmp(list[i].np_name, "qorv-netagent", 13) != 0) continue;
        if (npm_fix_one(c->nc_root, &list[i]) != 0) return -1;
    }
    return 0;
}

// Releases what npmd_fix_proc_mon_list filled; slot 0 is not ours.
void npm_proc_release(struct npm_proc *p) {
    npmd_replace(&p->np_dir, nullptr);
    for (int i = 1; i <= NPM_ARGV_SLOTS; i++)
        npmd_replace(&p->np_argv[i], nullptr);
}

int npm_program_path(const struct npm_proc *p, char *buf, size_t len) {
    int n = snprintf(buf, len, "%s%s", p->np_dir ? p->np_dir : "", p->np_name);
    if (n < 0 || static_cast<size_t>(n) >= len) {
        if (len > 0) buf[0] = '\0';
        return -1;
    }
    return 0;
}
