// kvc_file: the configuration-file reader.
//
// A read parses the whole file twice: the first pass counts how often each
// of the module's variables is named, the second reports every bad line and
// stores the good values of keys named once.  Main thread only; no locks.
#include "core/kvc_file.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "core/logging.h"
#include "core/nmem.h"

static char *kvc_file_name;

const struct kvc_ops kvc_file_ops = {0, kvc_file_read};

int kvc_file_set_path(const char *path) {
    char *copy = nullptr;
    if (path != nullptr && path[0] != '\0' && (copy = n_strdup(path)) == nullptr) return -1;
    if (kvc_file_name != nullptr) nmem_free(kvc_file_name);
    kvc_file_name = copy;
    return 0;
}

const char *kvc_file_path(void) {
    return kvc_file_name;
}

/*
 * Lines.
 */

enum kvc_line_kind {
    KVL_SKIP,     // blank or comment
    KVL_MINE,     // a key of the module being read; kl_var set
    KVL_OTHER,    // a key of another registered module
    KVL_STRAY,    // a key of no registered module
    KVL_UNKNOWN,  // the module's prefix, but no such variable
    KVL_SYNTAX,   // not "key = value"
    KVL_LONG,     // longer than KVC_FILE_LINE_MAX
};

struct kvc_line {
    enum kvc_line_kind kl_kind;
    const char *kl_key;
    size_t kl_keylen;
    const char *kl_val;
    size_t kl_vallen;
    int kl_var;
};

static bool kvc_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

static void kvc_trim(const char **p, size_t *n) {
    while (*n > 0 && kvc_blank(**p))
        (*p)++, (*n)--;
    while (*n > 0 && kvc_blank((*p)[*n - 1]))
        (*n)--;
}

// Does key begin with head kh's name and a dot?  The length of that
// prefix, or 0.
static size_t kvc_key_prefix(const struct kv_head *kh, const char *key, size_t keylen) {
    size_t hl = strnlen(kh->kh_name, KV_NAME_LEN);
    if (keylen <= hl + 1 || memcmp(key, kh->kh_name, hl) != 0 || key[hl] != '.') return 0;
    return hl + 1;
}

// The module's variables by name, built once per read: open addressing
// over a power-of-two table of variable index + 1 (0 for empty), beside the
// per-variable counts of the two passes.  A lookup is one hash of the name
// and a short probe, so a read is linear in the size of the file.
struct kvc_index {
    const struct kv_head *ki_head;
    uint32_t *ki_seen;  // per variable: times named (low half), met so far (high half)
    uint32_t *ki_slots;
    uint32_t ki_mask;
};

static uint32_t kvc_hash(const char *s, size_t n) {
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < n; i++)
        h = (h ^ static_cast<unsigned char>(s[i])) * 16777619u;
    return h;
}

static bool kvc_index_build(struct kvc_index *ix, const struct kv_head *kh) {
    uint32_t cap = 8;
    while (cap < 2u * kh->kh_nvars)
        cap <<= 1;
    *ix = {kh, nullptr, nullptr, cap - 1};
    ix->ki_seen = static_cast<uint32_t *>(nmem_alloc((kh->kh_nvars + cap) * 4u, NMEM_ZERO));
    if (ix->ki_seen == nullptr) return false;
    ix->ki_slots = ix->ki_seen + kh->kh_nvars;
    for (uint32_t i = 0; i < kh->kh_nvars; i++) {
        const char *name = kh->kh_vars[i].kv_name;
        size_t n = strnlen(name, KV_NAME_LEN);
        uint32_t at = kvc_hash(name, n) & ix->ki_mask;
        for (;; at = (at + 1) & ix->ki_mask) {
            uint32_t v = ix->ki_slots[at];
            if (v == 0) {
                ix->ki_slots[at] = i + 1;
                break;
            }
            // A name given twice: the first variable keeps it.
            const char *o = kh->kh_vars[v - 1].kv_name;
            if (strnlen(o, KV_NAME_LEN) == n && memcmp(o, name, n) == 0) break;
        }
    }
    return true;
}

