#include "core/privilege.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "core/child.h"
#include "core/swi.h"

namespace {

constexpr uid_t nobody = 65534;

uid_t saved_id() {
    uid_t r, e, s;
    getresuid(&r, &e, &s);
    return s;
}

// Id changes hold for the whole process: every case runs in a child.
TEST(Privilege, RootRunByAnOrdinaryUserDropsRestoresAndDropsForGood) {
    ASSERT_EQ(geteuid(), 0u) << "needs root";
    auto r = qt::run_child([] {
        CHILD_CHECK(setresuid(nobody, 0, 0) == 0);  // a set-user-id root program
        privilege_init(nullptr);
        main_poll(1);  // drops before it loops
        CHILD_CHECK(geteuid() == nobody && saved_id() == 0 && privilege_held() == 0);
        CHILD_CHECK(privilege_restore() == 0 && geteuid() == 0 && privilege_held() == 1);
        printf("--\n");
        CHILD_CHECK(privilege_restore() == 0);  // held: nothing to do, nothing said
        CHILD_CHECK(privilege_drop_perm(nobody) == 0);
        uid_t a, b, c;
        getresuid(&a, &b, &c);
        CHILD_CHECK(a == nobody && b == nobody && c == nobody);
        CHILD_CHECK(privilege_drop_temp(0) == -1 && geteuid() == nobody);
    });
    ASSERT_TRUE(r.exited(0)) << r.err;
    std::string before = r.out.substr(0, r.out.find("--\n")), after = r.out.substr(before.size());
    EXPECT_EQ(qt::count_of(before, " INFO Successfully dropped privileges temporarily\n"), 1u);
    EXPECT_EQ(qt::count_of(before, " INFO Successfully restored privileges\n"), 1u) << r.out;
    EXPECT_EQ(qt::count_of(after, "restored"), 0u);
    EXPECT_EQ(qt::count_of(after, " INFO Successfully dropped privileges permanently\n"), 1u);
    EXPECT_EQ(qt::count_of(after, " ERROR setresuid failed: Operation not permitted\n"), 1u);
}

TEST(Privilege, OrdinaryUserHasNothingToDropOrRestore) {
    auto r = qt::run_child([] {
        CHILD_CHECK(setresuid(nobody, nobody, nobody) == 0);
        privilege_init(nullptr);
        CHILD_CHECK(privilege_started_privileged() == 0);
        CHILD_CHECK(privilege_restore() == 0);
        privilege_drop();
        CHILD_CHECK(privilege_held() == 0 && geteuid() == nobody);
    });
    ASSERT_TRUE(r.exited(0)) << r.err;
    EXPECT_EQ(r.out, "");  // no call made, nothing logged
}

}  // namespace
