// Fuzz target: kv heads with arbitrary variable descriptors through the
// registry's whole life: kv_register, reads of every variable, writes and
// reads back, additions, printing and logging of records, kv_unregister.
//
// Every value type 0 to 15 appears, but each operation is only handed the
// types it is made for: reads of types above 6, writes of address lists or
// types above 5, and additions of anything but types 1 to 4 stop the process
// by design, so they are not tried.  Descriptors are what a module would
// write: variables lie inside the data block, and a pointer variable (string
// or address list) shares its 8 bytes with no other variable, or it is left
// alone.  Offsets, sizes, names and flags are otherwise arbitrary, names
// filling all 64 bytes included.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/kv.h"
#include "core/logging.h"
#include "core/nmem.h"
#include "fuzz_support.h"

namespace fz_kv {

constexpr unsigned MAX_VARS = 24;
constexpr size_t MAX_BLOCK = 512;

const struct kv_ops ops_a = {nullptr, nullptr, nullptr};
const struct kv_ops ops_b = {nullptr, nullptr, nullptr};

// Bytes a value type occupies in a data block (0: none, or not readable).
size_t width(unsigned type) {
    switch (type) {
        case KV_T_CHAR:
            return 1;
        case KV_T_U16:
            return 2;
        case KV_T_U32:
            return 4;
        case KV_T_U64:
        case KV_T_STRING:
        case KV_T_IPV4_LIST:
            return 8;
        default:
            return 0;
    }
}

bool is_pointer(unsigned type) {
    return type == KV_T_STRING || type == KV_T_IPV4_LIST;
}

struct head_case {
    struct kv_head kh = {};
    std::vector<struct kv_var> vars;
    std::vector<char> own_block;  // the module's own block when kh_size is 0
    std::vector<std::vector<struct sockaddr_in>> lists;
    std::vector<bool> usable;  // reads and writes may touch the variable
    size_t block_size = 0;
};

uint64_t load(const char *p, size_t n) {
    uint64_t v = 0;
    memcpy(&v, p, n);
    return v;
}

bool terminated(const char *s, size_t n) {
    return memchr(s, '\0', n) != nullptr;
}

void build(fz::Reader &in, head_case &hc) {
    std::string name = in.bytes(in.u8() % 72);
    memcpy(hc.kh.kh_name, name.data(), std::min(name.size(), sizeof(hc.kh.kh_name)));
    hc.kh.kh_type = in.u8() & 3;
    hc.kh.kh_flags = in.u8();
    for (uint8_t &c : hc.kh.kh_counts)
        c = in.u8();
    hc.kh.kh_size = uint16_t(in.u16() % (MAX_BLOCK + 1));
    hc.block_size = hc.kh.kh_size;
    if (hc.block_size == 0) {
        hc.own_block.assign(in.u8() + 8u, 0);
        hc.block_size = hc.own_block.size();
        hc.kh.kh_data = hc.own_block.data();
    }
    unsigned n = in.u8() % (MAX_VARS + 1);
    hc.vars.resize(n);
    hc.lists.resize(n);
    for (struct kv_var &v : hc.vars) {
        std::string vn = in.bytes(in.u8() % 72);
        memcpy(v.kv_name, vn.data(), std::min(vn.size(), sizeof(v.kv_name)));
        v.kv_type = in.u16();
        v.kv_flags = in.u8();
        v.kv_size = in.u8();
        v.kv_event_id = in.u8();
        uint16_t off = in.u16();
        // Mostly inside the block; now and then anywhere, for the map.
        v.kv_offset = (off & 0x8000) ? off : uint16_t(off % hc.block_size);
    }
    hc.kh.kh_nvars = uint16_t(n);
    hc.kh.kh_vars = hc.vars.data();
}

// Which variables reads and writes may touch.
void mark_usable(head_case &hc) {
    size_t n = hc.vars.size();
    hc.usable.assign(n, false);
    for (size_t i = 0; i < n; i++) {
        const struct kv_var &v = hc.vars[i];
        size_t w = width(kv_value_type(v.kv_type));
        unsigned t = kv_value_type(v.kv_type);
        if (t == KV_T_NONE) {
            hc.usable[i] = true;
            continue;
        }
        if (w == 0 || v.kv_offset + w > hc.block_size) continue;
        bool alone = true;
        for (size_t j = 0; j < n && alone; j++) {
            const struct kv_var &o = hc.vars[j];
            size_t ow = width(kv_value_type(o.kv_type));
            if (j == i || ow == 0) continue;
            bool overlap = o.kv_offset < v.kv_offset + w && v.kv_offset < o.kv_offset + ow;
            if (overlap && (is_pointer(t) || is_pointer(kv_value_type(o.kv_type)))) alone = false;
        }
        hc.usable[i] = alone;
    }
}

char *block(head_case &hc) {
    return static_cast<char *>(hc.kh.kh_data);
}

// Points each usable address list at an array of as many entries as its
// size byte starts.
void place_lists(fz::Reader &in, head_case &hc) {
    for (size_t i = 0; i < hc.vars.size(); i++) {
        const struct kv_var &v = hc.vars[i];
        if (!hc.usable[i] || kv_value_type(v.kv_type) != KV_T_IPV4_LIST) continue;
        if (in.u8() & 1) continue;  // stays null
        hc.lists[i].resize((v.kv_size + 15u) / 16u);
        for (struct sockaddr_in &sa : hc.lists[i]) {
            sa.sin_family = AF_INET;
            sa.sin_addr.s_addr = in.u16() | uint32_t(in.u16()) << 16;
        }
        void *p = hc.lists[i].data();
        memcpy(block(hc) + v.kv_offset, &p, sizeof(p));
    }
}

void check_record_names(const struct kv_record &r, const struct kv_var &v) {
    FZ_CHECK(terminated(r.kr_name, sizeof(r.kr_name)));
    FZ_CHECK(strncmp(r.kr_name, v.kv_name, sizeof(v.kv_name)) == 0);
    FZ_CHECK(r.kr_type == v.kv_type && r.kr_size == v.kv_size);
}

FILE *sink() {
    static FILE *f = fopen("/dev/null", "w");
    return f;
}

void read_all(head_case &hc) {
    for (size_t i = 0; i < hc.vars.size(); i++) {
        const struct kv_var &v = hc.vars[i];
        unsigned t = kv_value_type(v.kv_type);
        if (!hc.usable[i]) continue;
        struct kv_record r = {};
        FZ_CHECK(kv_read_index(&hc.kh, int(i), block(hc), &r) == 0);
        check_record_names(r, v);
        FZ_CHECK(terminated(r.kr_head, sizeof(r.kr_head)));
        FZ_CHECK(strncmp(r.kr_head, hc.kh.kh_name, sizeof(r.kr_head) - 1) == 0);
        const char *field = block(hc) + v.kv_offset;
        if (t == KV_T_STRING) {
            const char *s;
            memcpy(&s, field, sizeof(s));
            FZ_CHECK(s == nullptr ? r.kr_value.str == nullptr : strcmp(s, r.kr_value.str) == 0);
            FZ_CHECK(s == nullptr || s != r.kr_value.str);  // a copy, not the field's own
        } else if (t != KV_T_NONE) {
            FZ_CHECK(load(field, width(t)) ==
                     load(reinterpret_cast<const char *>(&r.kr_value), width(t)));
        }
        kv_print_record(&r, sink());
        kv_log_record(&r);
        kv_record_release(&r, 1);
    }
}

void write_some(fz::Reader &in, head_case &hc) {
    for (size_t i = 0; i < hc.vars.size(); i++) {
        const struct kv_var &v = hc.vars[i];
        unsigned t = kv_value_type(v.kv_type);
        if (!hc.usable[i] || t > KV_T_STRING || !(in.u8() & 1)) continue;
        struct kv_record r = {};
        std::string text = in.bytes(in.u8() % 40);
        if (t == KV_T_STRING) {
            r.kr_value.str = (text.size() & 1) ? nullptr : text.data();
        } else {
            uint64_t val = uint64_t(in.u16()) << 48 | uint64_t(in.u16()) << 16 | in.u16();
            memcpy(&r.kr_value, &val, sizeof(val));
        }
        kv_write_data(&v, block(hc), &r);
        const char *field = block(hc) + v.kv_offset;
        if (t == KV_T_STRING) {
            const char *s;
            memcpy(&s, field, sizeof(s));
            FZ_CHECK(r.kr_value.str == nullptr ? s == nullptr
                                               : strcmp(s, text.c_str()) == 0 && s != text.data());
        } else if (t != KV_T_NONE) {
            FZ_CHECK(load(field, width(t)) ==
                     load(reinterpret_cast<const char *>(&r.kr_value), width(t)));
        }
    }
}

void add_some(head_case &hc) {
    for (size_t i = 0; i < hc.vars.size(); i++) {
        unsigned t = kv_value_type(hc.vars[i].kv_type);
        if (!hc.usable[i] || t < KV_T_CHAR || t > KV_T_U64) continue;
        size_t w = width(t);
        struct kv_record r = {};
        uint64_t start = 0x8899aabbccddeeffULL;
        memcpy(&r.kr_value, &start, sizeof(start));
        kv_read_index_add(&hc.kh, int(i), block(hc), &r);
        uint64_t mask = w == 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * w)) - 1;
        uint64_t want = (start + load(block(hc) + hc.vars[i].kv_offset, w)) & mask;
        FZ_CHECK(load(reinterpret_cast<const char *>(&r.kr_value), w) == want);
        // The bytes past the variable's width are left alone.
        FZ_CHECK((load(reinterpret_cast<const char *>(&r.kr_value), 8) & ~mask) == (start & ~mask));
    }
}

