// agent_conf: the agent's configuration block, its file and SIGHUP.
//
// The block in force (agent_conf_live) is written by the apply hook on the
// main poll thread and read by the control-socket thread through
// "agent.config"; the hook writes it under the control tree's lock, which
// the socket thread holds while it reads, so a reader never meets a string
// that is being released.
#include "agent/agent_conf.h"

#include "agent/agent_apps.h"
#include "agent/agent_sockets.h"

#include <signal.h>

#include <cstddef>
#include <cstring>

#include "core/agent_config.h"
#include "core/kern_timeout.h"
#include "core/kv.h"
#include "core/kv_config.h"
#include "core/kv_metadata.h"
#include "core/kvc_file.h"
#include "core/logging.h"
#include "core/netctl/netctl_vars.h"
#include "core/nmem.h"
#include "core/sig.h"

static struct kv_var agent_conf_vars[] = {
    {"stats_interval_ms", KV_T_U32, 0, 4, 0, 0, offsetof(struct agent_conf, acf_stats_interval_ms)},
    {"md_update_interval", KV_T_U32, 0, 4, 0, 0,
     offsetof(struct agent_conf, acf_md_update_interval)},
    {"flow_debug", KV_T_U16, 0, 2, 0, 0, offsetof(struct agent_conf, acf_flow_debug)},
    {"ignore_ifaces", KV_T_STRING, 0, 8, 0, 0, offsetof(struct agent_conf, acf_ignore_ifaces)},
    {"prom_dir", KV_T_STRING, 0, 8, 0, 0, offsetof(struct agent_conf, acf_prom_dir)},
    {"prom_interval_s", KV_T_U32, 0, 4, 0, 0, offsetof(struct agent_conf, acf_prom_interval_s)},
    {"scan_interval_ms", KV_T_U32, 0, 4, 0, 0, offsetof(struct agent_conf, acf_scan_interval_ms)},
    {"apps_top", KV_T_U32, 0, 4, 0, 0, offsetof(struct agent_conf, acf_apps_top)},
    {"metadata_export", KV_T_U16, 0, 2, 0, 0, offsetof(struct agent_conf, acf_metadata_export)},
    {"metadata_max_kb", KV_T_U32, 0, 4, 0, 0, offsetof(struct agent_conf, acf_metadata_max_kb)},
};
static struct kv_head agent_conf_head = {
    "agent",
    0,
    0,
    sizeof(agent_conf_vars) / sizeof(agent_conf_vars[0]),
    {0, 0, 0, 0},
    sizeof(struct agent_conf),
    nullptr,
    agent_conf_vars,
    nullptr,
    nullptr,
    {nullptr, nullptr},
};

static void agent_conf_defaults(void *data);
static void agent_conf_apply(struct kvc_reg *reg, void *data, void *value);

// Without KVC_ONCE: every SIGHUP read completes into the apply hook.
static struct kvc_reg agent_conf_reg = {
    0, 0, &agent_conf_head, nullptr, agent_conf_defaults, agent_conf_apply, {nullptr, nullptr},
};

static struct agent_conf agent_conf_live;
static volatile sig_atomic_t agent_conf_hup;
static struct callout agent_conf_callout;

static void agent_conf_defaults(void *data) {
    auto *c = static_cast<struct agent_conf *>(data);
    c->acf_stats_interval_ms = 1000;
    c->acf_md_update_interval = 60;
    c->acf_prom_interval_s = 15;
    c->acf_scan_interval_ms = AGENT_SOCKETS_SCAN_MS;
    c->acf_apps_top = AGENT_APPS_TOP;
    c->acf_metadata_max_kb = AGENT_SOCKETS_EXPORT_KB;
}

// A number of the file within lo..hi; outside, the nearest bound, with a
// WARN.
static uint32_t agent_conf_within(const char *key, uint32_t *v, uint32_t lo, uint32_t hi) {
    if (*v >= lo && *v <= hi) return *v;
    const uint32_t used = *v < lo ? lo : hi;
    tr_log(1, TR_WARN, "agent_conf_apply: %s %u outside %u..%u, %u used", key, *v, lo, hi, used);
    return *v = used;
}

