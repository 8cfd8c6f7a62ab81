// Module framework runners.  Called from one thread; no locks.
#include "core/sysinit.h"

#include <utility>

// Bounds of the two sets, provided by the linker for sections whose names
// are C identifiers.  Every program holds the placeholders below, so neither
// set is ever missing.
extern "C" struct sysinit *__start_set_sysinit_set[];
extern "C" struct sysinit *__stop_set_sysinit_set[];
extern "C" struct sysinit *__start_set_sysfini_set[];
extern "C" struct sysinit *__stop_set_sysfini_set[];

static struct sysinit **sysinit_begin, **sysinit_end;
static struct sysinit **sysfini_begin, **sysfini_end;
static int modules_started;

SYSINIT(placeholder, "placeholder", SI_SUB_DUMMY, SI_ORDER_ANY, nullptr, nullptr);
SYSUNINIT(placeholder, "placeholder", SI_SUB_DUMMY, SI_ORDER_ANY, nullptr, nullptr);

static void sysinit_bounds(void) {
    if (sysinit_begin == nullptr) {
        sysinit_begin = __start_set_sysinit_set;
        sysinit_end = __stop_set_sysinit_set;
    }
    if (sysfini_begin == nullptr) {
        sysfini_begin = __start_set_sysfini_set;
        sysfini_end = __stop_set_sysfini_set;
    }
}

struct sysinit **sysinit_set_begin(bool fini) {
    sysinit_bounds();
    return fini ? sysfini_begin : sysinit_begin;
}

struct sysinit **sysinit_set_end(bool fini) {
    sysinit_bounds();
    return fini ? sysfini_end : sysinit_end;
}

int sysinit_started(void) { return modules_started; }

static bool sysinit_after(const struct sysinit *a, const struct sysinit *b) {
    return a->subsystem > b->subsystem || (a->subsystem == b->subsystem && a->order > b->order);
}

void sysinit_sort(struct sysinit **begin, struct sysinit **end, bool ascending) {
    for (struct sysinit **i = begin; i < end; i++)
        for (struct sysinit **j = i + 1; j < end; j++)
            if (ascending ? sysinit_after(*i, *j) : sysinit_after(*j, *i)) std::swap(*i, *j);
}

void sysinit_run_set(struct sysinit **begin, struct sysinit **end) {
    for (struct sysinit **p = begin; p < end; p++) {
        struct sysinit *si = *p;
        if (si->subsystem < 2 || si->subsystem == SI_SUB_NEVER) continue;
        if (si->func != nullptr) si->func(si->udata);
        si->subsystem = SI_SUB_DONE;
    }
}

void sysinit_run(void) {
    sysinit_bounds();
    sysinit_sort(sysinit_begin, sysinit_end, true);
    sysinit_sort(sysfini_begin, sysfini_end, false);
    sysinit_run_set(sysinit_begin, sysinit_end);
    modules_started = 1;
}

void sysfini_run(void) {
    if (!modules_started) return;
    sysinit_run_set(sysfini_begin, sysfini_end);
}
