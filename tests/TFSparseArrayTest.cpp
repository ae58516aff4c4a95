#include "toolkit/TFSparseArray.h"
#include "toolkit/TFObject.h"

#include <gtest/gtest.h>

namespace {
struct Counted : TFObject {
    int value = 0;
};
} // namespace

TEST(TFSparseArray, UnsetIndexesReadEmptyAndObjectsAreHeld) {
    TFSparseArray<Ref<Counted>> array;
    EXPECT_FALSE(array.objectAtIndex(0));
    EXPECT_FALSE(array.objectAtIndex(1000));
    Ref<Counted> item = makeRef<Counted>();
    item->value = 7;
    array.setObjectAtIndex(item, 5);
    EXPECT_EQ(item->retainCount(), 2u);
    EXPECT_FALSE(array.objectAtIndex(4));
    EXPECT_EQ(array.objectAtIndex(5)->value, 7);
    EXPECT_FALSE(array.objectAtIndex(6));
    array.setObjectAtIndex(nullptr, 5);
    EXPECT_EQ(item->retainCount(), 1u);
    array.setObjectAtIndex(item, 2);
    array.removeAllObjects();
    EXPECT_FALSE(array.objectAtIndex(2));
    EXPECT_EQ(item->retainCount(), 1u);
}
