// npmd_policy: when the agent is restarted and when the supervisor stops.
//
// The state is the entry's restart flag: 0 while the day's one restart is
// still allowed, 1 once it is used.  Times are monotonic nanoseconds, so a
// step of the wall clock neither ends supervision early nor hands out extra
// restarts; durations are compared in whole elapsed seconds.
#include "supervisor/npmd.h"

// npm_actions[restart flag][event]
static constexpr npm_action npm_actions[2][NPM_EV_COUNT] = {
    // END_EARLY     END_LATE         DAY_PASSED
    {NPM_ACT_STOP, NPM_ACT_RESTART, NPM_ACT_RESET},  // restart allowed
    {NPM_ACT_STOP, NPM_ACT_STOP, NPM_ACT_RESET},     // restart used
};

int64_t npm_elapsed_s(const struct npm_proc *p, int64_t now_ns) {
    int64_t d = now_ns - p->np_start_ns;
    // Floor division: a clock read just before the start (never expected
    // from a monotonic source) counts as an early end, not as a late one.
    return d >= 0 ? d / NPM_NS_PER_S : -((-d + NPM_NS_PER_S - 1) / NPM_NS_PER_S);
}

enum npm_event npm_end_event(const struct npm_proc *p, int64_t now_ns) {
    return npm_elapsed_s(p, now_ns) <= NPM_EARLY_FAIL_S ? NPM_EV_END_EARLY : NPM_EV_END_LATE;
}

enum npm_action npm_next_action(const struct npm_proc *p, enum npm_event ev) {
    return npm_actions[p->np_restarted ? 1 : 0][ev];
}

bool npm_pass_resets(uint64_t pass, const struct npm_proc *p, int64_t now_ns) {
    return pass % 5 != 0 && npm_elapsed_s(p, now_ns) > NPM_DAY_S;
}
