// logging: tr_log, its destinations and size-based rotation.
//
// Locking: each log file has one mutex, held from the size check through a
// rotation to the end of the write and flush of one line.  Threads that
// cross the rotation threshold together therefore rotate once, and lines are
// never interleaved, split or lost.  The debug file's rotation may log an
// error to the main file (debug lock, then main lock); the main file's own
// rotation never logs, so the two locks are only ever taken in that order.
// tr_mask, the echo flag, the output mode and the initialised flag are words
// written at start-up (or by the verbose toggle) while other threads, such as
// the control socket's, may already log: they are read and written here with
// relaxed atomic operations, so a reader sees the old or the new value whole.
// Callers that test tr_mask themselves read it plainly.
#include "core/logging.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "core/agent_config.h"
#include "core/kv.h"
#include "core/nassert.h"
#include "core/ncounter.h"
#include "core/nmem.h"
#include "core/sysinit.h"

uint64_t tr_mask = TR_GEN;
static uint64_t tr_saved_mask;
static uint8_t tr_echo = 1;

enum tr_output_mode : uint32_t { TR_OUT_NONE = 0, TR_OUT_SYSLOG = 1, TR_OUT_FILE = 2 };
static uint32_t tr_output = TR_OUT_NONE;
static uint8_t tr_initialized;

struct tr_logfile {
    char *lf_base;  // owned; the file written is lf_base + ".0"
    FILE *lf_fp;
    std::atomic<int32_t> lf_bytes;
    pthread_mutex_t lf_lock;
    // Where the file ended after the last line this process wrote whole.
    // Unlike the byte count it is never reset by a failed rotation, so that
    // a line cut short by a full disk can be taken off again.
    off_t lf_end;
};
static struct tr_logfile tr_main_lf = {nullptr, nullptr, {0}, PTHREAD_MUTEX_INITIALIZER, 0};
static struct tr_logfile tr_debug_lf = {nullptr, nullptr, {0}, PTHREAD_MUTEX_INITIALIZER, 0};

static thread_local int tr_depth;

struct tr_level_desc {
    const char *name;
    int syslog_prio;  // -1: never sent to syslog
};
static constexpr tr_level_desc tr_levels[] = {
    {"", -1}, {"DEBUG", -1}, {"INFO", LOG_INFO}, {"WARN", LOG_WARNING}, {"ERROR", LOG_ERR},
};
static constexpr int TR_NLEVELS = sizeof(tr_levels) / sizeof(tr_levels[0]);

// Length of "YYYY-MM-DD HH:MM:SS ", which syslog lines leave out.
static constexpr size_t TR_STAMP_LEN = 20;

bool tr_log_busy(void) { return tr_depth > 0; }
int32_t tr_main_log_bytes(void) { return tr_main_lf.lf_bytes.load(); }

void tr_time_str(const time_t *secs, char *buf, size_t len) {
    struct tm tm;
    localtime_r(secs, &tm);
    strftime(buf, len, "%Y-%m-%d %H:%M:%S", &tm);
}

size_t tr_time_str_file(const time_t *secs, char *buf, size_t len) {
    struct tm tm;
    localtime_r(secs, &tm);
    return strftime(buf, len, "%Y_%m_%d_%H_%M_%S", &tm);
}

size_t tr_time_str_short(const time_t *secs, char *buf, size_t len) {
    struct tm tm;
    localtime_r(secs, &tm);
    return strftime(buf, len, "%y%m%d%H%M%S", &tm);
}

// The timestamp text changes once a second; each thread keeps the last one.
static size_t tr_stamp(time_t sec, char *out) {
    static thread_local time_t last = -1;
    static thread_local char text[64];
    static thread_local size_t text_len;
    if (sec != last) {
        tr_time_str(&sec, text, sizeof(text));
        text_len = strlen(text);
        last = sec;
    }
    memcpy(out, text, text_len);
    return text_len;
}

// Opens a log file for appending, created if missing (emptied first with
// truncate).  Every log stream is opened here: O_APPEND makes each write
// land at the file's end whatever the stream's position, so a file that an
// operator emptied, or that a full disk cut short, never gets a hole of NUL
// bytes before the next line.  Close-on-exec: a program started by this one
// inherits no log stream.
static FILE *tr_fopen(const char *path, bool truncate) {
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | (truncate ? O_TRUNC : 0), 0666);
    if (fd < 0) return nullptr;
    FILE *fp = fdopen(fd, "a");
    if (fp == nullptr) {
        int err = errno;
        close(fd);
        errno = err;
    }
    return fp;
}

