// logging: the one log call of the program and its destinations.
//
// tr_log(category, level, fmt, ...) produces one line
//     "YYYY-MM-DD HH:MM:SS LEVEL message\n"
// when the category shares a bit with tr_mask, echoes it to standard output
// while the echo flag is set, and once tr_init has run writes it to the log
// file (rotated before it would reach 50 MiB, generations .0 .1 .2) or to
// syslog.  DEBUG lines go only to the debug log file, when one is in use;
// one that cannot be opened is reported once in the main log, which goes on.
// A line is text: a message's own trailing newlines give way to the one
// that ends it (never an empty line), and bytes of the message that are not
// UTF-8 show as '?'.  Log files are always written in append mode.
//
// tr_log may be called from any thread.  Each log file has a mutex, held
// from the size check through a rotation to the end of one line's write;
// the debug file's may be followed by the main file's, never the other
// way.  tr_init, logging_init and the settings run on the main thread at
// start-up.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>

enum tr_level {
    TR_NONE = 0,
    TR_DEBUG = 1,
    TR_INFO = 2,
    TR_WARN = 3,
    TR_ERROR = 4,
};

// Categories of tr_mask.
inline constexpr uint64_t TR_GEN = 1;        // every general message
inline constexpr uint64_t TR_METRIC = 2;     // per-sample moving-average detail
inline constexpr uint64_t TR_FLOWDEBUG = 16; // per-flow debug

inline constexpr size_t TR_LINE_MAX = 2048;
inline constexpr int32_t TR_ROTATE_AT = 52428799;  // rotate when count + line exceeds this

extern uint64_t tr_mask;

void tr_log(uint64_t category, int level, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
void tr_init(void);
void logging_init(void *arg);

// Switches every category on, or back to the mask saved when it was.
void tr_verbose_toggle(void);
void tr_set_echo(int on);
// Writes "<log directory>/<name>" into buf (large enough); returns its length.
int tr_logdir_path(char *buf, const char *name);

// Local-time text of the seconds in *secs (the first field of a timeval or
// timespec): "%Y-%m-%d %H:%M:%S", "%Y_%m_%d_%H_%M_%S" and "%y%m%d%H%M%S".
void tr_time_str(const time_t *secs, char *buf, size_t len);
size_t tr_time_str_file(const time_t *secs, char *buf, size_t len);
size_t tr_time_str_short(const time_t *secs, char *buf, size_t len);

// Rotates a log file: base.1 -> base.2, base.0 -> base.1, new base.0 in *fpp.
void tr_perform_rotation(FILE **fpp, const char *base);

// True while this thread is inside tr_log (used by the assertion stop so
// that a failure inside logging does not log again).
bool tr_log_busy(void);

// Current byte count of the main log file as logging sees it.
int32_t tr_main_log_bytes(void);
