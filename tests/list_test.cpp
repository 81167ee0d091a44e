// Intrusive circular lists: order after mixed inserts, both directions, and
// an unlinked node that still leads a walker on.
#include "rt/list.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Item {
    ListNode link;  // first, so a node is the item
    int value;
};

std::vector<int> Forward(ListNode* s) {
    std::vector<int> v;
    for (ListNode* n = s->next; n != s; n = n->next) v.push_back(reinterpret_cast<Item*>(n)->value);
    return v;
}

std::vector<int> Backward(ListNode* s) {
    std::vector<int> v;
    for (ListNode* n = s->prev; n != s; n = n->prev)
        v.insert(v.begin(), reinterpret_cast<Item*>(n)->value);
    return v;
}

TEST(List, InsertUnlinkAndWalk) {
    ListNode s;
    LIST_Init(&s);
    EXPECT_EQ(1, LIST_IsEmpty(&s));

    Item a{{}, 1}, b{{}, 2}, c{{}, 3}, d{{}, 4};
    LIST_InsertBefore(&a.link, &s);      // tail: 1
    LIST_InsertBefore(&b.link, &s);      // tail: 1 2
    LIST_InsertAfter(&c.link, &s);       // head: 3 1 2
    LIST_InsertAfter(&d.link, &a.link);  // 3 1 4 2
    EXPECT_EQ(0, LIST_IsEmpty(&s));
    EXPECT_EQ((std::vector<int>{3, 1, 4, 2}), Forward(&s));
    EXPECT_EQ(Forward(&s), Backward(&s));

    // A walker standing on a node it unlinks carries on to the next one.
    LIST_Unlink(&a.link);
    EXPECT_EQ(&d.link, a.link.next);
    EXPECT_EQ(&c.link, a.link.prev);
    EXPECT_EQ((std::vector<int>{3, 4, 2}), Forward(&s));
    EXPECT_EQ(Forward(&s), Backward(&s));

    LIST_Unlink(&c.link);
    LIST_Unlink(&b.link);
    EXPECT_EQ(0, LIST_IsEmpty(&s));
    LIST_Unlink(&d.link);
    EXPECT_EQ(1, LIST_IsEmpty(&s));
}

}  // namespace