void tr_perform_rotation(FILE **fpp, const char *base) {
    const bool is_main =
        tr_main_lf.lf_base != nullptr && strncmp(base, tr_main_lf.lf_base, strlen(base)) == 0;
    char *from = nullptr, *to = nullptr, *cur = nullptr;
    bool failed = false;

    if (*fpp != nullptr) {
        fflush(*fpp);
        fclose(*fpp);
        *fpp = nullptr;
    }
    for (int i = 2; i >= 1 && !failed; i--) {
        if (asprintf(&from, "%s.%d", base, i - 1) < 0 || asprintf(&to, "%s.%d", base, i) < 0) {
            if (!is_main)
                tr_log(1, TR_ERROR,
                       "tr_perform_rotation: Unable to \t\t\t\t    rotate %s: asprintf error", base);
            failed = true;
        } else if (access(from, F_OK) == 0 && rename(from, to) != 0) {
            if (!is_main)
                tr_log(1, TR_ERROR, "tr_perform_rotation: Rename error for %s: %s", from,
                       strerror(errno));
            failed = true;
        }
        free(from);
        free(to);
        from = to = nullptr;
    }
    if (!failed) {
        if (asprintf(&cur, "%s.0", base) < 0) {
            cur = nullptr;
            if (!is_main) tr_log(1, TR_ERROR, "tr_perform_rotation: asprintf error");
            failed = true;
        } else if ((*fpp = tr_fopen(cur, true)) == nullptr) {
            if (!is_main) tr_log(1, TR_ERROR, "Unable to open file %s\n", base);
            failed = true;
        }
        free(cur);
        cur = nullptr;
    }
    if (!failed) return;

    // Rotation failed: go on writing to the current generation.  When base.0
    // was moved to base.1 but cannot be made anew (no inode left, say), the
    // current generation is base.1: better lines there than a stopped
    // process.
    int err = 0;
    for (int gen = 0; gen <= 1 && *fpp == nullptr; gen++) {
        if (asprintf(&cur, "%s.%d", base, gen) < 0) {
            if (!is_main) tr_log(1, TR_ERROR, "tr_perform_rotation: asprintf error");
            N_ASSERT(0, "memory for the log file's name to reopen it after a failed rotation");
        }
        *fpp = tr_fopen(cur, false);
        err = errno;
        free(cur);
        cur = nullptr;
    }
    if (*fpp == nullptr) {
        if (!is_main) tr_log(1, TR_ERROR, "tr_perform_rotation: fopen error: %s", strerror(err));
        N_ASSERT(0, "log file reopened after a failed rotation");
    }
    rewind(*fpp);
}

// Size of the open file, or 0 when it cannot be read.
static off_t tr_file_end(FILE *fp) {
    struct stat sb;
    return fstat(fileno(fp), &sb) == 0 ? sb.st_size : 0;
}

// Writes one finished line to a log file, rotating it first when the line
// would take it past the limit.
static void tr_dump_one_file(struct tr_logfile *lf, const char *line, size_t len) {
    pthread_mutex_lock(&lf->lf_lock);
    // Checked under the lock: a rotation in another thread has the stream
    // closed for a moment.
    N_ASSERT(lf->lf_fp != ((void *)0));
    if (int64_t{lf->lf_bytes.load()} + static_cast<int64_t>(len) > TR_ROTATE_AT) {
        tr_perform_rotation(&lf->lf_fp, lf->lf_base);
        lf->lf_bytes.store(0);
        lf->lf_end = tr_file_end(lf->lf_fp);
    }
    if (fwrite(line, 1, len, lf->lf_fp) == len && fflush(lf->lf_fp) == 0) {
        lf->lf_bytes.fetch_add(static_cast<int32_t>(len));
        lf->lf_end += static_cast<off_t>(len);
    } else {
        // A full disk must not leave half a line in the buffer, to be
        // written later in the middle of another, nor on disk, where the
        // next line would continue it: what reached the file of this line
        // is cut off again.  (Growth beyond one line is someone else's.)
        __fpurge(lf->lf_fp);
        clearerr(lf->lf_fp);
        off_t now = tr_file_end(lf->lf_fp);
        if (now > lf->lf_end && now - lf->lf_end < static_cast<off_t>(len))
            (void)!ftruncate(fileno(lf->lf_fp), lf->lf_end);
    }
    pthread_mutex_unlock(&lf->lf_lock);
}

