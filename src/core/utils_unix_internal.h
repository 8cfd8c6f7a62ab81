// utils_unix seam for the tests.  Not installed with the library.
#pragma once

#include <sys/utsname.h>

#include <cstddef>

#include "core/utils_unix.h"

// The system calls behind the name queries, replaceable by tests that need
// them to fail.  A null member restores the system's own.
struct utils_sys_ops {
    int (*uname)(struct utsname *);
    int (*gethostname)(char *, size_t);
};
void utils_set_sys_ops(const struct utils_sys_ops *ops);
