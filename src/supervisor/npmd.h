// npmd: the supervisor daemon qorv-netmon.
//
// The daemon detaches, writes its pid file, starts the agent qorv-netagent
// as its only child and then runs one loop.  Signals never run handlers:
// SIGTERM, SIGINT and SIGCHLD stay blocked and are read from a signalfd,
// so every reaction (reports, core renaming, restarts, stopping) happens in
// the loop, which waits on that descriptor with a deadline at its next
// two-second pass.  Because SIGCHLD is only ever acted on by the loop, a
// child is never reaped before its pid has been stored.  SIGHUP, the
// reload signal, is read the same way and passed on to the agent.
//
// Files, in layers:
//   npmd_opts.cc    options, derived paths, the process-monitor list
//   npmd_policy.cc  restart/stop decisions: pure functions of an entry and a
//                   monotonic time, and the state/event action table
//   npmd_sup.cc     what happens on a child's end and on each loop pass,
//                   through a table of operations that tests replace
//   npmd_proc.cc    detaching, pid file and its lock, launching, parent check
//   npmd_loop.cc    the signalfd loop, interruptible pauses, stopping
//   npmd_report.cc  start-up's outcome, told to the command that was typed
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>

// Supervisor settings, fixed before the loop starts.  Every text is a heap
// string owned by the record.
struct npmd_conf {
    char *nc_root;     // install root, as given
    char *nc_homedir;  // working directory; core files land here
    char *nc_logdir;
    char *nc_rundir;
    char *nc_pidfile;
    char *nc_logfile;  // base path of the supervisor's own log file
    int nc_check_parent;
    pid_t nc_parent_pid;
};

// Fills the built-in defaults.  Returns -1 when memory runs out.
int npmd_conf_init(struct npmd_conf *c);
void npmd_conf_release(struct npmd_conf *c);
// getopt "r:p:".  Logs what failed and returns -1; the caller ends.
int npmd_parse_opts(int argc, char **argv, struct npmd_conf *c);

inline constexpr int NPM_ARGV_SLOTS = 10;
inline constexpr size_t NPM_PATH_MAX = 256;       // program path buffer
inline constexpr size_t NPM_CORE_NAME_MAX = 128;  // renamed core file buffer

// One monitored process.
struct npm_proc {
    const char *np_name;
    char *np_dir;  // program directory, "<root>bin/"
    // Ten slots ended by the first null one; the extra slot keeps the vector
    // null-terminated for execv even if all ten were used.
    char *np_argv[NPM_ARGV_SLOTS + 1];
    pid_t np_pid;          // running child, 0 when there is none
    uint8_t np_restarted;  // 1 once the day's one restart is used
    int64_t np_start_ns;   // monotonic time of the latest launch
};

// The process-monitor list: the agent only.
inline constexpr size_t NPM_PROC_COUNT = 1;
extern struct npm_proc npm_proc_list[NPM_PROC_COUNT];

// Fills program directory and arguments of the agent's entries from the
// install root.  Logs and returns -1 on failure.
int npmd_fix_proc_mon_list(const struct npmd_conf *c, struct npm_proc *list, size_t n);
void npm_proc_release(struct npm_proc *p);
// Writes "<dir><name>" into buf; -1 (buf untouched beyond len) when it does
// not fit: a truncated path could start some other program.
int npm_program_path(const struct npm_proc *p, char *buf, size_t len);

// ---- policy --------------------------------------------------------------

inline constexpr int64_t NPM_NS_PER_S = 1000000000;
inline constexpr int64_t NPM_EARLY_FAIL_S = 2;  // an end this soon is never restarted
inline constexpr int64_t NPM_DAY_S = 86400;     // restart budget period
inline constexpr int64_t NPMD_PASS_NS = 2 * NPM_NS_PER_S;

enum npm_event {
    NPM_EV_END_EARLY,   // child ended within the early-failure window
    NPM_EV_END_LATE,    // child ended after it
    NPM_EV_DAY_PASSED,  // a resetting pass found a day since the latest launch
    NPM_EV_COUNT,
};

enum npm_action {
    NPM_ACT_NONE,
    NPM_ACT_RESTART,
    NPM_ACT_STOP,
    NPM_ACT_RESET,
};

// Whole seconds since the entry's latest launch.
int64_t npm_elapsed_s(const struct npm_proc *p, int64_t now_ns);
enum npm_event npm_end_event(const struct npm_proc *p, int64_t now_ns);
enum npm_action npm_next_action(const struct npm_proc *p, enum npm_event ev);
// True when loop pass number pass (1, 2, ...) resets the restart budget.
bool npm_pass_resets(uint64_t pass, const struct npm_proc *p, int64_t now_ns);

// ---- supervision ---------------------------------------------------------

