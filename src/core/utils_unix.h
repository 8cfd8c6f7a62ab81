// utils_unix: facts about the running system and small file utilities.
//
// Every call may be made from any thread; none takes a lock.  The host name
// is looked up once, by whichever thread asks first.
#pragma once

#include <pthread.h>
#include <sys/types.h>
#include <sys/utsname.h>

#include <cstddef>
#include <cstdint>

// System page size in KiB; 0 until the utils_unix module has started.
extern uint64_t utils_page_size_kb;

// Start-up of utils_unix: records the page size.
void utils_unix_init(void *arg);

// Resident memory of the process in KiB from "/proc/self/statm", or -1.
int64_t utils_rss_kb(void);
// The same from a statm-format file at path (second field: resident pages).
int64_t utils_rss_kb_file(const char *path);

// Each stores a new copy of the system's name (release) in *slot, or
// "unknown" when the system cannot tell, and returns it; the caller frees it
// with nmem_free.  A failed copy leaves *slot null.
char *utils_os_name(char **slot);
char *utils_os_release(char **slot);

// Sleeps usec microseconds; signals do not shorten the sleep.
void utils_usleep(uint32_t usec);
// The calling thread's pthread id.
pthread_t utils_thread_id(void);

// The host name, looked up once and cached for the life of the process;
// "unknown_host" when it cannot be had.  Never empty, never freed.
const char *get_host_name(void);

// Total size in bytes of the files below path, recursively, not following
// symbolic links; -1 (logged) on the first error anywhere in the tree.
int64_t utils_dir_size(const char *path);

// Takes an exclusive flock on path, opened with flags (O_RDONLY | O_DIRECTORY
// for a directory, O_RDWR | O_CREAT for a lock file, made mode 0644),
// without waiting.  Returns the descriptor, which holds the lock until it is
// closed: close-on-exec and never 0 to 2 (a daemon gives those to
// /dev/null).  -2 when another open file holds the lock; -1 with errno when
// path cannot be opened or locked.
int utils_lock_path(const char *path, int flags);
// The pid a file holds as "%u\n" (a pid file, a lock file); 0 when it is
// missing or names none.
pid_t utils_read_pid(const char *path);

// Replaces each of & * / : < > ? \ | in the text by repl, in place.
void utils_fname_sanitize(char *text, char repl);

// Name tables; the index must be within the table.
const char *utils_state_name(int idx);  // "Enabled", "Disabled"
const char *utils_level_name(int idx);  // "KPI", "Diagnostic", "Advanced"
