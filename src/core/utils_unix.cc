// utils_unix: system facts, the microsecond sleep, host name, directory
// sizes and file-name clean-up.
#include "core/utils_unix.h"
#include "core/utils_unix_internal.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/logging.h"
#include "core/nmem.h"
#include "core/sysinit.h"

uint64_t utils_page_size_kb;

static struct utils_sys_ops utils_ops = {uname, gethostname};

void utils_set_sys_ops(const struct utils_sys_ops *ops) {
    utils_ops.uname = ops != nullptr && ops->uname != nullptr ? ops->uname : uname;
    utils_ops.gethostname =
        ops != nullptr && ops->gethostname != nullptr ? ops->gethostname : gethostname;
}

void utils_unix_init(void *) {
    long sz = sysconf(_SC_PAGESIZE);
    utils_page_size_kb = sz > 0 ? static_cast<uint64_t>(sz) / 1024 : 0;
}
SYSINIT(utils_unix, "utils_unix", SI_SUB_UTILS, SI_ORDER_FIRST, utils_unix_init, nullptr);

int64_t utils_rss_kb_file(const char *path) {
    FILE *fp = fopen(path, "re");
    if (fp == nullptr) return -1;
    long pages = 0;
    int n = fscanf(fp, "%*s%ld", &pages);
    fclose(fp);
    if (n != 1) return -1;
    return static_cast<int64_t>(pages) * static_cast<int64_t>(utils_page_size_kb);
}

int64_t utils_rss_kb(void) {
    return utils_rss_kb_file("/proc/self/statm");
}

int utils_lock_path(const char *path, int flags) {
    int fd = open(path, flags | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    if (fd < 3) {
        int high = fcntl(fd, F_DUPFD_CLOEXEC, 3);
        int err = errno;
        close(fd);
        errno = err;
        if (high < 0) return -1;
        fd = high;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return fd;
    int err = errno;
    close(fd);
    errno = err;
    return err == EWOULDBLOCK ? -2 : -1;
}

pid_t utils_read_pid(const char *path) {
    char buf[32];
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    ssize_t n = read(fd, buf, sizeof(buf) - 1);
    close(fd);
    if (n <= 0) return 0;
    buf[n] = '\0';
    char *end = nullptr;
    unsigned long v = strtoul(buf, &end, 10);
    if (end == buf || (*end != '\n' && *end != '\0') || v > INT_MAX) return 0;
    return static_cast<pid_t>(v);
}

static char *utils_uname_field(char **slot, bool release) {
    struct utsname un;
    const char *text = "unknown";
    if (utils_ops.uname(&un) == 0) text = release ? un.release : un.sysname;
    *slot = n_strdup(text);
    return *slot;
}

char *utils_os_name(char **slot) {
    return utils_uname_field(slot, false);
}
char *utils_os_release(char **slot) {
    return utils_uname_field(slot, true);
}

void utils_usleep(uint32_t usec) {
    if (usec == 0) return;
    struct timespec req;
    req.tv_sec = usec / 1000000;
    req.tv_nsec = static_cast<long>(usec % 1000000) * 1000;
    while (nanosleep(&req, &req) != 0 && errno == EINTR) {
    }
}

pthread_t utils_thread_id(void) {
    return pthread_self();
}

static const char *host_name_cache;

const char *get_host_name(void) {
    const char *cached = __atomic_load_n(&host_name_cache, __ATOMIC_ACQUIRE);
    if (cached != nullptr) return cached;

    // Room for the longest name the system allows and its terminator, so
    // that a legal 64-character name is not taken for a failure.
    char buf[HOST_NAME_MAX + 1];
    if (utils_ops.gethostname(buf, sizeof(buf)) != 0 || buf[0] == '\0') {
        tr_log(1, TR_ERROR, "Cannot get hostname");
        snprintf(buf, sizeof(buf), "%s", "unknown_host");
    }
    buf[sizeof(buf) - 1] = '\0';
    char *copy = n_strdup(buf);
    const char *name = copy;
    if (copy == nullptr) {
        tr_log(1, TR_ERROR, "get_host_name: error getting hostname");
        name = "unknown_host";
    }
    // Two threads asking first both look the name up; one copy wins and the
    // other is released, so callers all get the same text.
    const char *expected = nullptr;
    if (!__atomic_compare_exchange_n(&host_name_cache, &expected, name, false, __ATOMIC_ACQ_REL,
                                     __ATOMIC_ACQUIRE)) {
        if (copy != nullptr) nmem_free(copy);
        return expected;
    }
    return name;
}

namespace {
// Owns what one level of utils_dir_size holds, so that every return path
// releases its path buffer and closes its directory.
struct dir_walk {
    char *path = nullptr;
    DIR *dir = nullptr;
    ~dir_walk() {
        if (dir != nullptr) closedir(dir);
        if (path != nullptr) nmem_free(path);
    }
};
}  // namespace

static constexpr size_t DIRSZ_PATH_MAX = 4096;
static constexpr size_t DIRSZ_NAME_MAX = 255;

int64_t utils_dir_size(const char *path) {
    dir_walk w;
    w.path = static_cast<char *>(nmem_alloc(DIRSZ_PATH_MAX, 0));
    if (w.path == nullptr) {
        tr_log(1, TR_ERROR, "Error allocating file_name");
        return -1;
    }
    w.dir = opendir(path);
    if (w.dir == nullptr) {
        tr_log(1, TR_ERROR, "Error opening directory %s", path);
        return -1;
    }
    size_t plen = strlen(path);
    if (plen > DIRSZ_PATH_MAX - 1) {
        tr_log(1, TR_ERROR, "No space to store file name %s len %d", path, static_cast<int>(plen));
        return -1;
    }
    // A path of exactly 4095 characters leaves no room for the separator;
    // the first entry below then reports that its name does not fit.
    memcpy(w.path, path, plen);
    size_t base = plen < DIRSZ_PATH_MAX - 1 ? plen + 1 : plen;
    w.path[plen] = '/';

    int64_t total = 0;
    struct dirent *de;
    while ((de = readdir(w.dir)) != nullptr) {
        const char *name = de->d_name;
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
        size_t nlen = strnlen(name, DIRSZ_NAME_MAX + 1);
        if (nlen > DIRSZ_NAME_MAX || base + nlen + 1 > DIRSZ_PATH_MAX) {
            tr_log(1, TR_ERROR, "No Null at the end of strncpy");
            return -1;
        }
        memcpy(w.path + base, name, nlen + 1);

        struct stat st;
        if (lstat(w.path, &st) != 0) {
            tr_log(1, TR_ERROR, "Unable to do lstat on %s", w.path);
            return -1;
        }
        if (S_ISLNK(st.st_mode)) continue;
        if (S_ISDIR(st.st_mode)) {
            int64_t sub = utils_dir_size(w.path);
            if (sub < 0) return -1;
            total += sub;
        } else {
            total += st.st_size;
        }
    }
    return total;
}

// Characters that cannot stand in a file name on the systems our files
// travel to.
static constexpr char fname_unsafe[] = "&*/:<>?\\|";

void utils_fname_sanitize(char *text, char repl) {
    for (char *p = text; *p != '\0'; p++)
        if (strchr(fname_unsafe, *p) != nullptr) *p = repl;
}

static constexpr const char *utils_state_names[] = {"Enabled", "Disabled"};
static constexpr const char *utils_level_names[] = {"KPI", "Diagnostic", "Advanced"};

const char *utils_state_name(int idx) {
    return utils_state_names[idx];
}
const char *utils_level_name(int idx) {
    return utils_level_names[idx];
}
