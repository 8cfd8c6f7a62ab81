// kvc_file: a configuration reader (kv_config) that fills a module's
// configuration block from a text file.
//
// The file holds one entry per line:
//
//     # a comment (only as a whole line)
//     module.variable = value
//
// Blank lines and lines whose first non-blank character is '#' are skipped;
// blanks around the key and the value do not count.  The key is a
// registration's head name, a dot and the name of one of its kv variables;
// the value is parsed by the variable's type:
//   KV_T_CHAR              a number from -128 to 127
//   KV_T_U16, _U32, _U64   a decimal or 0x hexadecimal number within the width
//   KV_T_STRING            the rest of the line, stored as an n_strdup copy
//   KV_T_IPV4_LIST         dotted quads separated by commas, at most the
//                          variable's size / 16 of them, stored as a zeroed
//                          nmem array of that many IPv4 socket addresses
// A value the reader stores as a pointer is the apply hook's to keep or
// release (see kv_config.h).
//
// A bad entry never stops a read: an unknown key, a bad value, an
// out-of-range number, a key given more than once, an overlong line or a
// line that is not "key = value" gives one WARN line naming the file, the
// line number and the key, and that variable keeps its default (a key given
// twice keeps it too, whichever of its lines are good).  A parse shows its
// first KVC_FILE_WARN_MAX bad lines, then one WARN line with the number of
// the others.  Each parse reports the lines of its own module; a line
// naming no registered module is reported once per read (kvc_read_serial:
// once per kvc_mod_init, once per kvc_read of a module).  A missing file is
// one INFO line and the defaults; anything but a regular file (a FIFO, a
// directory, a device) one WARN line and the defaults.  Every read
// completes, so the apply hook always runs.
#pragma once

#include <cstddef>

#include "core/kv_config.h"

inline constexpr size_t KVC_FILE_LINE_MAX = 1024;     // bytes of a line, newline excluded
inline constexpr size_t KVC_FILE_SIZE_MAX = 1 << 20;  // bigger files are refused
inline constexpr int KVC_FILE_WARN_MAX = 20;          // bad lines shown per parse

// What a read did; handed to the apply hook as its value.
struct kvc_file_result {
    int kfr_stored;    // variables set from the file
    int kfr_warnings;  // bad lines, shown or not
    int kfr_missing;   // 1: no file or it could not be read; defaults only
};

// The reader: kvc_register_ops(&kvc_file_ops).
extern const struct kvc_ops kvc_file_ops;

// The file every registration is read from (copied); null or "" for none,
// which reads as a missing file.  -1 when memory ran out.
int kvc_file_set_path(const char *path);
const char *kvc_file_path(void);

// config_read of the reader: reads the file into data, then calls done.
int kvc_file_read(struct kvc_reg *reg, void *data, kvc_done_fn done);
// The parser itself: len bytes of text, named fname in the messages, into
// reg's block data.  res is filled in.
void kvc_file_parse(struct kvc_reg *reg, void *data, const char *fname, const char *text,
                    size_t len, struct kvc_file_result *res);