void tr_log(uint64_t category, int level, const char *fmt, ...) {
    if ((n_counter_get(tr_mask) & category) == 0 || fmt == nullptr) return;
    tr_depth++;

    char line[TR_LINE_MAX];
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    size_t n = tr_stamp(tv.tv_sec, line);
    const char *lname = (level >= 0 && level < TR_NLEVELS) ? tr_levels[level].name : "";
    line[n++] = ' ';
    size_t ln = strlen(lname);
    memcpy(line + n, lname, ln);
    n += ln;
    line[n++] = ' ';

    va_list ap;
    va_start(ap, fmt);
    int m = vsnprintf(line + n, sizeof(line) - n, fmt, ap);
    va_end(ap);
    // The message and its newline must fit whole, with room for the NUL.
    if (m < 0 || n + static_cast<size_t>(m) + 2 > sizeof(line)) {
        tr_depth--;
        return;
    }
    // Log files are text: bytes of the message that are not UTF-8 (a
    // value from a file, an interface's name) are shown as '?'.
    for (size_t at = n, end = n + static_cast<size_t>(m); at < end;) {
        if (static_cast<unsigned char>(line[at]) < 0x80) {
            at++;
            continue;
        }
        int l = kv_utf8_len(line + at, end - at);
        for (int i = l; i < 0; i++)
            line[at++] = '?';
        at += static_cast<size_t>(l > 0 ? l : 0);
    }
    // A message that brings its own newline(s) ends with one all the same:
    // never an empty line.
    n += static_cast<size_t>(m);
    while (m-- > 0 && line[n - 1] == '\n')
        n--;
    line[n++] = '\n';
    line[n] = '\0';

    if (n_counter_get(tr_echo)) fputs(line, stdout);
    if (n_counter_get(tr_initialized)) {
        if (level == TR_DEBUG) {
            if (agent_cfg->ac_debug && tr_debug_lf.lf_fp != nullptr)
                tr_dump_one_file(&tr_debug_lf, line, n);
        } else if (n_counter_get(tr_output) == TR_OUT_SYSLOG) {
            if (level >= 0 && level < TR_NLEVELS && tr_levels[level].syslog_prio >= 0)
                syslog(tr_levels[level].syslog_prio, "%s", line + TR_STAMP_LEN);
        } else if (n_counter_get(tr_output) == TR_OUT_FILE) {
            tr_dump_one_file(&tr_main_lf, line, n);
        }
    }
    tr_depth--;
}

static void tr_close_file(struct tr_logfile *lf) {
    pthread_mutex_lock(&lf->lf_lock);
    if (lf->lf_fp != nullptr) fclose(lf->lf_fp);
    lf->lf_fp = nullptr;
    if (lf->lf_base != nullptr) nmem_free(lf->lf_base);
    lf->lf_base = nullptr;
    lf->lf_bytes.store(0);
    pthread_mutex_unlock(&lf->lf_lock);
}

// Opens path + ".0" for appending; the byte count starts at its size.
// Returns 0, or the errno of what failed after logging it, with the file
// state cleared.
static int tr_open_file(struct tr_logfile *lf, const char *path) {
    lf->lf_base = path != nullptr ? n_strdup(path) : nullptr;
    if (lf->lf_base == nullptr) {
        int err = path != nullptr ? errno : EINVAL;
        tr_log(1, TR_ERROR, "tr_init: strdup error: %s", strerror(err));
        return err;
    }
    char *name = nullptr;
    if (n_asprintf(&name, "%s%s", lf->lf_base, ".0") < 0) {
        tr_log(1, TR_ERROR, "tr_init: asprintf error");
        tr_close_file(lf);
        return ENOMEM;
    }
    lf->lf_fp = tr_fopen(name, false);
    int err = errno;
    nmem_free(name);
    if (lf->lf_fp == nullptr) {
        tr_log(1, TR_ERROR, "tr_init: fopen error: %s", strerror(err));
        tr_close_file(lf);
        return err;
    }
    lf->lf_end = tr_file_end(lf->lf_fp);
    lf->lf_bytes.store(static_cast<int32_t>(lf->lf_end));
    return 0;
}

