// kv_config: the reader slot, the registrations and the read cycle.
//
// Main thread only; no locks.
#include "core/kv_config.h"

#include <cstring>

#include "core/logging.h"
#include "core/nassert.h"
#include "core/sysinit.h"

static int kvc_read_nop(struct kvc_reg *, void *, kvc_done_fn) {
    return 0;
}

// The one reader slot (type 0), which every registration points at.
static struct kvc_ops kvc_slot = {0, kvc_read_nop};
static tailq<kvc_reg, &kvc_reg::kc_link> kvc_list = TAILQ_HEAD_INITIALIZER(kvc_list);
// The read in progress (kvc_read_serial) and how deep reads are nested.
static uint32_t kvc_serial;
static int kvc_depth;

// Brackets one read; a read inside another (kvc_mod_init's of each
// registration, a KVC_READ_NOW registration made by an apply hook) is part
// of it.
struct kvc_read_scope {
    kvc_read_scope() {
        if (kvc_depth++ == 0 && ++kvc_serial == 0) kvc_serial = 1;
    }
    ~kvc_read_scope() { kvc_depth--; }
    kvc_read_scope(const kvc_read_scope &) = delete;
    kvc_read_scope &operator=(const kvc_read_scope &) = delete;
};

uint32_t kvc_read_serial(void) {
    return kvc_depth > 0 ? kvc_serial : 0;
}

void kvc_register_ops(const struct kvc_ops *ops) {
    N_ASSERT(ops->kvo_type < 1);
    N_ASSERT(ops->config_read != nullptr, "ops->config_read != ((void *)0)");
    kvc_slot.kvo_type = ops->kvo_type;
    kvc_slot.config_read = ops->config_read;
}

void kvc_unregister_ops(const struct kvc_ops *ops) {
    N_ASSERT(ops->kvo_type < 1);
    kvc_slot.config_read = kvc_read_nop;
}

// Points reg at the slot of its type, of which there is one.
static void kvc_attach(struct kvc_reg *reg) {
    N_ASSERT(reg->kc_type < 1);
    if (reg->kc_ops == nullptr) reg->kc_ops = &kvc_slot;
}

void kvc_register(struct kvc_reg *reg) {
    N_ASSERT(reg->kc_type < 1);
    // A second insertion would link reg to itself and kvc_mod_init would
    // never end.
    if (kvc_list.linked(reg)) return;
    kvc_attach(reg);
    if (reg->kc_flags & KVC_READ_NOW) {
        kvc_read(reg);
        reg->kc_flags |= KVC_DONE;
    }
    kvc_list.insert_head(reg);
}

void kvc_unregister(struct kvc_reg *reg) {
    if (kvc_list.linked(reg)) kvc_list.remove(reg);
}

// The block cleared and given the module's defaults.
static void kvc_defaults(struct kvc_reg *reg, void *data) {
    memset(data, 0, reg->kc_head->kh_size);
    if (reg->kc_defaults != nullptr) reg->kc_defaults(data);
}

void kvc_read(struct kvc_reg *reg) {
    if (reg->kc_flags & KVC_DONE) return;
    struct kv_head *kh = reg->kc_head;
    tr_log(1, TR_INFO, "[%.64s] Module configuration...", kh->kh_name);
    if (kh->kh_data == nullptr) {
        tr_log(1, TR_ERROR, "kvc_read: error KV data nil for kv %.64s", kh->kh_name);
        N_ASSERT(kh->kh_data != nullptr, "kh->kh_data != ((void *)0)");
    }
    // A registration read without kvc_register would call through null.
    if (reg->kc_ops == nullptr) kvc_attach(reg);
    kvc_read_scope scope;
    kvc_defaults(reg, kh->kh_data);
    // The reader reports its own errors; its result says nothing here.
    (void)reg->kc_ops->config_read(reg, kh->kh_data, kvc_read_done);
}

int kvc_read_done(struct kvc_reg *reg, void *data, void *value) {
    if (reg->kc_flags & KVC_DONE) return 0;
    if (reg->kc_apply != nullptr) reg->kc_apply(reg, data, value);
    if (reg->kc_flags & KVC_ONCE) {
        reg->kc_flags |= KVC_DONE;
        return 0;
    }
    kvc_defaults(reg, data);
    return 0;
}

struct kvc_reg *kvc_first(void) {
    return kvc_list.first();
}
struct kvc_reg *kvc_next(const struct kvc_reg *reg) {
    return kvc_list.next(reg);
}

void kvc_mod_init(void *) {
    // kvc_read never unlinks, so the walk may hold its cursor.
    kvc_read_scope scope;
    for (struct kvc_reg *reg : kvc_list)
        kvc_read(reg);
}
SYSINIT(kvc_mod, "kvc_mod", SI_SUB_CONFIG, SI_ORDER_FIRST, kvc_mod_init, nullptr);
