#include "core/nassert.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

#include "core/logging.h"

void n_assert_fail(const char *expr, const char *file, unsigned line, const char *func) noexcept {
    // Lines echoed so far must not die in the stdio buffer with the process.
    fflush(stdout);
    // Same shape as the C library's assertion message, so operators and
    // tools that know that form read this one too.
    fprintf(stderr, "%s: %s:%u: %s: Assertion `%s' failed.\n", program_invocation_short_name, file,
            line, func, expr);
    fflush(stderr);
    // An assertion raised by the logging code itself must not re-enter it.
    if (!tr_log_busy())
        tr_log(1, TR_ERROR, "[panic]: %s:%u: %s: Assertion `%s' failed.", file, line, func, expr);
    fflush(stdout);
    abort();
}
