// Module framework: start-up and shut-down through two linker sets.
//
// A module declares a descriptor with SYSINIT (start-up) or SYSUNINIT
// (shut-down).  The declaration places a pointer to it in the section
// set_sysinit_set or set_sysfini_set; the linker gathers the pointers of all
// modules, in link order, between __start_<set> and __stop_<set>.
// sysinit_run sorts the start-up set by (subsystem, order) ascending and runs
// it; sysfini_run runs the shut-down set, sorted descending, so later
// subsystems stop first.  A descriptor that has run reads subsystem 1.
//
// The program calls each runner once, from its main thread; they take no
// locks.  Start-up functions may start threads, which the runner does not
// wait for.
#pragma once

#include <cstdint>

struct sysinit {
    char name[32];        // for identification only
    uint32_t subsystem;   // primary key; see the reserved values below
    uint32_t order;       // secondary key
    void (*func)(void *); // the work; its result, if any, is ignored
    void *udata;          // passed to func
};

// Reserved subsystem values.
inline constexpr uint32_t SI_SUB_DUMMY = 0;          // inert, never run
inline constexpr uint32_t SI_SUB_DONE = 1;           // written once run
inline constexpr uint32_t SI_SUB_NEVER = 0x0fffffff; // never run
// Subsystems of the core modules, in start-up order.
inline constexpr uint32_t SI_SUB_NETCTL = 5;
inline constexpr uint32_t SI_SUB_UTILS = 7;
inline constexpr uint32_t SI_SUB_CORE = 0x10;
inline constexpr uint32_t SI_SUB_CLOCKS = 0x100000;
inline constexpr uint32_t SI_SUB_SIGNALS = 0x200000;
inline constexpr uint32_t SI_SUB_KV = 0x600000;
inline constexpr uint32_t SI_SUB_LOGGING = 0x620000;
inline constexpr uint32_t SI_SUB_EVENT = 0x730000;
inline constexpr uint32_t SI_SUB_MBUF = 0x750000;
inline constexpr uint32_t SI_SUB_CONFIG = 0x8000000;

inline constexpr uint32_t SI_ORDER_FIRST = 0;
inline constexpr uint32_t SI_ORDER_ANY = 0x0fffffff;

// "used" and "retain" keep the entry through the link whatever the linker's
// garbage collection decides about the rest of the object.
#define SYSINIT_ENTRY(set, ident, modname, sub, ord, fn, arg)                        \
    static struct sysinit ident##_##set##_desc = {modname, sub, ord, fn, arg};      \
    __attribute__((section(#set), used, retain)) static struct sysinit *             \
        ident##_##set##_ptr = &ident##_##set##_desc

#define SYSINIT(ident, modname, sub, ord, fn, arg) \
    SYSINIT_ENTRY(set_sysinit_set, ident, modname, sub, ord, fn, arg)
#define SYSUNINIT(ident, modname, sub, ord, fn, arg) \
    SYSINIT_ENTRY(set_sysfini_set, ident, modname, sub, ord, fn, arg)

void sysinit_run(void);
void sysfini_run(void);

// The runners' building blocks, on any array of descriptor pointers.
// Exchange sort: ascending for start-up, descending for shut-down.  Not
// stable; the order it gives equal keys is part of the start-up contract.
void sysinit_sort(struct sysinit **begin, struct sysinit **end, bool ascending);
// Runs every descriptor not reserved (subsystem below 2 or SI_SUB_NEVER),
// in array order, marking each SI_SUB_DONE.
void sysinit_run_set(struct sysinit **begin, struct sysinit **end);

// The program's sets as the linker laid them out (sorted once run).
struct sysinit **sysinit_set_begin(bool fini);
struct sysinit **sysinit_set_end(bool fini);
// Non-zero once sysinit_run has finished.
int sysinit_started(void);
