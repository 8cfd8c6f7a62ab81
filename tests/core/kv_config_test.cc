// Module configuration: the read cycle of kv_config and the file reader.
#include "core/kv_config.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/child.h"
#include "core/kvc_file.h"
#include "core/logging.h"
#include "core/nmem.h"

namespace {

using strings = std::vector<std::string>;

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
struct kv_head ohead = {"oth", 0, 0, 7, {}, sizeof(conf), nullptr, cvars, nullptr, nullptr, {}};

strings order;  // what the hooks saw, in order
conf applied;   // the block as the last apply hook saw it

void defaults(void *data) {
    static_cast<conf *>(data)->w = 7;
    order.push_back("defaults");
}
void apply(struct kvc_reg *reg, void *data, void *) {
    applied = *static_cast<conf *>(data);
    order.push_back(std::string("apply ") + reg->kc_head->kh_name);
}
// A reader that completes at once.
int completing(struct kvc_reg *reg, void *data, kvc_done_fn done) {
    static_cast<conf *>(data)->s = 5;
    return done(reg, data, nullptr);
}
const struct kvc_ops completing_ops = {0, completing};

// Log lines of one level, without their time stamps.
strings logged(const std::string &out, const char *level) {
    strings v;
    for (const std::string &l : qt::split_lines(out))
        if (l.size() > 20 && l.compare(20, strlen(level), level) == 0) v.push_back(l.substr(20));
    return v;
}

class KvConfig : public ::testing::Test {
  protected:
    void SetUp() override {
        order.clear();
        ASSERT_EQ(kv_register(&chead), 0);
        ASSERT_EQ(kv_register(&ohead), 0);
        blk = static_cast<conf *>(chead.kh_data);
    }
    void TearDown() override {
        kvc_unregister_ops(&completing_ops);
        kv_unregister(&chead);
        kv_unregister(&ohead);
    }
    conf *blk;
};

TEST_F(KvConfig, ReadCycleFlagsAndOrder) {
    struct kvc_reg a = {0, 0, &chead, nullptr, defaults, apply, {}};
    struct kvc_reg b = {0, KVC_ONCE, &ohead, nullptr, defaults, apply, {}};
    // The initial reader: cleared block, defaults, no apply.
    blk->s = 4;
    std::string out = qt::echoed([&] {
        kvc_register(&a);
        kvc_register(&a);  // already listed: nothing
        kvc_register(&b);
        kvc_mod_init(nullptr);
    });
    EXPECT_EQ(logged(out, "INFO"), (strings{"INFO [oth] Module configuration...",
                                            "INFO [mod] Module configuration..."}));
    EXPECT_EQ(blk->s + blk->w, 7);
    EXPECT_EQ(order, (strings{"defaults", "defaults"}));

    // A completing reader, newest first: the KVC_ONCE one is consumed, the
    // other reset to its defaults right after its apply hook.
    kvc_register_ops(&completing_ops);
    order.clear();
    kvc_mod_init(nullptr);
    kvc_mod_init(nullptr);
    EXPECT_EQ(order, (strings{"defaults", "apply oth", "defaults", "apply mod", "defaults",
                              "defaults", "apply mod", "defaults"}));
    EXPECT_EQ(applied.s + applied.w, 12);  // the reader's value over the defaults
    EXPECT_EQ(blk->s, 0);
    EXPECT_EQ(b.kc_flags, KVC_ONCE | KVC_DONE);

    // KVC_READ_NOW: read inside kvc_register, done whether or not completed.
    kvc_unregister(&b);
    kvc_unregister(&b);  // not listed: nothing
    kvc_unregister_ops(&completing_ops);
    struct kvc_reg now = {0, KVC_READ_NOW, &ohead, nullptr, nullptr, apply, {}};
    order.clear();
    kvc_register(&now);
    kvc_mod_init(nullptr);
    EXPECT_EQ(now.kc_flags, KVC_READ_NOW | KVC_DONE);
    EXPECT_EQ(order, (strings{"defaults"}));  // a's read only
    // Never registered: read through the reader slot, not through null.
    struct kvc_reg lone = {0, 0, &ohead, nullptr, nullptr, apply, {}};
    kvc_register_ops(&completing_ops);
    kvc_read(&lone);
    EXPECT_EQ(order.back(), "apply oth");
    kvc_unregister(&now);
    kvc_unregister(&a);
}

TEST_F(KvConfig, MisuseStops) {
    struct kvc_ops bad_type = {1, completing}, no_fn = {0, nullptr};
    EXPECT_DEATH(kvc_register_ops(&bad_type),
                 "src/core/kv_config.cc:[0-9]+: kvc_register_ops: Assertion `ops->kvo_type < 1'");
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

std::string field_text(const conf &c, const std::string &f) {
    if (f == "c") return std::to_string(int(c.c));
    if (f == "s") return std::to_string(c.s);
    if (f == "w") return std::to_string(c.w);
    if (f == "q") return std::to_string(c.q);
    if (f == "name") return c.name ? c.name : "(null)";
    std::string s;  // addrs: both entries, "?" for one that is not AF_INET
    for (int i = 0; c.addrs && i < 2; i++) {
        char buf[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &c.addrs[i].sin_addr, buf, sizeof(buf));
        s += std::string(i ? "," : "") + buf + (c.addrs[i].sin_family == AF_INET ? "" : "?");
    }
    return s;
}

TEST_F(KvConfig, FileLinesByTypeAndEveryErrorLine) {
    const std::string W = "WARN kvc_file_parse: f.conf:", R = ": out of range, default kept",
                      B = ": bad value, default kept";
    static const char nul_lines[] = "mod.w 5\n= 5\nmod.w\0= 5";
    const struct {
        std::string text;
        const char *field;  // c s w q name addrs
        std::string want;
        strings warns;
    } cases[] = {
        {"mod.c = -128", "c", "-128", {}},
        {"mod.c = 128", "c", "0", {W + "1: mod.c" + R}},
        {"  mod.s\t=\t65535  \r", "s", "65535", {}},
        {"mod.s = 0x10000", "s", "0", {W + "1: mod.s" + R}},
        {"mod.w = 0XfFfFfFfF", "w", "4294967295", {}},
        {"mod.w = 4294967296", "w", "7", {W + "1: mod.w" + R}},
        {"mod.w = 1 2", "w", "7", {W + "1: mod.w" + B}},
        {"mod.w = -1", "w", "7", {W + "1: mod.w" + B}},
        {"mod.q = 18446744073709551615", "q", "18446744073709551615", {}},
        {"mod.q = 18446744073709551616", "q", "0", {W + "1: mod.q" + R}},
        {"mod.name =  eth0, lo # not a comment ", "name", "eth0, lo # not a comment", {}},
        {"mod.addrs = 10.0.0.1, 192.168.1.255", "addrs", "10.0.0.1,192.168.1.255", {}},
        {"mod.addrs = 1.2.3.4", "addrs", "1.2.3.4,0.0.0.0?", {}},
        {"mod.addrs = 1.2.3.4,5.6.7.8,9.9.9.9", "addrs", "", {W + "1: mod.addrs" + R}},
        {"mod.addrs = 1.2.3.256", "addrs", "", {W + "1: mod.addrs" + B}},
        {"\n# mod.w = 1\n   # x\n\n", "w", "7", {}},
        {"mod.nosuch = 1\nmod.none = 1\nmod = 1\nmodx.w = 1\noth.w = 1",
         "w",
         "7",
         {W + "1: mod.nosuch: unknown key", W + "2: mod.none: unknown key",
          W + "3: mod: unknown key", W + "4: modx.w: unknown key"}},
        {std::string(nul_lines, sizeof(nul_lines) - 1),
         "w",
         "7",
         {W + "1: mod.w 5: not a key = value line", W + "2: : not a key = value line",
          W + "3: mod.w?: not a key = value line"}},
        // A key given twice keeps its default, whichever of its lines are good.
        {"mod.w = 1\nmod.s = 2\nmod.w = 3\nmod.w = x",
         "w",
         "7",
         {W + "3: mod.w: duplicate key, default kept", W + "4: mod.w" + B}},
        {"mod.name = " + std::string(KVC_FILE_LINE_MAX, 'x'),
         "name",
         "(null)",
         {W + "1: mod.name: line too long"}},
    };
    struct kvc_reg reg = {0, 0, &chead, nullptr, defaults, nullptr, {}}, other = reg;
    other.kc_head = &ohead;
    other.kc_flags = KVC_DONE;  // "oth." keys are its own; strays are reg's to report
    kvc_register(&other);
    for (const auto &c : cases) {
        memset(blk, 0, sizeof(conf));
        defaults(blk);
        struct kvc_file_result res;
        std::string out = qt::echoed(
            [&] { kvc_file_parse(&reg, blk, "f.conf", c.text.data(), c.text.size(), &res); });
        EXPECT_EQ(field_text(*blk, c.field), c.want) << c.text;
        EXPECT_EQ(logged(out, "WARN"), c.warns) << c.text;
        EXPECT_EQ(res.kfr_warnings, int(c.warns.size())) << c.text;
        if (blk->name) nmem_free(blk->name);
        if (blk->addrs) nmem_free(blk->addrs);
    }
    kvc_unregister(&other);
}

// A line naming no registered module is reported once per read, whatever
// the flags of the registrations (a KVC_ONCE one is done once read).
TEST_F(KvConfig, FileStrayKeysReportedOncePerRead) {
    qt::TempDir dir;
    qt::write_file(dir / "x.conf", "mod.w = 11\nzz.w = 1\noth.w = 12\n");
    ASSERT_EQ(kvc_file_set_path((dir / "x.conf").c_str()), 0);
    struct kvc_reg a = {0, 0, &chead, nullptr, defaults, apply, {}}, b = a;
    b.kc_head = &ohead;
    b.kc_flags = KVC_ONCE;
    kvc_register_ops(&kvc_file_ops);
    kvc_register(&a);
    kvc_register(&b);
    const strings stray = {"WARN kvc_file_parse: " + dir / "x.conf" + ":2: zz.w: unknown key"};
    EXPECT_EQ(logged(qt::echoed([] { kvc_mod_init(nullptr); }), "WARN"), stray);
    EXPECT_EQ(applied.w, 11u);  // mod, read last
    EXPECT_EQ(logged(qt::echoed([&] { kvc_read(&a); }), "WARN"), stray);
    kvc_unregister(&a);
    kvc_unregister(&b);
    kvc_unregister_ops(&kvc_file_ops);
    kvc_file_set_path(nullptr);
}

}  // namespace
