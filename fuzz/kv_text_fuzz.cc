// Fuzz target: the text that leaves the processes.  A value's text (the one
// formatter of records), its fit into the control socket's text area, and
// the tool's UTF-8 repair, JSON strings and Prometheus lines, on arbitrary
// bytes.
//
// Checked against a validator written from the table of well-formed UTF-8
// byte sequences: a text cut to fit is a prefix of the value, ends with the
// cut mark, never splits a character (a valid value stays valid) and gives
// up no more than a character's bytes; repaired text is valid and leaves
// valid text as it was; a JSON string and a Prometheus label value are
// valid, escape what their format requires, and read back as the repaired
// text.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/kv.h"
#include "fuzz_support.h"
#include "tools/netctl_client.h"
#include "tools/netctl_prom.h"

namespace fz_text {

// Well-formed UTF-8: the byte ranges of each sequence, by its first byte.
bool valid_utf8(const std::string &s) {
    static const struct {
        unsigned char lo, hi, n;  // first byte range, sequence length
        unsigned char lo2, hi2;   // range of the second byte
    } rows[] = {
        {0x00, 0x7f, 1, 0, 0},       {0xc2, 0xdf, 2, 0x80, 0xbf}, {0xe0, 0xe0, 3, 0xa0, 0xbf},
        {0xe1, 0xec, 3, 0x80, 0xbf}, {0xed, 0xed, 3, 0x80, 0x9f}, {0xee, 0xef, 3, 0x80, 0xbf},
        {0xf0, 0xf0, 4, 0x90, 0xbf}, {0xf1, 0xf3, 4, 0x80, 0xbf}, {0xf4, 0xf4, 4, 0x80, 0x8f},
    };
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        const auto *row = &rows[0];
        while (row != std::end(rows) && (c < row->lo || c > row->hi))
            row++;
        if (row == std::end(rows) || i + row->n > s.size()) return false;
        for (unsigned k = 1; k < row->n; k++) {
            unsigned char b = static_cast<unsigned char>(s[i + k]);
            unsigned lo = k == 1 ? row->lo2 : 0x80, hi = k == 1 ? row->hi2 : 0xbf;
            if (b < lo || b > hi) return false;
        }
        i += row->n;
    }
    return true;
}

// The UTF-8 of code point cp.
std::string encode(unsigned cp) {
    std::string o;
    if (cp < 0x80) {
        o += char(cp);
    } else if (cp < 0x800) {
        o += char(0xc0 | cp >> 6);
        o += char(0x80 | (cp & 0x3f));
    } else {
        o += char(0xe0 | cp >> 12);
        o += char(0x80 | ((cp >> 6) & 0x3f));
        o += char(0x80 | (cp & 0x3f));
    }
    return o;
}

// Reads back a JSON string body or a Prometheus label value from s at *at
// up to its closing quote (past it on return); false when it is not one.
bool unquote(const std::string &s, size_t *at, bool json, std::string *out) {
    for (size_t i = *at; i < s.size(); i++) {
        char c = s[i];
        if (c == '"') {
            *at = i + 1;
            return true;
        }
        if (c == '\n' || (json && static_cast<unsigned char>(c) < 0x20)) return false;
        if (c != '\\') {
            *out += c;
            continue;
        }
        if (++i >= s.size()) return false;
        c = s[i];
        if (c == '"' || c == '\\') {
            *out += c;
        } else if (!json && c == 'n') {
            *out += '\n';
        } else if (json && c == 'u' && i + 4 < s.size()) {
            *out += encode(unsigned(std::stoul(s.substr(i + 1, 4), nullptr, 16)));
            i += 4;
        } else {
            return false;
        }
    }
    return false;
}

void check_fit(const std::string &value, size_t size) {
    std::vector<char> dst(size + 8, 'z');
    kv_text_fit(dst.data(), size, value.c_str());
    std::string got(dst.data());
    FZ_CHECK(got.size() < size);
    size_t n = strlen(value.c_str());
    if (n < size) {
        FZ_CHECK(got == value.substr(0, n));
        return;
    }
    const size_t mark = strlen(KV_TEXT_CUT);
    FZ_CHECK(got.size() >= mark && got.compare(got.size() - mark, mark, KV_TEXT_CUT) == 0);
    std::string kept = got.substr(0, got.size() - mark);
    FZ_CHECK(value.compare(0, kept.size(), kept) == 0);
    FZ_CHECK(kept.size() + 3 >= size - mark - 1);  // at most a character's bytes given up
    if (valid_utf8(value.substr(0, n))) FZ_CHECK(valid_utf8(kept));
}