static void agent_conf_apply(struct kvc_reg *, void *data, void *value) {
    auto *c = static_cast<struct agent_conf *>(data);
    const auto *res = static_cast<const struct kvc_file_result *>(value);
    const uint32_t ms = agent_conf_within("stats_interval_ms", &c->acf_stats_interval_ms,
                                          AGENT_STATS_INTERVAL_MIN_MS, AGENT_STATS_INTERVAL_MAX_MS);
    agent_conf_within("prom_interval_s", &c->acf_prom_interval_s, 1, AGENT_PROM_INTERVAL_MAX_S);
    agent_sockets_configure(
        agent_conf_within("scan_interval_ms", &c->acf_scan_interval_ms, AGENT_SOCKETS_SCAN_MIN_MS,
                          AGENT_SOCKETS_SCAN_MAX_MS),
        c->acf_metadata_export != 0,
        agent_conf_within("metadata_max_kb", &c->acf_metadata_max_kb, AGENT_SOCKETS_EXPORT_MIN_KB,
                          AGENT_SOCKETS_EXPORT_MAX_KB));
    agent_apps_set_top(agent_conf_within("apps_top", &c->acf_apps_top, 0, AGENT_APPS_TOP_MAX));
    char *old, *old_dir;
    {
        netctl_tree_guard guard;
        old = agent_conf_live.acf_ignore_ifaces;
        old_dir = agent_conf_live.acf_prom_dir;
        agent_conf_live = *c;
        // The strings are taken over: the block is cleared after this hook.
        c->acf_ignore_ifaces = nullptr;
        c->acf_prom_dir = nullptr;
    }
    if (old != nullptr) nmem_free(old);
    if (old_dir != nullptr) nmem_free(old_dir);
    agent_cfg->ac_md_update_interval = agent_conf_live.acf_md_update_interval;
    // The store took its interval at start-up; a read (and a re-read on
    // SIGHUP) sets the one in force, which the host's socket feed follows.
    kvmd_store.update_interval = kv_metadata_interval_usec(agent_cfg->ac_md_update_interval);
    agent_cfg->ac_flow_debug = agent_conf_live.acf_flow_debug;
    if (agent_conf_live.acf_flow_debug != 0)
        tr_mask |= TR_FLOWDEBUG;
    else
        tr_mask &= ~TR_FLOWDEBUG;
    const char *ign = agent_conf_live.acf_ignore_ifaces;
    tr_log(1, TR_INFO,
           "agent_conf_apply: stats_interval_ms %u, md_update_interval %u, flow_debug %u, "
           "ignore_ifaces \"%s\" (%d from the file, %d warnings)",
           ms, agent_conf_live.acf_md_update_interval, unsigned{agent_conf_live.acf_flow_debug},
           ign != nullptr ? ign : "", res != nullptr ? res->kfr_stored : 0,
           res != nullptr ? res->kfr_warnings : 0);
}

void agent_conf_init(void) {
    const char *dir = agent_cfg->ac_confdir != nullptr ? agent_cfg->ac_confdir : ".";
    size_t n = strlen(dir);
    char *path = nullptr;
    if (n_asprintf(&path, "%s%s%s", dir, n > 0 && dir[n - 1] == '/' ? "" : "/", AGENT_CONF_FILE) <
            0 ||
        kvc_file_set_path(path) != 0)
        tr_log(1, TR_ERROR, "agent_conf_init: no memory for the configuration path");
    if (path != nullptr) nmem_free(path);
    kvc_register_ops(&kvc_file_ops);
    if (kv_register(&agent_conf_head) != 0) {
        tr_log(1, TR_ERROR, "agent_conf_init: configuration block not registered, defaults used");
        agent_conf_defaults(&agent_conf_live);
        return;
    }
    kvc_register(&agent_conf_reg);
}

// Signal context: record, nothing more.
static void agent_conf_on_hup(int) {
    agent_conf_hup = 1;
}

static void agent_conf_poll(void *) {
    if (agent_conf_hup) {
        agent_conf_hup = 0;
        tr_log(1, TR_INFO, "agent_conf_poll: SIGHUP, reading %s again",
               kvc_file_path() != nullptr ? kvc_file_path() : "(none)");
        kvc_read(&agent_conf_reg);
    }
    callout_reset(&agent_conf_callout, AGENT_CONF_POLL_USEC, agent_conf_poll, nullptr);
}

void agent_conf_start(void) {
    if (netctl_register_vars("agent.config", &agent_conf_head, &agent_conf_live, 0, nullptr) != 0)
        tr_log(1, TR_ERROR, "agent_conf_start: agent.config not published");
    sig_register(SIGHUP, agent_conf_on_hup);
    callout_init(&agent_conf_callout);
    callout_reset(&agent_conf_callout, AGENT_CONF_POLL_USEC, agent_conf_poll, nullptr);
}

const struct agent_conf *agent_conf_current(void) {
    return &agent_conf_live;
}

int agent_conf_stats_period_usec(void) {
    uint32_t ms = agent_conf_live.acf_stats_interval_ms;
    if (ms < AGENT_STATS_INTERVAL_MIN_MS) ms = AGENT_STATS_INTERVAL_MIN_MS;
    if (ms > AGENT_STATS_INTERVAL_MAX_MS) ms = AGENT_STATS_INTERVAL_MAX_MS;
    return static_cast<int>(ms * 1000u);
}

bool agent_conf_ignores_iface(const char *name) {
    size_t nl = strlen(name);
    const char *p = agent_conf_live.acf_ignore_ifaces;
    while (p != nullptr && *p != '\0') {
        const char *c = strchr(p, ',');
        const char *end = c != nullptr ? c : p + strlen(p);
        const char *s = p;
        while (s < end && (*s == ' ' || *s == '\t'))
            s++;
        const char *e = end;
        while (e > s && (e[-1] == ' ' || e[-1] == '\t'))
            e--;
        if (size_t(e - s) == nl && nl > 0 && memcmp(s, name, nl) == 0) return true;
        p = c != nullptr ? c + 1 : nullptr;
    }
    return false;
}
