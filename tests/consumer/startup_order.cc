// Prints the program's start-up and shut-down sets in the order the runners
// would take them, without running them.  Built in the source tree, linked
// as its programs are, and against the installed library, linked as other
// programs are: the outputs must be the same.  The program's own modules
// have keys equal to core modules', where the link order decides.  One per
// set: the order of several entries of one file is the compiler's, which
// changes with the optimisation level.
#include <cstdio>
#include <vector>

#include "core/sysinit.h"

static void nothing(void *) {}
SYSINIT(own_kv, "own_kv_mod", SI_SUB_KV, SI_ORDER_ANY, nothing, nullptr);
SYSUNINIT(own_netctl, "own_netctl_mod", SI_SUB_NETCTL, SI_ORDER_ANY, nothing, nullptr);

int main() {
    for (bool fini : {false, true}) {
        std::vector<struct sysinit *> set(sysinit_set_begin(fini), sysinit_set_end(fini));
        sysinit_sort(set.data(), set.data() + set.size(), !fini);
        for (const struct sysinit *d : set)
            printf("%s %s %#x %#x\n", fini ? "fini" : "init", d->name, d->subsystem, d->order);
    }
    return 0;
}
