// Tests of the handle registry and the callback slots.
//
// Strategy: the registry is process-wide and other tests in the same binary
// may leave handles in it, so each test works relative to what it finds:
// it links its own handles, checks which are live and the counts, and
// unlinks them again.  Handles are bare records: the registry never looks
// inside them beyond the link.
#include "core/process_state.h"
#include "diag/host_callbacks.h"

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

void KOR_CALL FormatA(int32_t, char *, int32_t, KorMessageArg *) {}
void KOR_CALL InfoA(int32_t, KorMessageArg *, int32_t, void *) {}
int32_t KOR_CALL CancelledA() { return 0; }

TEST(CallbackSlotsTest, EachSlotHoldsItsOwnCallback) {
  SetFormatStringCallback(&FormatA);
  SetInfoCallback(nullptr);
  SetCancelledCallback(&CancelledA);
  EXPECT_EQ(&FormatA, FormatStringCallback());
  EXPECT_EQ(nullptr, InfoCallback());
  EXPECT_EQ(&CancelledA, CancelledCallback());
  SetInfoCallback(&InfoA);
  SetFormatStringCallback(nullptr);
  EXPECT_EQ(nullptr, FormatStringCallback());
  EXPECT_EQ(&InfoA, InfoCallback());
  SetInfoCallback(nullptr);
  SetCancelledCallback(nullptr);
  EXPECT_EQ(nullptr, CancelledCallback());
}

}  // namespace
}  // namespace kor