// Everything npmd_sup.cc does to the outside world.
struct npmd_ops {
    int64_t (*no_mono_ns)(void);  // monotonic clock, nanoseconds
    time_t (*no_wall)(void);      // wall clock, for core file names
    // Starts the agent from path; returns the child's pid or -1 with errno.
    pid_t (*no_spawn)(struct npm_proc *p, const char *path);
    // Waits ms milliseconds; a termination that arrives meanwhile ends the
    // process from inside.
    void (*no_pause_ms)(int ms);
    int (*no_parent_alive)(pid_t pid);
    // Removes the pid file and ends the supervisor; returns only in tests.
    void (*no_stop)(void);
    // Stops the agent and the supervisor; returns only in tests.
    void (*no_terminate)(int sig);
    // Sends sig to a child; 0, or -1 with errno.
    int (*no_signal)(pid_t pid, int sig);
};

void npmd_sup_setup(struct npm_proc *p, const char *path, const struct npmd_conf *c,
                    const struct npmd_ops *ops);
// Handles one waitpid result.  Returns what was done.
enum npm_action npmd_on_child_exit(pid_t pid, int status);
// One two-second pass: parent check, then the daily reset on four passes
// out of five.
void npmd_on_pass(void);
// SIGHUP: passed on to the running agent, which reads its configuration
// again.  One INFO line either way.
void npmd_on_reload(void);
uint64_t npmd_pass_count(void);
// Probes the parent with signal 0 and terminates the supervisor when it has
// gone.
// Returns 0 while the parent is alive.
int npmd_check_parent_process(pid_t ppid);
int npm_rename_core(const char *name, pid_t pid);

// ---- process -------------------------------------------------------------

// Locks the run directory for this daemon's life.  Returns the descriptor
// (close-on-exec, at least 3), -1 when no lock could be taken (a missing
// directory is reported later, by the pid file), or -2 when another
// supervisor holds it (reported here).
int npmd_lock_rundir(const char *rundir, const char *pidfile);
// Detaches; keep_fd and the start-up report's pipe survive the closing of
// descriptors.  The command's own process stays behind and waits for the
// report (npmd_report_parent).  Returns -1 after logging what failed.
int daemonize(const char *homedir, int keep_fd);
// Closes every descriptor but the n in keep (negative ones are none), with
// close_range when try_range is set and the kernel has it, descriptor by
// descriptor otherwise.
void npmd_close_fds(const int *keep, size_t n, bool try_range);
int npm_write_pidfile(const char *path);
// Removes the pid file if it still names owner.  Returns 0 when removed.
int npm_remove_pidfile(const char *path, pid_t owner);
// The supervisor's own pid, fixed after detaching; the pid file holds it.
extern pid_t npmd_self;
extern const char *npmd_pidfile;

// ---- start-up report -----------------------------------------------------

// How long the command waits for the daemon to be up or to fail.
inline constexpr int NPMD_REPORT_WAIT_MS = 10000;

// Opens the report pipe (both ends close-on-exec, at 3 or above); logfile
// is the log's base path, named when the daemon ends without a status.
// Returns -1 on failure.
int npmd_report_open(const char *logfile);
// The write end, -1 once start-up is over.
int npmd_report_fd(void);
// In the command, after the first fork: waits for the report, prints the
// ERROR lines it carries and exits with the daemon's status.
[[noreturn]] void npmd_report_parent(void);
// Waits up to timeout_ms for the end of the report read from rd and
// returns the status to exit with: 0 when the daemon is up, the status of
// its exit, or 1 when it ended without one or the time ran out (both
// said in one ERROR line naming logfile.0).  ERROR lines read are printed
// on standard output as they come.
int npmd_report_wait(int rd, int timeout_ms, const char *logfile);
// In the first fork's child: standard output goes to the pipe, and every
// exit from here on sends its status.
void npmd_report_child(void);
// Standard output to the pipe again (after detaching set it to /dev/null).
void npmd_report_stdout(void);
// Start-up is over: the pid file is written and the agent launched.
void npmd_report_up(void);
// Sends an exit status (for an exit that does not go through exit()).
void npmd_report_status(int status);
// In the first agent's child, before its exec and after a failed one.
void npmd_report_exec_begin(void);
void npmd_report_exec_failed(void);

// ---- loop ----------------------------------------------------------------

// Blocks SIGTERM, SIGINT, SIGCHLD and SIGHUP and opens the signalfd.
// Children get the original mask back before exec, SIGHUP still blocked.
// Returns -1 on failure.
int npmd_signals_init(void);
// Starts p from path (fork, exec).  first: an exec failure is logged and
// removes the pid file, as on the first launch.
pid_t npmd_spawn(struct npm_proc *p, const char *path, bool first);
void npmd_pause_ms(int ms);
[[noreturn]] void npmd_stop(void);
[[noreturn]] void npmd_terminate(int sig);
[[noreturn]] void npmd_loop_run(void);
// How long a stopping agent may take after SIGTERM before SIGKILL.
extern int npmd_kill_grace_ms;
extern const struct npmd_ops npmd_sys_ops;
