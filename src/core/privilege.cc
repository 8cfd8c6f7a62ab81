// privilege: root rights dropped and restored through setresuid.
//
// setresuid applies to every thread of the process.  The two flags are
// plain words, written by the thread that drops or restores (in practice
// the main poll thread).
#include "core/privilege.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include "core/logging.h"
#include "core/sysinit.h"

static uid_t priv_start_euid;
static uid_t priv_start_ruid;
static int priv_started_root;
static int priv_held;

void privilege_init(void *) {
    priv_start_euid = geteuid();
    priv_start_ruid = getuid();
    if (priv_start_euid == 0) {
        priv_started_root = 1;
        priv_held = 1;
    }
}
SYSINIT(privilege_mod, "privilege_mod", SI_SUB_CORE, SI_ORDER_ANY, privilege_init, nullptr);

int privilege_started_privileged(void) {
    return priv_started_root;
}
int privilege_held(void) {
    return priv_held;
}

// "<call> failed: <reason>".
static void priv_log_errno(const char *call, int err) {
    if (tr_mask & 1) tr_log(1, TR_ERROR, "%s failed: %s", call, strerror(err));
}

int privilege_drop_temp(uid_t uid) {
    if (setresuid(static_cast<uid_t>(-1), uid, geteuid()) != 0) {
        priv_log_errno("setresuid", errno);
        return -1;
    }
    if (geteuid() == uid) {
        tr_log(1, TR_INFO, "Successfully dropped privileges temporarily");
        return 0;
    }
    tr_log(1, TR_ERROR, "Could nor drop privileges temporarily");
    return -1;
}

void privilege_drop(void) {
    if (geteuid() != 0) {
        priv_held = 0;
        return;
    }
    if (privilege_drop_temp(priv_start_ruid) != 0) {
        tr_log(1, TR_ERROR, "Unable to drop privileges. Exiting");
        _exit(1);
    }
    priv_held = 0;
}

int privilege_restore(void) {
    if (!priv_started_root || priv_held) return 0;
    uid_t r, e, s;
    if (getresuid(&r, &e, &s) != 0) {
        priv_log_errno("getresuid", errno);
        return -1;
    }
    if (setresuid(static_cast<uid_t>(-1), s, static_cast<uid_t>(-1)) != 0) {
        priv_log_errno("setresuid", errno);
        return -1;
    }
    if (geteuid() == s) {
        tr_log(1, TR_INFO, "Successfully restored privileges");
        priv_held = 1;
        return 0;
    }
    tr_log(1, TR_ERROR, "Could not restore privileges");
    return -1;
}

int privilege_drop_perm(uid_t uid) {
    if (setresuid(uid, uid, uid) != 0) {
        priv_log_errno("setresuid", errno);
        return -1;
    }
    uid_t r, e, s;
    if (getresuid(&r, &e, &s) != 0) {
        priv_log_errno("getresuid", errno);
        return -1;
    }
    if (r == uid && e == uid && s == uid) {
        tr_log(1, TR_INFO, "Successfully dropped privileges permanently");
        return 0;
    }
    tr_log(1, TR_ERROR, "Could not drop privileges permanently");
    return -1;
}