// The index of the variable named by key ("<head>.<var>"), -1 for the
// head's prefix with no such configurable variable, -2 for another prefix.
static int kvc_key_var(const struct kvc_index *ix, const char *key, size_t keylen) {
    size_t pl = kvc_key_prefix(ix->ki_head, key, keylen);
    if (pl == 0) return -2;
    const char *var = key + pl;
    size_t vl = keylen - pl;
    if (vl >= KV_NAME_LEN) return -1;
    for (uint32_t at = kvc_hash(var, vl) & ix->ki_mask;; at = (at + 1) & ix->ki_mask) {
        uint32_t v = ix->ki_slots[at];
        if (v == 0) return -1;
        const struct kv_var *kv = &ix->ki_head->kh_vars[v - 1];
        if (strnlen(kv->kv_name, KV_NAME_LEN) != vl || memcmp(kv->kv_name, var, vl) != 0) continue;
        unsigned t = kv_value_type(kv->kv_type);
        // Only the value types that hold a configurable value.
        return t >= KV_T_CHAR && t <= KV_T_IPV4_LIST ? int(v - 1) : -1;
    }
}

static void kvc_classify(const struct kvc_reg *reg, const struct kvc_index *ix, const char *p,
                         size_t n, struct kvc_line *l) {
    *l = {};
    l->kl_var = -1;
    if (n > KVC_FILE_LINE_MAX) {
        const char *eq = static_cast<const char *>(memchr(p, '=', KVC_FILE_LINE_MAX));
        l->kl_key = p;
        l->kl_keylen = eq != nullptr ? size_t(eq - p) : KVC_FILE_LINE_MAX;
        kvc_trim(&l->kl_key, &l->kl_keylen);
        l->kl_kind = KVL_LONG;
        return;
    }
    kvc_trim(&p, &n);
    if (n == 0 || p[0] == '#') {
        l->kl_kind = KVL_SKIP;
        return;
    }
    const char *eq = static_cast<const char *>(memchr(p, '=', n));
    l->kl_key = p;
    l->kl_keylen = eq != nullptr ? size_t(eq - p) : n;
    kvc_trim(&l->kl_key, &l->kl_keylen);
    if (eq == nullptr || l->kl_keylen == 0 || memchr(p, '\0', n) != nullptr) {
        l->kl_kind = KVL_SYNTAX;
        return;
    }
    l->kl_val = eq + 1;
    l->kl_vallen = n - size_t(eq + 1 - p);
    kvc_trim(&l->kl_val, &l->kl_vallen);
    int v = kvc_key_var(ix, l->kl_key, l->kl_keylen);
    if (v >= 0) {
        l->kl_kind = KVL_MINE;
        l->kl_var = v;
        return;
    }
    if (v == -1) {
        l->kl_kind = KVL_UNKNOWN;
        return;
    }
    // Another module's key is that module's read's to judge.
    l->kl_kind = KVL_STRAY;
    for (const struct kvc_reg *r = kvc_first(); r != nullptr; r = kvc_next(r))
        if (r != reg && kvc_key_prefix(r->kc_head, l->kl_key, l->kl_keylen) != 0) {
            l->kl_kind = KVL_OTHER;
            return;
        }
}

// Lines naming no registered module are reported once per read (see
// kvc_read_serial), by the first parse of that read, whatever the flags of
// the registrations; a parse outside any read reports them.
static uint32_t kvc_strays_serial;

static bool kvc_reports_strays(void) {
    uint32_t serial = kvc_read_serial();
    if (serial == 0) return true;
    if (serial == kvc_strays_serial) return false;
    kvc_strays_serial = serial;
    return true;
}

/*
 * Values.
 */

enum kvc_verdict { KVV_OK, KVV_BAD, KVV_RANGE, KVV_NOMEM };

