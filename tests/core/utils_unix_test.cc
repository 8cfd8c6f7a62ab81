#include "core/utils_unix.h"
#include "core/utils_unix_internal.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "core/child.h"
#include "core/nmem.h"

namespace {

TEST(Utils, StatmHostAndSystemNames) {
    qt::TempDir dir;
    qt::write_file(dir / "statm", "12345 678 90 1 0 2 0\n");
    qt::write_file(dir / "short", "12345\n");
    utils_page_size_kb = 4;
    EXPECT_EQ(utils_rss_kb_file((dir / "statm").c_str()), 2712);
    EXPECT_EQ(utils_rss_kb_file((dir / "short").c_str()), -1);
    EXPECT_EQ(utils_rss_kb_file((dir / "none").c_str()), -1);
    char *slot = nullptr;
    struct utils_sys_ops ops = {[](struct utsname *) { return -1; }, nullptr};
    utils_set_sys_ops(&ops);
    EXPECT_STREQ(utils_os_release(&slot), "unknown");
    nmem_free(slot);
    // The host name is cached for good: each case in its own child.
    auto r = qt::run_child([] {
        struct utils_sys_ops fail = {nullptr, [](char *, size_t) { return -1; }};
        utils_set_sys_ops(&fail);
        CHILD_CHECK(get_host_name() == get_host_name());
        CHILD_CHECK(std::string(get_host_name()) == "unknown_host");
    });
    EXPECT_EQ(qt::count_of(r.out, " ERROR Cannot get hostname\n"), 1u) << r.out << r.err;
    r = qt::run_child([] {  // the longest name the system allows is a name
        struct utils_sys_ops longest = {nullptr, [](char *b, size_t n) {
                                            return n > 64 ? snprintf(b, n, "%064d", 0) * 0 : -1;
                                        }};
        utils_set_sys_ops(&longest);
        CHILD_CHECK(std::string(get_host_name()) == std::string(64, '0'));
    });
    EXPECT_TRUE(r.exited(0)) << r.err;
    utils_set_sys_ops(nullptr);
}

TEST(Utils, DirSizeCountsFilesBelowSkipsLinksAndFailsWhole) {
    qt::TempDir dir;
    qt::write_file(dir / ".a", std::string(10, 'x'));  // dot files count
    mkdir((dir / "sub").c_str(), 0755);
    mkdir((dir / "sub/deeper").c_str(), 0755);
    qt::write_file(dir / "sub/f", std::string(5, 'x'));
    qt::write_file(dir / "sub/deeper/g", std::string(7, 'x'));
    qt::write_file(dir / "big", std::string(100000, 'x'));
    symlink((dir / "big").c_str(), (dir / "sub/link").c_str());
    symlink(dir.path().c_str(), (dir / "sub/loop").c_str());
    EXPECT_EQ(utils_dir_size((dir / "sub").c_str()), 12);
    EXPECT_EQ(utils_dir_size(dir.path().c_str()), 100022);
    EXPECT_EQ(utils_dir_size((dir / "sub/deeper").c_str()), 7);
    std::string out = qt::captured([&] { EXPECT_EQ(utils_dir_size((dir / "big").c_str()), -1); });
    EXPECT_NE(out.find("Error opening directory " + (dir / "big")), std::string::npos);

    // Deep in the tree, an entry whose joined path passes 4096 bytes: the
    // walk fails, and every level releases its buffer and its directory.
    int dfd = open((dir / "sub/deeper").c_str(), O_RDONLY | O_DIRECTORY);
    for (size_t len = (dir / "sub/deeper").size(); len + 201 < 4090; len += 201) {
        mkdirat(dfd, std::string(200, 'd').c_str(), 0755);
        int next = openat(dfd, std::string(200, 'd').c_str(), O_RDONLY | O_DIRECTORY);
        close(dfd);
        dfd = next;
    }
    close(openat(dfd, std::string(250, 'f').c_str(), O_CREAT | O_WRONLY, 0644));
    close(dfd);
    uint64_t objs = nmem_stats.ns_alloced_objs;
    const int fds = qt::count_entries("/proc/self/fd");
    out = qt::captured([&] { EXPECT_EQ(utils_dir_size(dir.path().c_str()), -1); });
    EXPECT_NE(out.find("No Null at the end of strncpy"), std::string::npos);
    EXPECT_EQ(nmem_stats.ns_alloced_objs, objs);
    EXPECT_EQ(qt::count_entries("/proc/self/fd"), fds);                // no directory left open
    EXPECT_EQ(system(("rm -rf '" + (dir / "sub") + "'").c_str()), 0);  // too deep for TempDir
}

TEST(Utils, FileNameCharacterReplacement) {
    char a[] = "a/b:c?d", all[] = "&*/:<>?\\|\"x.y";
    utils_fname_sanitize(a, '_');
    utils_fname_sanitize(all, '-');
    EXPECT_STREQ(a, "a_b_c_d");
    EXPECT_STREQ(all, "---------\"x.y");
}

}  // namespace
