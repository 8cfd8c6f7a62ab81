// nthread_unix seam for the tests.  Not installed with the library.
#pragma once

#include "core/nthread_unix.h"

// The wait behind nthread_sem_wait, sem_wait by default; tests install one
// that fails.  Null restores the default.
void nthread_set_sem_wait(int (*fn)(sem_t *));