void tr_init(void) {
    struct agent_config *cfg = agent_cfg;

    // A second call (a program that re-reads its record) starts afresh.
    n_counter_set(tr_initialized, uint8_t{0});
    tr_close_file(&tr_main_lf);
    tr_close_file(&tr_debug_lf);

    if (cfg->ac_dest != nullptr && strcmp(cfg->ac_dest, "syslog") == 0) {
        n_counter_set(tr_output, uint32_t{TR_OUT_SYSLOG});
        openlog(nullptr, LOG_PID | LOG_NDELAY, LOG_USER);
    } else if (cfg->ac_dest != nullptr && strcmp(cfg->ac_dest, "file") == 0) {
        tr_log(1, TR_DEBUG, "Initializing file logging...");
        n_counter_set(tr_output, uint32_t{TR_OUT_FILE});
        if (tr_open_file(&tr_main_lf, cfg->ac_logfile) != 0)
            N_ASSERT(tr_main_lf.lf_fp != ((void *)0));
    } else {
        tr_log(1, TR_ERROR, "Incorrect option provided for log destination. Exiting");
        exit(2);
    }

    int debug_err = 0;
    if (cfg->ac_debug && cfg->ac_debug_logfile != nullptr) {
        tr_log(1, TR_INFO, "Initializing debug logging...");
        debug_err = tr_open_file(&tr_debug_lf, cfg->ac_debug_logfile);
    }

    // A debug log that cannot be opened (a directory in its place, no
    // descriptor left) costs the DEBUG lines only: the main destination
    // works on and says once why they are not kept.
    n_counter_set(tr_initialized, uint8_t{1});
    tr_log(1, TR_INFO, "Logging infra initialized...");
    if (debug_err != 0)
        tr_log(1, TR_ERROR, "tr_init: debug log %s.0 not opened: %s", cfg->ac_debug_logfile,
               strerror(debug_err));
    if (cfg->ac_flow_debug) {
        n_counter_set(tr_mask, n_counter_get(tr_mask) | TR_FLOWDEBUG);
        tr_log(1, TR_INFO, "Debug flow logs is enabled");
    }
}

// Replaces *field by "<logdir>/<name>", name being the field's own text or
// the default.
static void logging_join(char **field, const char *logdir, const char *dflt) {
    char buf[4096];
    const char *name = *field != nullptr ? *field : dflt;
    int n = snprintf(buf, sizeof(buf), "%s/%s", logdir, name);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(buf)) {
        tr_log(1, TR_ERROR, "logging_init: log file path too long: %s/%s", logdir, name);
        N_ASSERT(static_cast<size_t>(n) < sizeof(buf));
    }
    char *joined = n_strdup(buf);
    N_ASSERT(joined != ((void *)0));
    if (*field != nullptr) nmem_free(*field);
    *field = joined;
}

void logging_init(void *) {
    struct agent_config *cfg = agent_cfg;
    if (cfg->ac_dest == nullptr) {
        cfg->ac_dest = n_strdup("file");
        N_ASSERT(cfg->ac_dest != ((void *)0));
    }
    if (cfg->ac_logdir == nullptr) {
        cfg->ac_logdir = n_strdup("./");
        N_ASSERT(cfg->ac_logdir != ((void *)0));
    }
    logging_join(&cfg->ac_logfile, cfg->ac_logdir, "qorv-netagent.log");
    logging_join(&cfg->ac_debug_logfile, cfg->ac_logdir, "agent-debug.log");
    cfg->ac_debug = 1;
    tr_init();
}
SYSINIT(logging, "logging", SI_SUB_LOGGING, 2, logging_init, nullptr);

void tr_verbose_toggle(void) {
    if (n_counter_get(tr_mask) != ~uint64_t{0}) {
        tr_saved_mask = n_counter_get(tr_mask);
        n_counter_set(tr_mask, ~uint64_t{0});
        tr_log(1, TR_INFO, "Verbose logging enabled");
    } else {
        n_counter_set(tr_mask, tr_saved_mask);
        if (tr_saved_mask & TR_GEN) tr_log(1, TR_INFO, "Verbose logging disabled");
    }
}

void tr_set_echo(int on) { n_counter_set(tr_echo, static_cast<uint8_t>(on)); }

int tr_logdir_path(char *buf, const char *name) {
    return sprintf(buf, "%s/%s", agent_cfg->ac_logdir, name);
}
