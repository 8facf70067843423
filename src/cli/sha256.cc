// SHA-256: the portable block function after FIPS 180-4 section 6.2, and
// the same rounds through the x86 SHA extensions where the processor has
// them.  Both keep the chaining value in the standard word order, so an
// object could switch between them at any block.
#include "cli/sha256.h"

#include <cstring>

#if (defined(__x86_64__) || defined(__i386__)) && \
    (defined(__GNUC__) || defined(__clang__))
#define KORBR_SHA256_X86 1
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace kor {
namespace cli {
namespace {

constexpr uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1,
    0x923f82a4, 0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3,
    0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786,
    0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147,
    0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13,
    0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
    0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a,
    0x5b9cca4f, 0x682e6ff3, 0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208,
    0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr uint32_t kInitialState[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372,
                                       0xa54ff53a, 0x510e527f, 0x9b05688c,
                                       0x1f83d9ab, 0x5be0cd19};

inline uint32_t Rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

inline uint32_t LoadBigEndian32(const uint8_t *p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) |
         (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

void CompressPortable(uint32_t state[8], const uint8_t *data, size_t count) {
  for (; count > 0; --count, data += 64) {
    uint32_t w[64];
    for (int t = 0; t < 16; ++t) w[t] = LoadBigEndian32(data + 4 * t);
    for (int t = 16; t < 64; ++t) {
      uint32_t s0 = Rotr(w[t - 15], 7) ^ Rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
      uint32_t s1 = Rotr(w[t - 2], 17) ^ Rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
      w[t] = w[t - 16] + s0 + w[t - 7] + s1;
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
#pragma GCC unroll 64
    for (int t = 0; t < 64; ++t) {
      uint32_t big_s1 = Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25);
      uint32_t choose = (e & f) ^ (~e & g);
      uint32_t t1 = h + big_s1 + choose + kRoundConstants[t] + w[t];
      uint32_t big_s0 = Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22);
      uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
      uint32_t t2 = big_s0 + majority;
      h = g;
      g = f;
      f = e;
      e = d + t1;
      d = c;
      c = b;
      b = a;
      a = t1 + t2;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
  }
}

#if defined(KORBR_SHA256_X86)

bool CpuHasShaExtensions() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
  const bool ssse3 = (c & (1u << 9)) != 0;
  const bool sse41 = (c & (1u << 19)) != 0;
  if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
  const bool sha = (b & (1u << 29)) != 0;
  return ssse3 && sse41 && sha;
}

// The instructions work on the state split as (A,B,E,F) and (C,D,G,H);
// each sha256rnds2 does two rounds, and sha256msg1/msg2 extend the message
// schedule four words at a time.
__attribute__((target("sha,sse4.1,ssse3"))) void CompressShaInstructions(
    uint32_t state[8], const uint8_t *data, size_t count) {
  const __m128i byte_swap =
      _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  __m128i tmp = _mm_loadu_si128(reinterpret_cast<const __m128i *>(&state[0]));
  __m128i state1 =
      _mm_loadu_si128(reinterpret_cast<const __m128i *>(&state[4]));
  tmp = _mm_shuffle_epi32(tmp, 0xB1);                // C D A B
  state1 = _mm_shuffle_epi32(state1, 0x1B);          // E F G H
  __m128i state0 = _mm_alignr_epi8(tmp, state1, 8);  // A B E F
  state1 = _mm_blend_epi16(state1, tmp, 0xF0);       // C D G H

  for (; count > 0; --count, data += 64) {
    const __m128i abef_before = state0;
    const __m128i cdgh_before = state1;
    __m128i schedule[4];  // the last sixteen message words, four per entry
#pragma GCC unroll 16
    for (int group = 0; group < 16; ++group) {
      __m128i words;
      if (group < 4) {
        words = _mm_shuffle_epi8(
            _mm_loadu_si128(
                reinterpret_cast<const __m128i *>(data + 16 * group)),
            byte_swap);
      } else {
        const __m128i w16 = schedule[group % 4];        // W[t-16..t-13]
        const __m128i w12 = schedule[(group + 1) % 4];  // W[t-12..t-9]
        const __m128i w8 = schedule[(group + 2) % 4];   // W[t-8..t-5]
        const __m128i w4 = schedule[(group + 3) % 4];   // W[t-4..t-1]
        __m128i partial = _mm_sha256msg1_epu32(w16, w12);
        partial = _mm_add_epi32(partial, _mm_alignr_epi8(w4, w8, 4));
        words = _mm_sha256msg2_epu32(partial, w4);
      }
      schedule[group % 4] = words;
      __m128i with_constants = _mm_add_epi32(
          words, _mm_loadu_si128(reinterpret_cast<const __m128i *>(
                     &kRoundConstants[4 * group])));
      state1 = _mm_sha256rnds2_epu32(state1, state0, with_constants);
      with_constants = _mm_shuffle_epi32(with_constants, 0x0E);
      state0 = _mm_sha256rnds2_epu32(state0, state1, with_constants);
    }
    state0 = _mm_add_epi32(state0, abef_before);
    state1 = _mm_add_epi32(state1, cdgh_before);
  }

  tmp = _mm_shuffle_epi32(state0, 0x1B);        // F E B A
  state1 = _mm_shuffle_epi32(state1, 0xB1);     // D C H G
  state0 = _mm_blend_epi16(tmp, state1, 0xF0);  // D C B A
  state1 = _mm_alignr_epi8(state1, tmp, 8);     // H G F E
  _mm_storeu_si128(reinterpret_cast<__m128i *>(&state[0]), state0);
  _mm_storeu_si128(reinterpret_cast<__m128i *>(&state[4]), state1);
}

#endif  // KORBR_SHA256_X86

bool FastestIsAccelerated() {
#if defined(KORBR_SHA256_X86)
  static const bool has = CpuHasShaExtensions();
  return has;
#else
  return false;
#endif
}

}  // namespace

Sha256::Sha256(Sha256Engine engine)
    : accelerated_(engine == Sha256Engine::kFastest && FastestIsAccelerated()) {
  Reset();
}

void Sha256::Reset() {
  std::memcpy(state_, kInitialState, sizeof state_);
  total_bytes_ = 0;
  pending_bytes_ = 0;
}

void Sha256::Compress(const uint8_t *blocks, size_t count) {
#if defined(KORBR_SHA256_X86)
  if (accelerated_) {
    CompressShaInstructions(state_, blocks, count);
    return;
  }
#endif
  CompressPortable(state_, blocks, count);
}

void Sha256::Update(const void *data, size_t length) {
  const uint8_t *bytes = static_cast<const uint8_t *>(data);
  total_bytes_ += length;
  if (pending_bytes_ > 0) {
    size_t take = 64 - pending_bytes_;
    if (take > length) take = length;
    std::memcpy(pending_ + pending_bytes_, bytes, take);
    pending_bytes_ += take;
    bytes += take;
    length -= take;
    if (pending_bytes_ < 64) return;
    Compress(pending_, 1);
    pending_bytes_ = 0;
  }
  const size_t whole = length / 64;
  if (whole > 0) {
    Compress(bytes, whole);
    bytes += whole * 64;
    length -= whole * 64;
  }
  if (length > 0) {
    std::memcpy(pending_, bytes, length);
    pending_bytes_ = length;
  }
}

Sha256Digest Sha256::Finish() {
  const uint64_t bit_length = total_bytes_ * 8;
  uint8_t tail[128] = {0x80};
  // The padding ends the message on a block boundary with 8 length bytes.
  const size_t pad =
      (pending_bytes_ < 56 ? 56 - pending_bytes_ : 120 - pending_bytes_);
  for (int i = 0; i < 8; ++i) {
    tail[pad + static_cast<size_t>(i)] =
        static_cast<uint8_t>(bit_length >> (56 - 8 * i));
  }
  Update(tail, pad + 8);
  Sha256Digest digest;
  for (int i = 0; i < 8; ++i) {
    digest[4 * i] = static_cast<uint8_t>(state_[i] >> 24);
    digest[4 * i + 1] = static_cast<uint8_t>(state_[i] >> 16);
    digest[4 * i + 2] = static_cast<uint8_t>(state_[i] >> 8);
    digest[4 * i + 3] = static_cast<uint8_t>(state_[i]);
  }
  Reset();
  return digest;
}

Sha256Digest Sha256Of(const void *data, size_t length) {
  Sha256 sha;
  sha.Update(data, length);
  return sha.Finish();
}

std::string DigestHex(const Sha256Digest &digest) {
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(64);
  for (uint8_t byte : digest) {
    text.push_back(kHex[byte >> 4]);
    text.push_back(kHex[byte & 15]);
  }
  return text;
}

}  // namespace cli
}  // namespace kor
