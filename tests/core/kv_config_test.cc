// Module configuration: the read cycle of kv_config and the file reader.
#include "core/kv_config.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/kvc_file.h"
#include "core/logging.h"
#include "core/nmem.h"
#include "core/child.h"

namespace {

struct conf {
    int8_t c;
    uint16_t s;
    uint32_t w;
    uint64_t q;
    char *name;
    struct sockaddr_in *addrs;  // room for two
};
struct kv_var cvars[] = {
    {"c", KV_T_CHAR, 0, 1, 0, 0, offsetof(conf, c)},
    {"s", KV_T_U16, 0, 2, 0, 0, offsetof(conf, s)},
    {"w", KV_T_U32, 0, 4, 0, 0, offsetof(conf, w)},
    {"q", KV_T_U64, 0, 8, 0, 0, offsetof(conf, q)},
    {"name", KV_T_STRING, 0, 8, 0, 0, offsetof(conf, name)},
    {"addrs", KV_T_IPV4_LIST, 0, 32, 0, 0, offsetof(conf, addrs)},
    {"none", KV_T_NONE, 0, 0, 0, 0, 0},
};
struct kv_head chead = {"mod", 0, 0, 7, {}, sizeof(conf), nullptr, cvars, nullptr, nullptr, {}};

std::vector<std::string> order;  // what the hooks saw
conf applied;                    // the block as the apply hook saw it
int applies;

void defaults(void *data) {
    auto *c = static_cast<conf *>(data);
    c->w = 7;
    c->q = 9;
    order.push_back("defaults");
}
void apply(struct kvc_reg *reg, void *data, void *) {
    applied = *static_cast<conf *>(data);
    applies++;
    order.push_back(std::string("apply ") + reg->kc_head->kh_name);
}

// A reader that completes at once with the block it was given.
int completing(struct kvc_reg *reg, void *data, kvc_done_fn done) {
    static_cast<conf *>(data)->s = 5;
    return done(reg, data, nullptr);
}
const struct kvc_ops completing_ops = {0, completing};

// WARN and INFO lines of the log, without their time stamps.
std::vector<std::string> logged(const std::string &out, const char *level) {
    std::vector<std::string> v;
    for (const std::string &l : qt::split_lines(out))
        if (l.size() > 20 && l.compare(20, strlen(level), level) == 0) v.push_back(l.substr(20));
    return v;
}

class KvConfig : public ::testing::Test {
  protected:
    void SetUp() override {
        order.clear();
        applies = 0;
        applied = {};
        ASSERT_EQ(kv_register(&chead), 0);
    }
    void TearDown() override {
        kvc_unregister_ops(&completing_ops);
        kv_unregister(&chead);
    }
    conf &block() { return *static_cast<conf *>(chead.kh_data); }
};

TEST_F(KvConfig, ReadCycleFlagsAndOrder) {
    struct kv_head other = chead;
    strcpy(other.kh_name, "other");
    other.kh_link = {};
    other.kh_data = nullptr;
    ASSERT_EQ(kv_register(&other), 0);
    struct kvc_reg a = {0, 0, &chead, nullptr, defaults, apply, {}};
    struct kvc_reg b = {0, KVC_ONCE, &other, nullptr, defaults, apply, {}};

    // The initial reader: cleared block, defaults, no apply.
    block().c = 3;
    block().s = 4;
    std::string out = qt::echoed([&] {
        kvc_register(&a);
        kvc_register(&a);  // already listed: nothing
        kvc_register(&b);
        kvc_mod_init(nullptr);
    });
    EXPECT_EQ(kvc_first(), &b);
    EXPECT_EQ(kvc_next(&b), &a);
    EXPECT_EQ(kvc_next(&a), nullptr);
    EXPECT_EQ(logged(out, "INFO"), (std::vector<std::string>{"INFO [other] Module configuration...",
                                                             "INFO [mod] Module configuration..."}));
    EXPECT_EQ(block().c + block().s + block().w + block().q, 16);
    EXPECT_EQ(applies, 0);

    // A completing reader: newest first; the KVC_ONCE one is consumed, the
    // other is reset to its defaults right after its apply hook.
    kvc_register_ops(&completing_ops);
    order.clear();
    kvc_mod_init(nullptr);
    EXPECT_EQ(order, (std::vector<std::string>{"defaults", "apply other", "defaults", "apply mod",
                                               "defaults"}));
    EXPECT_EQ(applied.s + applied.w, 12);  // what the reader wrote, over the defaults
    EXPECT_EQ(block().s, 0);
    EXPECT_EQ(b.kc_flags, KVC_ONCE | KVC_DONE);
    EXPECT_EQ(kvc_read_done(&b, other.kh_data, nullptr), 0);
    order.clear();
    kvc_mod_init(nullptr);
    EXPECT_EQ(order, (std::vector<std::string>{"defaults", "apply mod", "defaults"}));

    // KVC_READ_NOW: read inside kvc_register, done whether or not completed.
    kvc_unregister(&b);
    kvc_unregister(&b);  // not listed: nothing
    kvc_unregister_ops(&completing_ops);
    struct kvc_reg now = {0, KVC_READ_NOW, &other, nullptr, nullptr, apply, {}};
    order.clear();
    kvc_register(&now);
    EXPECT_EQ(now.kc_flags, KVC_READ_NOW | KVC_DONE);
    kvc_mod_init(nullptr);
    EXPECT_EQ(order, (std::vector<std::string>{"defaults"}));  // a only
    EXPECT_EQ(kvc_first(), &now);

    // Never registered: read through the reader slot, not through null.
    struct kvc_reg lone = {0, 0, &other, nullptr, nullptr, apply, {}};
    kvc_register_ops(&completing_ops);
    kvc_read(&lone);
    EXPECT_EQ(lone.kc_ops, a.kc_ops);
    EXPECT_EQ(applies, 4);
    kvc_unregister(&now);
    kvc_unregister(&a);
    kv_unregister(&other);
}

TEST_F(KvConfig, MisuseStops) {
    struct kvc_ops bad_type = {1, completing};
    EXPECT_DEATH(kvc_register_ops(&bad_type),
                 "src/core/kv_config.cc:[0-9]+: kvc_register_ops: Assertion `ops->kvo_type < 1'");
    struct kvc_ops no_fn = {0, nullptr};
    EXPECT_DEATH(kvc_register_ops(&no_fn), "Assertion `ops->config_read != \\(\\(void \\*\\)0\\)'");
    struct kvc_reg r1 = {1, 0, &chead, nullptr, nullptr, nullptr, {}};
    EXPECT_DEATH(kvc_register(&r1), "kvc_register: Assertion `reg->kc_type < 1'");
    struct kv_head bare = {"bare", 0, 0, 0, {}, 8, nullptr, nullptr, nullptr, nullptr, {}};
    struct kvc_reg r2 = {0, 0, &bare, nullptr, nullptr, nullptr, {}};
    EXPECT_DEATH(
        {
            qt::echo_to_stderr();
            kvc_read(&r2);
        },
        "ERROR kvc_read: error KV data nil for kv bare(.|\n)*kvc_read: Assertion");
}

/*
 * The file reader.
 */

struct parse_case {
    std::string text;
    const char *field;  // what to check: c s w q name addrs, or "" for nothing stored
    std::string want;   // its value as text
    std::vector<std::string> warns;
};

std::string field_text(const conf &c, const std::string &f) {
    if (f == "c") return std::to_string(int(c.c));
    if (f == "s") return std::to_string(c.s);
    if (f == "w") return std::to_string(c.w);
    if (f == "q") return std::to_string(c.q);
    if (f == "name") return c.name ? c.name : "(null)";
    if (f == "addrs") {
        std::string s;
        for (int i = 0; c.addrs && i < 2; i++) {
            char buf[INET_ADDRSTRLEN];
            inet_ntop(AF_INET, &c.addrs[i].sin_addr, buf, sizeof(buf));
            s += std::string(i ? "," : "") + buf + (c.addrs[i].sin_family == AF_INET ? "" : "?");
        }
        return s;
    }
    return "";
}

TEST_F(KvConfig, FileLinesByTypeAndEveryErrorLine) {
    const std::string W = "WARN kvc_file_parse: f.conf:";
    static const char nul_lines[] = "mod.w 5\n= 5\nmod.w\0= 5";
    const std::string long_line = "mod.name = " + std::string(KVC_FILE_LINE_MAX, 'x');
    // clang-format off
    const parse_case cases[] = {
        {"mod.c = -128", "c", "-128", {}},
        {"mod.c=0x7f", "c", "127", {}},
        {"mod.c = 128", "c", "0", {W + "1: mod.c: out of range, default kept"}},
        {"mod.c = x", "c", "0", {W + "1: mod.c: bad value, default kept"}},
        {"  mod.s\t=\t65535  \r", "s", "65535", {}},
        {"mod.s = 0x10000", "s", "0", {W + "1: mod.s: out of range, default kept"}},
        {"mod.s = -1", "s", "0", {W + "1: mod.s: bad value, default kept"}},
        {"mod.w = 4294967295", "w", "4294967295", {}},
        {"mod.w = 0XfFfF", "w", "65535", {}},
        {"mod.w = 4294967296", "w", "7", {W + "1: mod.w: out of range, default kept"}},
        {"mod.w = 0x", "w", "7", {W + "1: mod.w: bad value, default kept"}},
        {"mod.w =", "w", "7", {W + "1: mod.w: bad value, default kept"}},
        {"mod.w = 1 2", "w", "7", {W + "1: mod.w: bad value, default kept"}},
        {"mod.q = 18446744073709551615", "q", "18446744073709551615", {}},
        {"mod.q = 18446744073709551616", "q", "9", {W + "1: mod.q: out of range, default kept"}},
        {"mod.q = 0x10000000000000000", "q", "9", {W + "1: mod.q: out of range, default kept"}},
        {"mod.name =  eth0, lo # not a comment ", "name", "eth0, lo # not a comment", {}},
        {"mod.name =", "name", "", {}},
        {"mod.addrs = 10.0.0.1, 192.168.1.255", "addrs", "10.0.0.1,192.168.1.255", {}},
        {"mod.addrs = 1.2.3.4", "addrs", "1.2.3.4,0.0.0.0?", {}},
        {"mod.addrs = 1.2.3.4,5.6.7.8,9.9.9.9", "addrs", "",
         {W + "1: mod.addrs: out of range, default kept"}},
        {"mod.addrs = 1.2.3.256", "addrs", "", {W + "1: mod.addrs: bad value, default kept"}},
        {"mod.addrs = 1.2.3", "addrs", "", {W + "1: mod.addrs: bad value, default kept"}},
        {"mod.addrs = 1.2.3.4,", "addrs", "", {W + "1: mod.addrs: bad value, default kept"}},
        {"mod.addrs = 01.2.3.0004", "addrs", "", {W + "1: mod.addrs: bad value, default kept"}},
        // Lines that set nothing.
        {"\n# mod.w = 1\n   # x\n\n", "w", "7", {}},
        {"mod.nosuch = 1\nmod.none = 1\nmod = 1\nmodx.w = 1", "w", "7",
         {W + "1: mod.nosuch: unknown key", W + "2: mod.none: unknown key",
          W + "3: mod: unknown key", W + "4: modx.w: unknown key"}},
        {std::string(nul_lines, sizeof(nul_lines) - 1), "w", "7",
         {W + "1: mod.w 5: not a key = value line", W + "2: : not a key = value line",
          W + "3: mod.w?: not a key = value line"}},
        {"mod.w = 1\nmod.s = 2\nmod.w = 3\nmod.w = x", "w", "7",
         {W + "3: mod.w: duplicate key, default kept", W + "4: mod.w: bad value, default kept"}},
        {"mod.w = 1\nmod.s = 2\nmod.w = 1", "s", "2", {W + "3: mod.w: duplicate key, default kept"}},
        {long_line, "name", "(null)", {W + "1: mod.name: line too long"}},
    };
    // clang-format on
    for (const auto &c : cases) {
        const std::string &text = c.text;
        struct kvc_reg reg = {0, 0, &chead, nullptr, defaults, nullptr, {}};
        defaults(chead.kh_data);
        struct kvc_file_result res;
        std::string out = qt::echoed([&] {
            kvc_file_parse(&reg, chead.kh_data, "f.conf", text.data(), text.size(), &res);
        });
        EXPECT_EQ(field_text(block(), c.field), c.want) << c.text;
        EXPECT_EQ(logged(out, "WARN"), c.warns) << c.text;
        EXPECT_EQ(res.kfr_warnings, int(c.warns.size())) << c.text;
        if (block().name) nmem_free(block().name);
        if (block().addrs) nmem_free(block().addrs);
        memset(chead.kh_data, 0, sizeof(conf));
    }
}

// The reader on real files, under kvc_read: missing file, a stray key
// reported by one module's read only, and the file's values applied.
TEST_F(KvConfig, FileReaderCompletesEveryRead) {
    qt::TempDir dir;
    struct kv_head other = chead;
    strcpy(other.kh_name, "oth");
    other.kh_link = {};
    other.kh_data = nullptr;
    ASSERT_EQ(kv_register(&other), 0);
    struct kvc_reg a = {0, 0, &chead, nullptr, defaults, apply, {}};
    struct kvc_reg b = {0, 0, &other, nullptr, defaults, apply, {}};
    kvc_register_ops(&kvc_file_ops);
    kvc_register(&a);
    kvc_register(&b);
    ASSERT_EQ(kvc_file_set_path((dir / "x.conf").c_str()), 0);
    std::string out = qt::echoed([] { kvc_mod_init(nullptr); });
    EXPECT_EQ(applies, 2);
    EXPECT_EQ(qt::count_of(out, "INFO kvc_file_read: " + dir / "x.conf" + " not found"), 2u) << out;

    qt::write_file(dir / "x.conf", "mod.w = 11\noth.w = 12\nmod.addrs = 1.1.1.1\nzz.w = 1\n");
    out = qt::echoed([] { kvc_mod_init(nullptr); });
    EXPECT_EQ(applies, 4);
    EXPECT_EQ(applied.w, 11u);  // mod is read last: newest first
    EXPECT_EQ(field_text(applied, "addrs"), "1.1.1.1,0.0.0.0?");
    nmem_free(applied.addrs);
    EXPECT_EQ(qt::count_of(out, "WARN kvc_file_parse: " + dir / "x.conf" + ":4: zz.w: unknown key"),
              1u)
        << out;
    EXPECT_EQ(qt::count_of(out, "WARN"), 1u) << out;
    // Read alone, a module reports strays only if no earlier one is live.
    out = qt::echoed([&] { kvc_read(&a); });
    nmem_free(applied.addrs);
    EXPECT_EQ(qt::count_of(out, "WARN"), 0u) << out;
    b.kc_flags |= KVC_DONE;
    out = qt::echoed([&] { kvc_read(&a); });
    EXPECT_EQ(qt::count_of(out, "WARN"), 1u) << out;
    nmem_free(applied.addrs);
    kvc_unregister(&a);
    kvc_unregister(&b);
    kv_unregister(&other);
    kvc_unregister_ops(&kvc_file_ops);
    kvc_file_set_path(nullptr);
}

}  // namespace
