// Tests of the handle registry.
//
// Strategy: the registry is process-wide and other tests in the same binary
// may leave handles in it, so each test works relative to what it finds:
// it links its own handles, checks which are live and the counts, and
// unlinks them again.  Handles are bare records: the registry never looks
// inside them beyond the link.
#include "core/process_state.h"

#include <gtest/gtest.h>

namespace kor {
namespace {

TEST(HandleRegistryTest, UnlinksAnywhereAndKeepsTheRest) {
  StripeHandle a, b, c;
  const int before = LiveHandleCount();
  LinkHandle(&a);
  LinkHandle(&b);
  LinkHandle(&c);
  EXPECT_EQ(before + 3, LiveHandleCount());

  // The middle one: both neighbours stay linked.
  UnlinkHandle(&b);
  EXPECT_FALSE(IsLiveHandle(&b));
  EXPECT_TRUE(IsLiveHandle(&a));
  EXPECT_TRUE(IsLiveHandle(&c));
  // The newest, then one linked again after it.
  UnlinkHandle(&c);
  LinkHandle(&b);
  EXPECT_TRUE(IsLiveHandle(&b));
  EXPECT_FALSE(IsLiveHandle(&c));
  // The oldest.
  UnlinkHandle(&a);
  EXPECT_TRUE(IsLiveHandle(&b));
  EXPECT_EQ(before + 1, LiveHandleCount());
  UnlinkHandle(&b);
  EXPECT_EQ(before, LiveHandleCount());
  EXPECT_FALSE(IsLiveHandle(&a));
}

TEST(HandleRegistryTest, ForeignAndRepeatedHandlesDoNoHarm) {
  StripeHandle a, stranger;
  const int before = LiveHandleCount();
  LinkHandle(&a);
  LinkHandle(&a);  // a second link must not close the list into a ring
  EXPECT_EQ(before + 1, LiveHandleCount());
  EXPECT_TRUE(IsLiveHandle(&a));
  EXPECT_FALSE(IsLiveHandle(&stranger));
  EXPECT_FALSE(IsLiveHandle(nullptr));
  // A made-up pointer is compared, never followed.
  EXPECT_FALSE(IsLiveHandle(reinterpret_cast<const void *>(0x10)));
  UnlinkHandle(&stranger);
  UnlinkHandle(nullptr);
  EXPECT_EQ(before + 1, LiveHandleCount());
  UnlinkHandle(&a);
  UnlinkHandle(&a);
  EXPECT_EQ(before, LiveHandleCount());
}

}  // namespace
}  // namespace kor
