#include "core/privilege.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "core/capture.h"
#include "core/child.h"
#include "core/swi.h"

namespace {

constexpr uid_t nobody = 65534;

uid_t saved_uid() {
    uid_t r, e, s;
    getresuid(&r, &e, &s);
    return s;
}

// Every case changes the ids of the whole process, so each runs in a child.
TEST(Privilege, RootStartedByAnOrdinaryUserDropsAndRestores) {
    ASSERT_EQ(geteuid(), 0u) << "needs root";
    auto r = qt::run_child([] {
        // As a set-user-id root program run by nobody.
        CHILD_CHECK(setresuid(nobody, 0, 0) == 0);
        privilege_init(nullptr);
        CHILD_CHECK(privilege_started_privileged() == 1 && privilege_held() == 1);

        privilege_drop();
        CHILD_CHECK(geteuid() == nobody && saved_uid() == 0);
        CHILD_CHECK(privilege_held() == 0);
        // Without rights, files of root are out of reach.
        CHILD_CHECK(access("/root", W_OK) != 0);

        CHILD_CHECK(privilege_restore() == 0);
        CHILD_CHECK(geteuid() == 0 && privilege_held() == 1);
        printf("-- second restore --\n");
        CHILD_CHECK(privilege_restore() == 0);
        CHILD_CHECK(geteuid() == 0);

        CHILD_CHECK(privilege_drop_temp(nobody) == 0);
        CHILD_CHECK(geteuid() == nobody);
        CHILD_CHECK(privilege_drop_perm(nobody) == 0);
        uid_t a, b, c;
        getresuid(&a, &b, &c);
        CHILD_CHECK(a == nobody && b == nobody && c == nobody);
        // Gone for good: the way back is refused and reported.
        CHILD_CHECK(privilege_drop_temp(0) == -1);
        CHILD_CHECK(geteuid() == nobody);
    });
    ASSERT_TRUE(r.exited(0)) << r.status << r.err;
    std::string before = r.out.substr(0, r.out.find("-- second restore --"));
    std::string after = r.out.substr(r.out.find("-- second restore --"));
    EXPECT_EQ(qt::count_of(before, "INFO Successfully dropped privileges temporarily"), 1u)
        << r.out;
    EXPECT_EQ(qt::count_of(before, "INFO Successfully restored privileges"), 1u);
    EXPECT_EQ(qt::count_of(after, "restored"), 0u);
    EXPECT_EQ(qt::count_of(after, "INFO Successfully dropped privileges permanently"), 1u);
    EXPECT_EQ(qt::count_of(after, "ERROR setresuid failed: Operation not permitted"), 1u);
}

TEST(Privilege, OrdinaryUserHasNothingToDropOrRestore) {
    auto r = qt::run_child([] {
        CHILD_CHECK(setresuid(nobody, nobody, nobody) == 0);
        privilege_init(nullptr);
        CHILD_CHECK(privilege_started_privileged() == 0 && privilege_held() == 0);
        CHILD_CHECK(privilege_restore() == 0);
        privilege_drop();
        CHILD_CHECK(privilege_held() == 0 && geteuid() == nobody);
        CHILD_CHECK(privilege_drop_temp(0) == -1);
    });
    ASSERT_TRUE(r.exited(0)) << r.status << r.err;
    // restore and drop make no call and say nothing; only the refused
    // drop to root is reported.
    EXPECT_EQ(qt::split_lines(r.out).size(), 1u) << r.out;
    EXPECT_EQ(qt::count_of(r.out, "ERROR setresuid failed: "), 1u);
}

TEST(Privilege, MainPollRunsWithoutRootRights) {
    auto r = qt::run_child([] {
        CHILD_CHECK(setresuid(nobody, 0, 0) == 0);
        privilege_init(nullptr);
        main_poll(1);
        CHILD_CHECK(geteuid() == nobody && privilege_held() == 0);
        CHILD_CHECK(privilege_restore() == 0 && geteuid() == 0);
    });
    EXPECT_TRUE(r.exited(0)) << r.status << r.err;
}

}  // namespace
