// Tests of a fresh stripe handle's defaults.
//
// Strategy: the handle is built over memory filled with a garbage pattern,
// the way kor_open obtains it without clearing, so a field InitHandle
// forgets shows up as garbage.  The environment (KORDBG, KORIOPROF) is
// scripted through the fake OS layer.
#include "core/stripe_handle.h"

#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <string>

#include "os/fake_os.h"

namespace kor {
namespace {

// A handle constructed over garbage and initialised; destroyed with it.
class DirtyHandle {
 public:
  DirtyHandle() {
    std::memset(storage_, 0xA5, sizeof storage_);
    handle_ = new (storage_) StripeHandle;  // default-initialised: no clearing
    InitHandle(handle_);
  }
  ~DirtyHandle() { handle_->~StripeHandle(); }
  StripeHandle *operator->() { return handle_; }
  StripeHandle *get() { return handle_; }

 private:
  alignas(StripeHandle) unsigned char storage_[sizeof(StripeHandle)];
  StripeHandle *handle_;
};

template <size_t N>
bool ZeroAfterText(const char (&field)[N]) {
  for (size_t i = strnlen(field, N); i < N; ++i) {
    if (field[i] != '\0') return false;
  }
  return true;
}

TEST(StripeHandleTest, FreshHandleHasItsDefaults) {
  ScopedFakeOs fake;
  fake->UnsetEnv("KORDBG");
  fake->UnsetEnv("KORIOPROF");
  DirtyHandle h;
  EXPECT_EQ(nullptr, h->next);
  EXPECT_EQ(kInvalidOsHandle, h->device_handle);
  EXPECT_STREQ("", h->devname);
  EXPECT_EQ(-1, h->stripe);
  EXPECT_EQ(2, h->open_state);
  EXPECT_EQ(0u, h->capacity);
  EXPECT_EQ(0, h->stacker);
  EXPECT_EQ(0, h->nvols);
  EXPECT_EQ(IO_OK, h->io_status);
  EXPECT_EQ(1, h->volume_number);
  EXPECT_EQ(-1, h->label_stripe);
  EXPECT_EQ(nullptr, h->message_buffer);
  EXPECT_EQ(0, h->last_error);
  EXPECT_EQ(0u, h->last_os_error);
  EXPECT_EQ(std::string(30, '\0'), std::string(h->dbname, 30));
  EXPECT_STREQ("", h->dbtype);
  EXPECT_EQ(0, h->backup_id);
  EXPECT_EQ(0, h->prev_backup_id);
  EXPECT_STREQ("Unknown", h->creator);
  EXPECT_EQ(0, h->total_tapes);
  EXPECT_STREQ("Full", h->type);
  EXPECT_STREQ("Tape", h->media_name);
  EXPECT_EQ(MEDIA_TAPE, h->media_type);
  EXPECT_STREQ("Arch", h->method);
  EXPECT_STREQ("", h->location);
  EXPECT_EQ(65536, h->blocksize);
  EXPECT_EQ(8u, h->reqfreekb);
  EXPECT_EQ(1, h->attended);
  EXPECT_EQ(252, h->trace_mask);
  EXPECT_EQ(0, h->ioprof_samples);
  EXPECT_EQ(nullptr, h->ioprof_table);
  EXPECT_EQ(0, h->ioprof_used);
  EXPECT_EQ(nullptr, h->block_buffer);
  EXPECT_EQ(0, h->readahead_len);
  EXPECT_EQ(0u, h->fresh_spaceleft);
  // Text fields carry no garbage behind their text.
  EXPECT_TRUE(ZeroAfterText(h->devname));
  EXPECT_TRUE(ZeroAfterText(h->dbtype));
  EXPECT_TRUE(ZeroAfterText(h->creator));
  EXPECT_TRUE(ZeroAfterText(h->type));
  EXPECT_TRUE(ZeroAfterText(h->media_name));
  EXPECT_TRUE(ZeroAfterText(h->method));
  EXPECT_TRUE(ZeroAfterText(h->location));
}

TEST(StripeHandleTest, TraceMaskComesFromKordbg) {
  ScopedFakeOs fake;
  fake->UnsetEnv("KORIOPROF");
  struct Case {
    const char *value;
    int32_t mask;
  };
  const Case cases[] = {{"0", 0},     {"64", 64},     {"", 0},
                        {"0x40", 0},  {"-1", -1},     {" 255", 255}};
  for (const Case &c : cases) {
    fake->SetEnv("KORDBG", c.value);
    DirtyHandle h;
    EXPECT_EQ(c.mask, h->trace_mask) << "KORDBG=\"" << c.value << "\"";
  }
}

TEST(StripeHandleTest, EachHandleKeepsTheMaskOfItsCreation) {
  ScopedFakeOs fake;
  fake->SetEnv("KORDBG", "64");
  DirtyHandle first;
  fake->UnsetEnv("KORDBG");
  DirtyHandle second;
  EXPECT_EQ(64, first->trace_mask);
  EXPECT_EQ(kDefaultTraceMask, second->trace_mask);
}

TEST(StripeHandleTest, KorioprofGivesZeroedProfilingRecords) {
  ScopedFakeOs fake;
  fake->SetEnv("KORIOPROF", "5");
  DirtyHandle h;
  EXPECT_EQ(5, h->ioprof_samples);
  ASSERT_NE(nullptr, h->ioprof_table);
  EXPECT_EQ(0, h->ioprof_used);
  for (int i = 0; i < 5; ++i) {
    const iorates &r = h->ioprof_table[i];
    EXPECT_EQ(0u, r.nbytes);
    EXPECT_EQ(0u, r.elapsed.tick_ms);
    EXPECT_EQ(0u, r.elapsed.creation_time);
    EXPECT_EQ(0u, r.elapsed.exit_time);
    EXPECT_EQ(0u, r.elapsed.kernel_time);
    EXPECT_EQ(0u, r.elapsed.user_time);
  }
}

TEST(StripeHandleTest, ProfilingIsOffUnlessKorioprofIsPositive) {
  ScopedFakeOs fake;
  const char *const values[] = {"0", "-3", "", "off"};
  for (const char *value : values) {
    fake->SetEnv("KORIOPROF", value);
    DirtyHandle h;
    EXPECT_EQ(0, h->ioprof_samples) << value;
    EXPECT_EQ(nullptr, h->ioprof_table) << value;
  }
  fake->UnsetEnv("KORIOPROF");
  DirtyHandle h;
  EXPECT_EQ(0, h->ioprof_samples);
  EXPECT_EQ(nullptr, h->ioprof_table);
}

}  // namespace
}  // namespace kor
