// The one assertion macro of the core runtime.
//
// A broken invariant or a failed start-up allocation ends the process.  The
// stop names the source file relative to the source tree (src/core/<module>),
// the line and the function, on standard error and, when logging is up, in
// the log as a "[panic]: " line, then aborts.  Unlike assert(3) it is never
// compiled out: these checks guard memory safety, not debugging.
//
//   N_ASSERT(cond)          the stop quotes the expression as written
//   N_ASSERT(cond, "text")  the stop quotes "text" instead, for conditions
//                           whose natural spelling does not compile in C++
//
// Any thread may stop; the stop takes no lock of its own (its log line
// takes the log file's, except on a thread already inside tr_log).
#pragma once

[[noreturn]] void n_assert_fail(const char *expr, const char *file, unsigned line,
                                const char *func) noexcept;

#define N_ASSERT_1(cond) N_ASSERT_2(cond, #cond)
#define N_ASSERT_2(cond, text)                                      \
    do {                                                            \
        if (__builtin_expect(!(cond), 0))                           \
            n_assert_fail(text, __FILE__, __LINE__, __func__);      \
    } while (0)
#define N_ASSERT_PICK(_1, _2, name, ...) name
#define N_ASSERT(...) N_ASSERT_PICK(__VA_ARGS__, N_ASSERT_2, N_ASSERT_1, )(__VA_ARGS__)
