#include "core/utils_unix.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "core/capture.h"
#include "core/nmem.h"
#include "support/test_support.h"

namespace {

TEST(UtilsStatm, ResidentPagesTimesPageSize) {
    qt::TempDir dir;
    utils_page_size_kb = 0;
    qt::write_file(dir / "statm", "12345 678 90 1 0 2 0\n");
    // Before utils_unix has started the page size is 0.
    EXPECT_EQ(utils_rss_kb_file((dir / "statm").c_str()), 0);
    utils_page_size_kb = 4;
    EXPECT_EQ(utils_rss_kb_file((dir / "statm").c_str()), 2712);
    qt::write_file(dir / "short", "12345\n");
    EXPECT_EQ(utils_rss_kb_file((dir / "short").c_str()), -1);
    qt::write_file(dir / "empty", "");
    EXPECT_EQ(utils_rss_kb_file((dir / "empty").c_str()), -1);
    EXPECT_EQ(utils_rss_kb_file((dir / "missing").c_str()), -1);

    utils_unix_init(nullptr);
    EXPECT_EQ(utils_page_size_kb, static_cast<uint64_t>(sysconf(_SC_PAGESIZE) / 1024));
    EXPECT_GT(utils_rss_kb(), 0);
}

int uname_fails(struct utsname *) {
    errno = EFAULT;
    return -1;
}

TEST(UtilsSystem, OsNameAndReleaseOrUnknown) {
    char *name = nullptr, *rel = nullptr;
    EXPECT_STREQ(utils_os_name(&name), "Linux");
    ASSERT_NE(utils_os_release(&rel), nullptr);
    EXPECT_NE(rel[0], '\0');
    nmem_free(name);
    nmem_free(rel);

    struct utils_sys_ops ops = {uname_fails, nullptr};
    utils_set_sys_ops(&ops);
    EXPECT_STREQ(utils_os_name(&name), "unknown");
    EXPECT_STREQ(utils_os_release(&rel), "unknown");
    EXPECT_STREQ(name, "unknown");
    nmem_free(name);
    nmem_free(rel);
    utils_set_sys_ops(nullptr);

    EXPECT_TRUE(pthread_equal(utils_thread_id(), pthread_self()));
}

int gethostname_fails(char *, size_t) {
    errno = EINVAL;
    return -1;
}

int gethostname_64(char *buf, size_t len) {
    std::string n(64, 'h');
    if (len < n.size() + 1) {
        errno = ENAMETOOLONG;
        return -1;
    }
    memcpy(buf, n.c_str(), n.size() + 1);
    return 0;
}

[[noreturn]] void host_name_failure_child() {
    struct utils_sys_ops ops = {nullptr, gethostname_fails};
    utils_set_sys_ops(&ops);
    std::string out = qt::capture_stdout([] {
        const char *a = get_host_name();
        const char *b = get_host_name();
        if (a != b || strcmp(a, "unknown_host") != 0) _exit(2);
    });
    _exit(qt::count_of(out, "Cannot get hostname") == 1 ? 0 : 3);
}

[[noreturn]] void host_name_64_child() {
    struct utils_sys_ops ops = {nullptr, gethostname_64};
    utils_set_sys_ops(&ops);
    _exit(std::string(get_host_name()) == std::string(64, 'h') ? 0 : 2);
}

TEST(UtilsHostName, FailureGivesUnknownHostLoggedOnce) {
    // The name is cached for the life of the process: each case runs in
    // its own child.
    EXPECT_EXIT(host_name_failure_child(), ::testing::ExitedWithCode(0), "");
    // A name of the longest length the system allows is a name.
    EXPECT_EXIT(host_name_64_child(), ::testing::ExitedWithCode(0), "");
    char real[256];
    gethostname(real, sizeof(real));
    EXPECT_STREQ(get_host_name(), real);
    EXPECT_EQ(get_host_name(), get_host_name());
}

TEST(UtilsDirSize, CountsFilesRecursivelySkipsLinks) {
    qt::TempDir dir;
    qt::write_file(dir / "a", std::string(10, 'x'));
    qt::write_file(dir / ".hidden", std::string(20, 'x'));
    qt::write_file(dir / "big", std::string(100000, 'x'));
    mkdir((dir / "out").c_str(), 0755);
    mkdir((dir / "sub").c_str(), 0755);
    qt::write_file(dir / "sub/f", std::string(5, 'x'));
    mkdir((dir / "sub/deeper").c_str(), 0755);
    qt::write_file(dir / "sub/deeper/g", std::string(7, 'x'));
    // Links to a big file and to a directory count for nothing.
    ASSERT_EQ(symlink((dir / "big").c_str(), (dir / "sub/link").c_str()), 0);
    ASSERT_EQ(symlink(dir.path().c_str(), (dir / "sub/loop").c_str()), 0);
    EXPECT_EQ(utils_dir_size((dir / "sub").c_str()), 12);
    EXPECT_EQ(utils_dir_size(dir.path().c_str()), 10 + 20 + 100000 + 12);
    EXPECT_EQ(utils_dir_size((dir / "out").c_str()), 0);
}

TEST(UtilsDirSize, ErrorsAnywhereGiveMinusOneAndLeakNothing) {
    qt::TempDir dir;
    qt::write_file(dir / "file", "abc");
    uint64_t objs = nmem_stats.ns_alloced_objs;
    std::string out = qt::capture_stdout([&] {
        EXPECT_EQ(utils_dir_size((dir / "file").c_str()), -1);
        EXPECT_EQ(utils_dir_size((dir / "nothere").c_str()), -1);
    });
    EXPECT_NE(out.find("Error opening directory " + (dir / "file")), std::string::npos);

    // An unreadable subdirectory deep in the tree fails the whole walk.
    // Root reads anything, so the failure is made by a name that is too
    // long to join: directories nested until the joined path passes 4096.
    // Directories nested until the path is near 4000 characters, built
    // relative to open directories so that the last name may run past the
    // 4096-byte path buffer.
    mkdir((dir / "top").c_str(), 0755);
    std::string deep = dir / "top";
    int dfd = open(deep.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(dfd, 0);
    qt::write_file(dir / "top/early", "12345");
    while (deep.size() < 3900) {
        std::string name(200, 'd');
        ASSERT_EQ(mkdirat(dfd, name.c_str(), 0755), 0);
        int next = openat(dfd, name.c_str(), O_RDONLY | O_DIRECTORY);
        close(dfd);
        ASSERT_GE(next, 0);
        dfd = next;
        deep += "/" + name;
    }
    int ffd = openat(dfd, std::string(250, 'f').c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(ffd, 0);
    close(ffd);
    close(dfd);
    int before_fds = 0;
    for (int fd = 0; fd < 1024; fd++)
        if (fcntl(fd, F_GETFD) != -1) before_fds++;
    out = qt::capture_stdout([&] { EXPECT_EQ(utils_dir_size((dir / "top").c_str()), -1); });
    EXPECT_NE(out.find("No Null at the end of strncpy"), std::string::npos) << out;
    int after_fds = 0;
    for (int fd = 0; fd < 1024; fd++)
        if (fcntl(fd, F_GETFD) != -1) after_fds++;
    // Every level released its buffer and closed its directory.
    EXPECT_EQ(after_fds, before_fds);
    EXPECT_EQ(nmem_stats.ns_alloced_objs, objs);
    // Paths this long are beyond what TempDir's clean-up walks.
    EXPECT_EQ(system(("rm -rf '" + (dir / "top") + "'").c_str()), 0);
}

TEST(UtilsFileName, ReplacesTheNineUnsafeCharacters) {
    char a[] = "a/b:c?d";
    utils_fname_sanitize(a, '_');
    EXPECT_STREQ(a, "a_b_c_d");
    char all[] = "&*/:<>?\\|\"x.y";
    utils_fname_sanitize(all, '-');
    EXPECT_STREQ(all, "---------\"x.y");
    char empty[] = "";
    utils_fname_sanitize(empty, '_');
    EXPECT_STREQ(empty, "");
}

TEST(UtilsNames, Tables) {
    EXPECT_STREQ(utils_state_name(0), "Enabled");
    EXPECT_STREQ(utils_state_name(1), "Disabled");
    EXPECT_STREQ(utils_level_name(0), "KPI");
    EXPECT_STREQ(utils_level_name(1), "Diagnostic");
    EXPECT_STREQ(utils_level_name(2), "Advanced");
}

}  // namespace
