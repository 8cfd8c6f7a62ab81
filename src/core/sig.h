// sig: one dispatcher for a fixed table of signals, and the fatal-signal
// handler that logs, prints a back-trace and ends the process by the signal.
//
// Table, in order, with the handler at start: SIGINT, SIGTERM, SIGHUP,
// SIGPIPE, SIGSEGV, SIGABRT (fatal-signal handler); SIGUSR1 (none).
//
// Handlers run on whichever thread receives the signal, so they only
// record what happened (see swi.h's main_poll_stop_async).  sig_register
// may be called from any thread: the table's words are atomic.  No locks.
#pragma once

using sig_handler_fn = void (*)(int);

inline constexpr int SIG_TABLE_SIZE = 7;

// Start-up of sig_mod: installs the dispatcher for every entry with a handler.
void sig_init(void *arg);
// Sets the handler of a signal of the table (others are ignored).  Setting
// a handler where there was none installs the dispatcher; setting none
// where there was one gives the signal back its default action.
void sig_register(int signo, sig_handler_fn handler);
// The one function given to sigaction.
void sig_dispatch(int signo);
// Logs "signal <name> being processed", prints a back-trace for SIGABRT and
// SIGSEGV, then ends the process by the same signal.
void sig_fatal_handler(int signo);
// Logs the calling thread's stack, innermost frame first.
void print_backtrace(void);