// Records of any type, built by hand, printed and logged.
void print_records(fz::Reader &in) {
    struct kv_record recs[4] = {};
    std::string texts[4];
    std::vector<struct sockaddr_in> lists[4];
    for (int i = 0; i < 4; i++) {
        struct kv_record &r = recs[i];
        std::string nm = in.bytes(in.u8());
        memcpy(r.kr_name, nm.data(), std::min(nm.size(), sizeof(r.kr_name)));  // maybe unended
        r.kr_type = in.u16();
        r.kr_size = in.u8();
        unsigned t = kv_value_type(r.kr_type);
        if (t == KV_T_STRING) {
            texts[i] = in.bytes(in.u8() % 32);
            r.kr_value.str = (in.u8() & 1) ? nullptr : texts[i].data();
        } else if (t == KV_T_IPV4_LIST) {
            lists[i].resize((r.kr_size + 15u) / 16u);
            r.kr_value.addrs = (in.u8() & 1) ? nullptr : lists[i].data();
        } else {
            uint64_t v = uint64_t(in.u16()) << 32 | in.u16();
            memcpy(&r.kr_value, &v, sizeof(v));
        }
        kv_print_record(&r, sink());
    }
    kv_log_records(int(int8_t(in.u8())) % 5, recs);
}

void free_strings(head_case &hc) {
    for (size_t i = 0; i < hc.vars.size(); i++) {
        if (!hc.usable[i] || kv_value_type(hc.vars[i].kv_type) != KV_T_STRING) continue;
        char *s;
        memcpy(&s, block(hc) + hc.vars[i].kv_offset, sizeof(s));
        if (s != nullptr) nmem_free(s);
    }
}