// An unsigned decimal or 0x hexadecimal number, all of s.
static enum kvc_verdict kvc_parse_u64(const char *s, size_t n, uint64_t *out) {
    unsigned base = 10;
    if (n > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s += 2;
        n -= 2;
    }
    if (n == 0) return KVV_BAD;
    uint64_t v = 0;
    bool over = false;
    for (size_t i = 0; i < n; i++) {
        unsigned d;
        char c = s[i];
        if (c >= '0' && c <= '9')
            d = unsigned(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = unsigned(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = unsigned(c - 'A' + 10);
        else
            return KVV_BAD;
        if (v > (UINT64_MAX - d) / base) over = true;
        v = v * base + d;
    }
    *out = v;
    return over ? KVV_RANGE : KVV_OK;
}

static enum kvc_verdict kvc_parse_number(const char *s, size_t n, unsigned type, char *field) {
    bool neg = type == KV_T_CHAR && n > 0 && s[0] == '-';
    uint64_t v;
    enum kvc_verdict r = kvc_parse_u64(s + neg, n - neg, &v);
    if (r != KVV_OK) return r;
    switch (type) {
        case KV_T_CHAR: {
            if (v > (neg ? 128u : 127u)) return KVV_RANGE;
            int8_t c = int8_t(neg ? -int(v) : int(v));
            memcpy(field, &c, 1);
            return KVV_OK;
        }
        case KV_T_U16: {
            if (v > UINT16_MAX) return KVV_RANGE;
            uint16_t x = uint16_t(v);
            memcpy(field, &x, sizeof(x));
            return KVV_OK;
        }
        case KV_T_U32: {
            if (v > UINT32_MAX) return KVV_RANGE;
            uint32_t x = uint32_t(v);
            memcpy(field, &x, sizeof(x));
            return KVV_OK;
        }
        default:
            memcpy(field, &v, sizeof(v));
            return KVV_OK;
    }
}

// One dotted quad, all of s.
static bool kvc_parse_quad(const char *s, size_t n, uint32_t *out) {
    uint32_t a = 0;
    size_t i = 0;
    for (int part = 0; part < 4; part++) {
        if (part > 0) {
            if (i >= n || s[i] != '.') return false;
            i++;
        }
        unsigned v = 0, digits = 0;
        while (i < n && s[i] >= '0' && s[i] <= '9' && digits < 4) {
            v = v * 10 + unsigned(s[i++] - '0');
            digits++;
        }
        if (digits == 0 || digits > 3 || v > 255) return false;
        a = a << 8 | v;
    }
    *out = a;
    return i == n;
}

static enum kvc_verdict kvc_parse_list(const char *s, size_t n, const struct kv_var *kv,
                                       char *field) {
    size_t cap = kv->kv_size / sizeof(struct sockaddr_in);
    size_t count = 0;
    // Checked whole before anything is allocated.
    for (size_t at = 0;; count++) {
        const char *c = static_cast<const char *>(memchr(s + at, ',', n - at));
        size_t end = c != nullptr ? size_t(c - s) : n;
        const char *q = s + at;
        size_t ql = end - at;
        kvc_trim(&q, &ql);
        uint32_t a;
        if (!kvc_parse_quad(q, ql, &a)) return KVV_BAD;
        if (c == nullptr) break;
        at = end + 1;
    }
    if (++count > cap) return KVV_RANGE;
    auto *sa = static_cast<struct sockaddr_in *>(
        nmem_alloc(uint32_t(cap * sizeof(struct sockaddr_in)), NMEM_ZERO));
    if (sa == nullptr) return KVV_NOMEM;
    size_t i = 0;
    for (size_t at = 0; i < count; i++) {
        const char *c = static_cast<const char *>(memchr(s + at, ',', n - at));
        size_t end = c != nullptr ? size_t(c - s) : n;
        const char *q = s + at;
        size_t ql = end - at;
        kvc_trim(&q, &ql);
        uint32_t a = 0;
        kvc_parse_quad(q, ql, &a);
        sa[i].sin_family = AF_INET;
        sa[i].sin_addr.s_addr = htonl(a);
        at = end + 1;
    }
    memcpy(field, &sa, sizeof(sa));
    return KVV_OK;
}

static enum kvc_verdict kvc_store(const struct kv_var *kv, void *data, const char *s, size_t n) {
    char *field = kv_field(data, kv);
    unsigned type = kv_value_type(kv->kv_type);
    if (type == KV_T_STRING) {
        char *copy = static_cast<char *>(nmem_alloc(uint32_t(n + 1), 0));
        if (copy == nullptr) return KVV_NOMEM;
        memcpy(copy, s, n);
        copy[n] = '\0';
        memcpy(field, &copy, sizeof(copy));
        return KVV_OK;
    }
    if (type == KV_T_IPV4_LIST) return kvc_parse_list(s, n, kv, field);
    return kvc_parse_number(s, n, type, field);
}

// A check of a value that is not to be stored: parsed into scratch space.
static enum kvc_verdict kvc_check(const struct kv_var *kv, const char *s, size_t n) {
    unsigned type = kv_value_type(kv->kv_type);
    if (type == KV_T_STRING) return KVV_OK;
    if (type == KV_T_IPV4_LIST) {
        void *list = nullptr;
        enum kvc_verdict r = kvc_parse_list(s, n, kv, reinterpret_cast<char *>(&list));
        if (r == KVV_OK) nmem_free(list);
        return r;
    }
    uint64_t scratch;
    return kvc_parse_number(s, n, type, reinterpret_cast<char *>(&scratch));
}

/*
 * The parser.
 */

// One bad line: counted, and shown while fewer than KVC_FILE_WARN_MAX
// were (a file of nothing but bad lines must not flood the log).
static void kvc_warn(const char *fname, int lineno, const struct kvc_line *l, const char *what,
                     struct kvc_file_result *res) {
    if (++res->kfr_warnings > KVC_FILE_WARN_MAX || !(tr_mask & 1)) return;
    // The key as it stands in the file, at most 96 bytes, unprintable
    // bytes shown as '?'.
    char key[97];
    size_t n = l->kl_keylen < sizeof(key) - 1 ? l->kl_keylen : sizeof(key) - 1;
    for (size_t i = 0; i < n; i++) {
        unsigned char c = static_cast<unsigned char>(l->kl_key[i]);
        key[i] = c >= 0x20 && c < 0x7f ? char(c) : '?';
    }
    key[n] = '\0';
    tr_log(1, TR_WARN, "kvc_file_parse: %s:%d: %s: %s", fname, lineno, key, what);
}

static const char *kvc_verdict_text(enum kvc_verdict v) {
    switch (v) {
        case KVV_BAD:
            return "bad value, default kept";
        case KVV_RANGE:
            return "out of range, default kept";
        default:
            return "out of memory, default kept";
    }
}

// Calls fn(line, length, number) for every line of the text.
template <class F>
static void kvc_lines(const char *text, size_t len, F fn) {
    int lineno = 0;
    for (size_t at = 0; at < len;) {
        const char *nl = static_cast<const char *>(memchr(text + at, '\n', len - at));
        size_t end = nl != nullptr ? size_t(nl - text) : len;
        fn(text + at, end - at, ++lineno);
        at = end + 1;
    }
}

void kvc_file_parse(struct kvc_reg *reg, void *data, const char *fname, const char *text,
                    size_t len, struct kvc_file_result *res) {
    *res = {};
    const struct kv_head *kh = reg->kc_head;
    struct kvc_index ix;
    if (!kvc_index_build(&ix, kh)) {
        tr_log(1, TR_ERROR, "kvc_file_parse: alloc failed, %s not read", fname);
        res->kfr_missing = 1;
        return;
    }
    uint32_t *seen = ix.ki_seen;
    struct kvc_line l;
    kvc_lines(text, len, [&](const char *p, size_t n, int) {
        kvc_classify(reg, &ix, p, n, &l);
        if (l.kl_kind == KVL_MINE && (seen[l.kl_var] & 0xffff) < 0xffff) seen[l.kl_var]++;
    });
    const bool strays = kvc_reports_strays();
    kvc_lines(text, len, [&](const char *p, size_t n, int lineno) {
        kvc_classify(reg, &ix, p, n, &l);
        switch (l.kl_kind) {
            case KVL_SKIP:
            case KVL_OTHER:
                return;
            case KVL_STRAY:
                if (strays) kvc_warn(fname, lineno, &l, "unknown key", res);
                return;
            case KVL_UNKNOWN:
                kvc_warn(fname, lineno, &l, "unknown key", res);
                return;
            case KVL_SYNTAX:
                kvc_warn(fname, lineno, &l, "not a key = value line", res);
                return;
            case KVL_LONG:
                kvc_warn(fname, lineno, &l, "line too long", res);
                return;
            case KVL_MINE:
                break;
        }
        const struct kv_var *kv = &kh->kh_vars[l.kl_var];
        uint32_t &s = seen[l.kl_var];
        bool dup = (s & 0xffff) > 1;
        bool first = (s >> 16) == 0;
        s += 0x10000;
        enum kvc_verdict v =
            dup ? kvc_check(kv, l.kl_val, l.kl_vallen) : kvc_store(kv, data, l.kl_val, l.kl_vallen);
        if (v != KVV_OK)
            kvc_warn(fname, lineno, &l, kvc_verdict_text(v), res);
        else if (dup && !first)
            kvc_warn(fname, lineno, &l, "duplicate key, default kept", res);
        else if (!dup)
            res->kfr_stored++;
    });
    nmem_free(seen);
    if (res->kfr_warnings > KVC_FILE_WARN_MAX)
        tr_log(1, TR_WARN, "kvc_file_parse: %s: %d more bad lines rejected", fname,
               res->kfr_warnings - KVC_FILE_WARN_MAX);
}

/*
 * The reader.
 */

// The file's text in an nmem buffer (*len bytes), or null: missing,
// unreadable or too big, each logged.
//
// Opened without blocking: a FIFO (or a device) in the file's place would
// otherwise hold the main thread in open() until a writer came.  Anything
// but a regular file is refused.
static char *kvc_file_load(const char *path, size_t *len) {
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        int err = errno;
        if (err == ENOENT)
            tr_log(1, TR_INFO, "kvc_file_read: %s not found, defaults used", path);
        else if (err == ENXIO)  // a socket, or a device without its driver
            tr_log(1, TR_WARN, "kvc_file_read: %s is not a regular file, defaults used", path);
        else
            tr_log(1, TR_WARN, "kvc_file_read: %s: %s, defaults used", path, strerror(err));
        return nullptr;
    }
    struct stat st;
    char *buf = nullptr;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        tr_log(1, TR_WARN, "kvc_file_read: %s is not a regular file, defaults used", path);
    } else if (uint64_t(st.st_size) > KVC_FILE_SIZE_MAX) {
        tr_log(1, TR_WARN, "kvc_file_read: %s larger than %zu bytes, defaults used", path,
               KVC_FILE_SIZE_MAX);
    } else if ((buf = static_cast<char *>(nmem_alloc(uint32_t(st.st_size) + 1, 0))) == nullptr) {
        tr_log(1, TR_ERROR, "kvc_file_read: alloc failed, %s not read", path);
    } else {
        // The file may change size under the read: what is there up to the
        // size seen is what counts.
        size_t got = 0, want = size_t(st.st_size);
        while (got < want) {
            ssize_t r = read(fd, buf + got, want - got);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) break;
            got += size_t(r);
        }
        *len = got;
    }
    close(fd);
    return buf;
}

int kvc_file_read(struct kvc_reg *reg, void *data, kvc_done_fn done) {
    struct kvc_file_result res = {};
    size_t len = 0;
    char *text = kvc_file_name != nullptr ? kvc_file_load(kvc_file_name, &len) : nullptr;
    if (kvc_file_name == nullptr)
        tr_log(1, TR_INFO, "kvc_file_read: no configuration file, defaults used");
    if (text != nullptr) {
        kvc_file_parse(reg, data, kvc_file_name, text, len, &res);
        nmem_free(text);
    } else {
        res.kfr_missing = 1;
    }
    done(reg, data, &res);
    return 0;
}
