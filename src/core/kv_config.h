// kv_config: module configuration through one pluggable reader.
//
// A module describes its configuration as a kv head: the head's name is the
// module's name, its variables describe the configuration structure and its
// kh_data block is that structure.  The module registers a kvc_reg; at the
// end of start-up (kvc_mod, the last start-up step) or at once with
// KVC_READ_NOW, the block is cleared, given the module's defaults and handed
// to the reader, which fills it from the program's configuration source and
// then calls the completion kvc_read_done, which passes the block to the
// module's apply hook.
//
// There is one reader slot.  It holds a do-nothing reader until the program
// installs one with kvc_register_ops; every registration points at the
// slot, so the installed reader serves all of them.
//
// Ownership: after the apply hook returns, a registration without KVC_ONCE
// has its block cleared and defaulted again, ready for the next read.  The
// apply hook therefore copies what it keeps; a pointer a reader stored in
// the block (a string or an address list) is the apply hook's to take over
// or release, and the defaults hook stores no heap pointers.
//
// Everything runs on the main thread; no locks.
#pragma once

#include <cstdint>

#include "core/kv.h"
#include "core/queue.h"

inline constexpr uint8_t KVC_DONE = 0x01;      // consumed: no further reads
inline constexpr uint8_t KVC_ONCE = 0x02;      // consumed after its first completed read
inline constexpr uint8_t KVC_READ_NOW = 0x08;  // read inside kvc_register

struct kvc_reg;

// The completion a reader calls once the block is filled; value is the
// reader's own, handed on to the apply hook.
typedef int (*kvc_done_fn)(struct kvc_reg *reg, void *data, void *value);

// Reader ops.  kvo_type must be 0 (the only reader type).
struct kvc_ops {
    uint8_t kvo_type;
    int (*config_read)(struct kvc_reg *reg, void *data, kvc_done_fn done);
};

// A module's configuration registration, owned by the module.
struct kvc_reg {
    uint8_t kc_type;                  // reader type; only 0 exists
    uint8_t kc_flags;                 // KVC_*
    struct kv_head *kc_head;          // kh_data allocated (kv_register) or set before a read
    struct kvc_ops *kc_ops;           // the reader slot; set by kvc_register when null
    void (*kc_defaults)(void *data);  // optional
    void (*kc_apply)(struct kvc_reg *reg, void *data, void *value);  // optional
    tailq_entry<kvc_reg> kc_link;  // the list of registrations, newest first
};

// Installs a reader into the slot.  A type other than 0 or a null
// config_read stops the process.
void kvc_register_ops(const struct kvc_ops *ops);
// Puts the do-nothing reader back.
void kvc_unregister_ops(const struct kvc_ops *ops);

// Links reg at the front of the list, pointing it at the reader slot; with
// KVC_READ_NOW it is read first and then marked KVC_DONE (whether or not the
// reader completed).  A type other than 0 stops the process.  Registering a
// registration that is already listed does nothing.
void kvc_register(struct kvc_reg *reg);
// Unlinks reg; one that is not listed is left alone.
void kvc_unregister(struct kvc_reg *reg);
// Reads one module's configuration now (nothing once KVC_DONE): clears the
// block, applies the defaults and calls the reader.  A head without a data
// block stops the process.
void kvc_read(struct kvc_reg *reg);
// The completion: apply hook, then KVC_DONE with KVC_ONCE, or the block
// reset to the defaults without.  Returns 0.
int kvc_read_done(struct kvc_reg *reg, void *data, void *value);

// The number of the read in progress, for a reader that reports what
// concerns no one registration (a key naming no module) once per read:
// kvc_mod_init's pass over every registration is one read, a kvc_read
// outside it another.  0 outside any read.
uint32_t kvc_read_serial(void);

// The registrations, newest first (for readers and inspection).
struct kvc_reg *kvc_first(void);
struct kvc_reg *kvc_next(const struct kvc_reg *reg);

// Start-up step of kvc_mod: kvc_read of every registration, newest first.
void kvc_mod_init(void *arg);
