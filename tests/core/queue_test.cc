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
using ints = std::vector<int>;

ints values(const itemq &q) {
    ints out;
    for (item *e : q)
        out.push_back(e->v);
    return out;
}

TEST(Tailq, InsertsRemovalsTailLinkAndStaticHeads) {
    itemq q;
    q.init();
    item it[7];
    for (int i = 0; i < 7; i++)
        it[i] = item{i, {}, {}};
    EXPECT_TRUE(q.empty());
    q.insert_head(&it[1]);  // on an empty list: the tail follows it
    q.insert_tail(&it[3]);
    q.insert_head(&it[0]);
    q.insert_after(&it[1], &it[2]);
    q.insert_after(&it[3], &it[4]);  // behind the old tail
    q.insert_tail(&it[5]);
    EXPECT_EQ(values(q), (ints{0, 1, 2, 3, 4, 5}));

    q.remove(&it[0]);
    q.remove(&it[2]);
    q.remove(&it[5]);
    EXPECT_EQ(values(q), (ints{1, 3, 4}));
    EXPECT_FALSE(itemq::linked(&it[5]));
    EXPECT_EQ(it[5].link.tqe_next, nullptr);
    // Removing the last element moves the tail back: a new element goes
    // after 4, not after the removed 5.
    q.insert_tail(&it[6]);
    EXPECT_EQ(values(q), (ints{1, 3, 4, 6}));
    for (int i : {1, 3, 4, 6})
        q.remove(&it[i]);
    EXPECT_TRUE(q.empty());
    EXPECT_EQ(q.tqh_last, &q.tqh_first);
    q.insert_tail(&it[2]);
    EXPECT_EQ(values(q), (ints{2}));

    // A static head, and a list of the element's own type inside one.
    static itemq sq = TAILQ_HEAD_INITIALIZER(sq);
    it[0].kids.init();
    it[0].kids.insert_tail(&it[1]);
    sq.insert_tail(&it[0]);
    sq.insert_tail(&it[3]);
    EXPECT_EQ(values(sq), (ints{0, 3}));
    EXPECT_EQ(values(it[0].kids), (ints{1}));
}

}  // namespace
