// Tests of the handle registry and the callback slots.
//
// Strategy: the registry is process-wide and other tests in the same binary
// may leave handles in it, so each test works relative to what it finds:
// it links its own handles, checks their relative order and the counts, and
// unlinks them again.  Handles are bare records: the registry never looks
// inside them beyond the link.
#include "core/process_state.h"
#include "diag/host_callbacks.h"

#include <gtest/gtest.h>

#include <vector>

namespace kor {
namespace {

// The test's own handles in registry order.
std::vector<StripeHandle *> Ours(const std::vector<StripeHandle *> &mine) {
  StripeHandle *all[64];
  const int n = LiveHandles(all, 64);
  std::vector<StripeHandle *> result;
  for (int i = 0; i < n; ++i) {
    for (StripeHandle *h : mine) {
      if (all[i] == h) result.push_back(h);
    }
  }
  return result;
}

TEST(HandleRegistryTest, KeepsOpenOrderAndUnlinksAnywhere) {
  StripeHandle a, b, c;
  const int before = LiveHandleCount();
  LinkHandle(&a);
  LinkHandle(&b);
  LinkHandle(&c);
  EXPECT_EQ(before + 3, LiveHandleCount());
  EXPECT_EQ((std::vector<StripeHandle *>{&a, &b, &c}), Ours({&a, &b, &c}));

  // Closing the newest leaves the two older ones in their order.
  UnlinkHandle(&c);
  EXPECT_EQ((std::vector<StripeHandle *>{&a, &b}), Ours({&a, &b, &c}));
  EXPECT_FALSE(IsLiveHandle(&c));

  // First, third, second.
  LinkHandle(&c);
  UnlinkHandle(&a);
  EXPECT_EQ((std::vector<StripeHandle *>{&b, &c}), Ours({&a, &b, &c}));
  UnlinkHandle(&c);
  UnlinkHandle(&b);
  EXPECT_EQ(before, LiveHandleCount());
  EXPECT_FALSE(IsLiveHandle(&a));
  EXPECT_FALSE(IsLiveHandle(&b));
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

TEST(HandleRegistryTest, LiveHandlesCopiesAtMostMax) {
  StripeHandle a, b;
  LinkHandle(&a);
  LinkHandle(&b);
  StripeHandle *out[1] = {nullptr};
  EXPECT_EQ(1, LiveHandles(out, 1));
  EXPECT_NE(nullptr, out[0]);
  UnlinkHandle(&a);
  UnlinkHandle(&b);
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
