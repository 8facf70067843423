// Tests of a fresh stripe handle.
//
// Strategy: the handle is built over memory filled with a garbage pattern,
// the way kor_open obtains it without clearing, so a field InitHandle
// forgets shows up as garbage.  The environment (KORDBG, KORIOPROF) is
// scripted through the fake OS layer.
#include "core/stripe_handle.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "os/fake_os.h"

namespace kor {
namespace {

// A handle constructed over memory filled with `pattern` and initialised;
// destroyed with it.
class DirtyHandle {
 public:
  explicit DirtyHandle(unsigned char pattern = 0xA5) {
    std::memset(storage_, pattern, sizeof storage_);
    handle_ = new (storage_) StripeHandle;  // default-initialised: no clearing
    InitHandle(handle_);
  }
  ~DirtyHandle() { handle_->~StripeHandle(); }
  StripeHandle *operator->() { return handle_; }
  StripeHandle *get() { return handle_; }
  const unsigned char *bytes() const { return storage_; }

 private:
  alignas(StripeHandle) unsigned char storage_[sizeof(StripeHandle)];
  StripeHandle *handle_;
};

// Where one field of the record lies.
struct Field {
  const char *name;
  size_t offset;
  size_t size;
  size_t align;
};

#define KORBR_FIELD(h, f)                                                 \
  Field {                                                                 \
    #f,                                                                   \
        static_cast<size_t>(reinterpret_cast<const char *>(&(h).f) -      \
                            reinterpret_cast<const char *>(&(h))),        \
        sizeof((h).f), alignof(decltype((h).f))                           \
  }

// Every field of StripeHandle, base record included.  The test below
// checks that they cover the record but for alignment padding, so a field
// added to the record and not here fails it (unless it is small enough to
// sit in the padding before the next field: keep the list whole).
std::vector<Field> HandleFields(const StripeHandle &h) {
  return {
      KORBR_FIELD(h, stripe), KORBR_FIELD(h, trace_mask),
      KORBR_FIELD(h, message_buffer), KORBR_FIELD(h, last_error),
      KORBR_FIELD(h, next), KORBR_FIELD(h, device_handle),
      KORBR_FIELD(h, devname), KORBR_FIELD(h, open_state),
      KORBR_FIELD(h, open_mode), KORBR_FIELD(h, capacity),
      KORBR_FIELD(h, spaceleft), KORBR_FIELD(h, stacker),
      KORBR_FIELD(h, nvols), KORBR_FIELD(h, io_status),
      KORBR_FIELD(h, volume_number), KORBR_FIELD(h, read_switch_failed),
      KORBR_FIELD(h, label_stripe), KORBR_FIELD(h, last_os_error),
      KORBR_FIELD(h, dbname), KORBR_FIELD(h, dbtype),
      KORBR_FIELD(h, backup_id), KORBR_FIELD(h, prev_backup_id),
      KORBR_FIELD(h, creator), KORBR_FIELD(h, total_tapes),
      KORBR_FIELD(h, type), KORBR_FIELD(h, media_name),
      KORBR_FIELD(h, media_type), KORBR_FIELD(h, method),
      KORBR_FIELD(h, location), KORBR_FIELD(h, blocksize),
      KORBR_FIELD(h, reqfreekb), KORBR_FIELD(h, attended),
      KORBR_FIELD(h, ioprof_samples), KORBR_FIELD(h, ioprof_table),
      KORBR_FIELD(h, ioprof_used), KORBR_FIELD(h, ioprof_capped_from),
      KORBR_FIELD(h, block_buffer), KORBR_FIELD(h, readahead),
      KORBR_FIELD(h, readahead_len), KORBR_FIELD(h, volume_read),
      KORBR_FIELD(h, volume_size), KORBR_FIELD(h, staged_len),
      KORBR_FIELD(h, fresh_spaceleft), KORBR_FIELD(h, carry),
      KORBR_FIELD(h, carry_len), KORBR_FIELD(h, volume_offset),
      KORBR_FIELD(h, flush_volumes), KORBR_FIELD(h, keep_cache),
      KORBR_FIELD(h, cache_dropped),
  };
}

#undef KORBR_FIELD

size_t AlignUp(size_t offset, size_t align) {
  return (offset + align - 1) / align * align;
}

// Whatever the memory held before (a closed stripe's record, say), every
// field of a fresh handle is the same: InitHandle sets them all.
TEST(StripeHandleTest, FreshHandleKeepsNothingOfItsMemory) {
  ScopedFakeOs fake;
  fake->UnsetEnv("KORDBG");
  fake->UnsetEnv("KORIOPROF");  // a profiling table's address would differ
  DirtyHandle over_a5(0xA5);
  DirtyHandle over_5a(0x5A);
  DirtyHandle over_zero(0x00);
  std::vector<Field> fields = HandleFields(*over_a5.get());
  std::sort(fields.begin(), fields.end(),
            [](const Field &a, const Field &b) { return a.offset < b.offset; });

  // The list leaves out no field: between two neighbours there is only the
  // padding the second one's alignment needs.
  size_t end = 0;
  const char *previous = "the record's start";
  for (const Field &field : fields) {
    EXPECT_EQ(AlignUp(end, field.align), field.offset)
        << "a field of StripeHandle between " << previous << " and "
        << field.name << " is missing from HandleFields";
    end = field.offset + field.size;
    previous = field.name;
  }
  EXPECT_EQ(sizeof(StripeHandle), AlignUp(end, alignof(StripeHandle)))
      << "a field of StripeHandle after " << previous
      << " is missing from HandleFields";

  for (const Field &field : fields) {
    const unsigned char *a5 = over_a5.bytes() + field.offset;
    EXPECT_EQ(0, std::memcmp(a5, over_5a.bytes() + field.offset, field.size))
        << field.name << " keeps what the memory held";
    EXPECT_EQ(0, std::memcmp(a5, over_zero.bytes() + field.offset, field.size))
        << field.name << " keeps what the memory held";
  }
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