int one_input(const uint8_t *data, size_t size) {
    static bool setup = [] {
        tr_set_echo(0);
        kv_register_ops(0, &ops_a);
        kv_register_ops(2, &ops_b);
        kv_register_ops(2, &ops_a);  // refused: the slot is taken
        return true;
    }();
    (void)setup;
    fz::Reader in(data, size);
    head_case hc;
    build(in, hc);
    void *own = hc.kh.kh_data;
    FZ_CHECK(kv_register(&hc.kh) == 0);
    FZ_CHECK(kv_register(&hc.kh) == -1);  // never linked twice
    const struct kv_ops *want_ops = hc.kh.kh_type == 0   ? &ops_a
                                    : hc.kh.kh_type == 2 ? &ops_b
                                                         : nullptr;
    FZ_CHECK(hc.kh.kh_ops == want_ops);
    FZ_CHECK(hc.kh.kh_size == 0 ? hc.kh.kh_data == own : hc.kh.kh_data != nullptr);
    FZ_CHECK(hc.kh.kh_map != nullptr);
    for (size_t i = 0; i < hc.vars.size(); i++) {
        size_t last = i;
        for (size_t j = i + 1; j < hc.vars.size(); j++)
            if (hc.vars[j].kv_offset == hc.vars[i].kv_offset) last = j;
        FZ_CHECK(hc.kh.kh_map[hc.vars[i].kv_offset] == uint8_t(last));
    }
    if (hc.kh.kh_size != 0)
        for (size_t i = 0; i < hc.block_size; i++)
            FZ_CHECK(block(hc)[i] == 0);

    mark_usable(hc);
    place_lists(in, hc);
    read_all(hc);
    write_some(in, hc);
    read_all(hc);
    add_some(hc);
    print_records(in);

    free_strings(hc);
    kv_unregister(&hc.kh);
    FZ_CHECK(hc.kh.kh_ops == nullptr && hc.kh.kh_map == nullptr);
    FZ_CHECK(hc.kh.kh_size == 0 ? hc.kh.kh_data == own : hc.kh.kh_data == nullptr);
    for (struct kv_head *kh = kv_head_first(); kh != nullptr; kh = kv_head_next(kh))
        FZ_CHECK(kh != &hc.kh);
    return 0;
}

}  // namespace fz_kv

int fz_run_kv(const uint8_t *data, size_t size) {
    return fz_kv::one_input(data, size);
}

FZ_DRIVER(fz_run_kv)
