#include "core/queue.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct item {
    int v;
    tailq_entry<item> link;
    tailq<item, &item::link> kids;  // a list of the element's own type
};
using itemq = tailq<item, &item::link>;

std::vector<int> values(const itemq &q) {
    std::vector<int> out;
    for (item *e : q) out.push_back(e->v);
    return out;
}

TEST(Tailq, InsertAtBothEndsAndAfter) {
    itemq q;
    q.init();
    item a{1, {}, {}}, b{2, {}, {}}, c{3, {}, {}}, d{4, {}, {}};
    EXPECT_TRUE(q.empty());
    q.insert_tail(&b);
    q.insert_head(&a);
    q.insert_tail(&d);
    q.insert_after(&b, &c);
    EXPECT_EQ(values(q), (std::vector<int>{1, 2, 3, 4}));
    // The tail link follows the last element, so appending still works
    // after an insertion behind the old tail.
    item e{5, {}, {}};
    q.insert_after(&d, &e);
    item f{6, {}, {}};
    q.insert_tail(&f);
    EXPECT_EQ(values(q), (std::vector<int>{1, 2, 3, 4, 5, 6}));
}

TEST(Tailq, RemoveFirstMiddleLastKeepsLinksConsistent) {
    itemq q;
    q.init();
    item it[5];
    for (int i = 0; i < 5; i++) {
        it[i] = item{i, {}, {}};
        q.insert_tail(&it[i]);
    }
    q.remove(&it[0]);
    q.remove(&it[2]);
    q.remove(&it[4]);
    EXPECT_EQ(values(q), (std::vector<int>{1, 3}));
    EXPECT_FALSE(itemq::linked(&it[4]));
    EXPECT_EQ(it[4].link.tqe_next, nullptr);
    // Removing the last element must move the tail back: a new element goes
    // after 3, not after the removed 4.
    q.insert_tail(&it[4]);
    EXPECT_EQ(values(q), (std::vector<int>{1, 3, 4}));
    q.remove(&it[1]);
    q.remove(&it[3]);
    q.remove(&it[4]);
    EXPECT_TRUE(q.empty());
    EXPECT_EQ(q.tqh_last, &q.tqh_first);
    q.insert_head(&it[2]);
    EXPECT_EQ(values(q), (std::vector<int>{2}));
}

TEST(Tailq, StaticInitialiserAndNestedLists) {
    static itemq sq = TAILQ_HEAD_INITIALIZER(sq);
    item parent{0, {}, {}}, k1{1, {}, {}}, k2{2, {}, {}};
    parent.kids.init();
    parent.kids.insert_tail(&k1);
    parent.kids.insert_tail(&k2);
    sq.insert_tail(&parent);
    EXPECT_EQ(sq.first(), &parent);
    EXPECT_EQ(values(parent.kids), (std::vector<int>{1, 2}));
    // Moving an element from one list to another through remove + insert.
    parent.kids.remove(&k1);
    sq.insert_tail(&k1);
    EXPECT_EQ(values(sq), (std::vector<int>{0, 1}));
    EXPECT_EQ(values(parent.kids), (std::vector<int>{2}));
    sq.remove(&parent);
    sq.remove(&k1);
}

}  // namespace
