// nthread: the thread registry.
//
// A module describes a thread by a record (body and argument), registers
// it, and nthread_start_all later starts every registered record; inside,
// nthread_current() returns the thread's own record.  At most 8 records are
// registered at a time.  The registry is guarded by one spin lock.
#pragma once

#include <pthread.h>

#include <cstdint>

inline constexpr int NTHREAD_MAX = 8;

using nthread_fn = void *(*)(void *);

struct nthread {
    pthread_t nt_thread;  // written when the thread starts
    uint16_t nt_tid;      // registry slot, 0 to 7
    nthread_fn nt_func;   // the body; its result is ignored
    void *nt_arg;
};

// Stores func and arg in nt and gives it the lowest free slot; returns 0.
// A ninth registration stops the process.
int nthread_register(struct nthread *nt, nthread_fn func, void *arg);
// Frees the record's slot (the thread, if running, goes on).
void nthread_deregister(struct nthread *nt);
// Starts one thread for every registered record, lowest slot first.
void nthread_start_all(void);
// Starts the thread of one record, registered or not.
void nthread_start(struct nthread *nt);
// The record of the calling thread, or null outside registry threads.
struct nthread *nthread_current(void);
// Number of registered records.
int nthread_count(void);