void check_repair(const std::string &s) {
    std::string r = nc_utf8(s);
    FZ_CHECK(valid_utf8(r));
    if (valid_utf8(s)) FZ_CHECK(r == s);
    FZ_CHECK(r.size() <= 3 * s.size());

    std::string j = nc_json_string(s), back;
    size_t at = 1;
    FZ_CHECK(valid_utf8(j) && !j.empty() && j[0] == '"');
    FZ_CHECK(unquote(j, &at, true, &back) && at == j.size() && back == r);
}

// One sample with a text value and an instance label from the input.
void check_prom(const std::string &name, const std::string &inst, const std::string &text) {
    prom_sample s;
    s.name = name;
    s.label = "net";
    s.instance = inst;
    s.text = text;
    std::string out = prom_format({s});
    FZ_CHECK(valid_utf8(out) && !out.empty() && out.back() == '\n');
    std::vector<std::string> lines;
    for (size_t at = 0, nl; at < out.size(); at = nl + 1) {
        nl = out.find('\n', at);
        lines.push_back(out.substr(at, nl - at));
    }
    FZ_CHECK(lines.size() == 3);
    FZ_CHECK(lines[0].rfind("# HELP qorv_", 0) == 0 && lines[1].rfind("# TYPE qorv_", 0) == 0);
    const std::string &l = lines[2];
    size_t at = l.find("{net=\"");
    FZ_CHECK(at != std::string::npos);
    for (char c : l.substr(0, at))
        FZ_CHECK((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                 c == '_');
    std::string got_inst, got_text;
    at += strlen("{net=\"");
    FZ_CHECK(unquote(l, &at, false, &got_inst) && got_inst == nc_utf8(inst));
    FZ_CHECK(l.compare(at, 8, ",value=\"") == 0);
    at += 8;
    FZ_CHECK(unquote(l, &at, false, &got_text) && got_text == nc_utf8(text));
    FZ_CHECK(l.substr(at) == "} 1");
}

// A record of the type the input names, its value from the input.
void check_value_text(fz::Reader &in) {
    struct kv_record r = {};
    r.kr_type = in.u8() & 7;
    r.kr_size = in.u8();
    struct sockaddr_in sa[16] = {};
    std::string str = in.bytes(in.u8());
    if (kv_value_type(r.kr_type) == KV_T_STRING) {
        r.kr_value.str = str.data();
    } else if (kv_value_type(r.kr_type) == KV_T_IPV4_LIST) {
        for (auto &a : sa)
            a.sin_addr.s_addr = htonl(uint32_t(in.u16()) << 16 | in.u16());
        r.kr_value.addrs = in.u8() & 1 ? sa : nullptr;
    } else {
        for (int i = 0; i < 8; i++)
            r.kr_value.u64 |= uint64_t(in.u8()) << (8 * i);
    }
    char buf[KV_VALUE_TEXT_SIZE];
    const char *t = kv_value_text(&r, buf);
    if (kv_value_type(r.kr_type) == KV_T_STRING) {
        FZ_CHECK(t == r.kr_value.str);
    } else {
        FZ_CHECK(t == buf && strnlen(buf, sizeof(buf)) < sizeof(buf));
        if (kv_value_type(r.kr_type) != KV_T_CHAR) FZ_CHECK(valid_utf8(buf));
    }
    check_fit(t, 64);
}

int run(const uint8_t *data, size_t size) {
    fz::Reader in(data, size);
    size_t fit = 4 + in.u8() % 96;
    std::string a = in.bytes(in.u8()), b = in.bytes(in.u8());
    std::string rest = in.bytes(size);
    check_fit(a, fit);
    check_fit(rest, 64);
    check_repair(rest);
    check_prom(a + ".*." + b, b, rest);
    fz::Reader again(data, size);
    check_value_text(again);
    return 0;
}

}  // namespace fz_text

int fz_run_kv_text(const uint8_t *data, size_t size) {
    return fz_text::run(data, size);
}
FZ_DRIVER(fz_run_kv_text)
