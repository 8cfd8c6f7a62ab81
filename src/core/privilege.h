// privilege: giving up and regaining root rights with setresuid.
//
// A process started as root can step down to an ordinary user for the
// effective id and keep root as its saved id, so that it can come back.
//
// The ids belong to the whole process, every thread.  The calls are made by
// one thread at a time, in practice the main poll thread (main_poll drops
// root rights); no locks.
#pragma once

#include <sys/types.h>

// Start-up of privilege_mod: records the ids the process started with.
void privilege_init(void *arg);
// Sets the effective id to uid, keeping the current one as the saved id.
// 0 on success, -1 on failure.
int privilege_drop_temp(uid_t uid);
// Root steps down to the real user id it started with; a failure ends the
// process with status 1.  Without root rights there is nothing to do.
void privilege_drop(void);
// Regains the saved id after privilege_drop.  0 on success or when there
// is nothing to do, -1 on failure.
int privilege_restore(void);
// Sets real, effective and saved id to uid, for good.  0 or -1.
int privilege_drop_perm(uid_t uid);

// Whether the process started as root, and whether it holds root now.
int privilege_started_privileged(void);
int privilege_held(void);
