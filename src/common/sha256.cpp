#include "common/sha256.h"

#include <cstring>

#if defined(__x86_64__) && (defined(__clang__) || defined(__GNUC__))
#include <cpuid.h>
#include <immintrin.h>
#define ZLG_SHA_X86 1
#endif

namespace zlg {

namespace {

constexpr std::uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr std::uint32_t kInitial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                      0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

using BlockFunction = void (*)(std::uint32_t state[8], const std::uint8_t *blocks, std::size_t count);

inline std::uint32_t rotate_right(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

inline std::uint32_t load_big_endian(const std::uint8_t *p) {
  return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) |
         std::uint32_t(p[3]);
}

void portable_blocks(std::uint32_t state[8], const std::uint8_t *blocks, std::size_t count) {
  for (; count > 0; --count, blocks += 64) {
    std::uint32_t w[64];
    for (int i = 0; i < 16; ++i) w[i] = load_big_endian(blocks + 4 * i);
    for (int i = 16; i < 64; ++i) {
      std::uint32_t s0 = rotate_right(w[i - 15], 7) ^ rotate_right(w[i - 15], 18) ^ (w[i - 15] >> 3);
      std::uint32_t s1 = rotate_right(w[i - 2], 17) ^ rotate_right(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int i = 0; i < 64; ++i) {
      std::uint32_t t1 = h + (rotate_right(e, 6) ^ rotate_right(e, 11) ^ rotate_right(e, 25)) +
                         ((e & f) ^ (~e & g)) + kRound[i] + w[i];
      std::uint32_t t2 = (rotate_right(a, 2) ^ rotate_right(a, 13) ^ rotate_right(a, 22)) +
                         ((a & b) ^ (a & c) ^ (b & c));
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

#ifdef ZLG_SHA_X86
// The SHA extensions work on the state as two registers, (A, B, E, F) and
// (C, D, G, H), and on four message words at a time.
__attribute__((target("sha,sse4.1"))) void instruction_blocks(std::uint32_t state[8],
                                                               const std::uint8_t *blocks,
                                                               std::size_t count) {
  const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  __m128i tmp = _mm_loadu_si128(reinterpret_cast<const __m128i *>(&state[0]));  // D C B A
  __m128i state1 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(&state[4]));  // H G F E
  tmp = _mm_shuffle_epi32(tmp, 0xB1);          // C D A B
  state1 = _mm_shuffle_epi32(state1, 0x1B);    // E F G H
  __m128i state0 = _mm_alignr_epi8(tmp, state1, 8);  // A B E F
  state1 = _mm_blend_epi16(state1, tmp, 0xF0);       // C D G H

  for (; count > 0; --count, blocks += 64) {
    const __m128i saved0 = state0, saved1 = state1;
    __m128i message[4];
    for (int i = 0; i < 4; ++i) {
      message[i] = _mm_shuffle_epi8(
          _mm_loadu_si128(reinterpret_cast<const __m128i *>(blocks + 16 * i)), byte_swap);
    }
    // Group g runs rounds 4g..4g+3 on the message words W[4g..4g+3] (message[g % 4]); on the way
    // it finishes the words of group g + 1 and starts those of group g + 3 in the slot of g - 1.
    for (int group = 0; group < 16; ++group) {
      const __m128i &current = message[group & 3];
      __m128i words = _mm_add_epi32(
          current, _mm_loadu_si128(reinterpret_cast<const __m128i *>(&kRound[4 * group])));
      state1 = _mm_sha256rnds2_epu32(state1, state0, words);
      if (group >= 3 && group <= 14) {
        __m128i &next = message[(group + 1) & 3];
        next = _mm_add_epi32(next, _mm_alignr_epi8(current, message[(group + 3) & 3], 4));
        next = _mm_sha256msg2_epu32(next, current);
      }
      words = _mm_shuffle_epi32(words, 0x0E);
      state0 = _mm_sha256rnds2_epu32(state0, state1, words);
      if (group >= 1 && group <= 12) {
        __m128i &before = message[(group + 3) & 3];
        before = _mm_sha256msg1_epu32(before, current);
      }
    }
    state0 = _mm_add_epi32(state0, saved0);
    state1 = _mm_add_epi32(state1, saved1);
  }

  tmp = _mm_shuffle_epi32(state0, 0x1B);           // F E B A
  state1 = _mm_shuffle_epi32(state1, 0xB1);        // D C H G
  state0 = _mm_blend_epi16(tmp, state1, 0xF0);     // D C B A
  state1 = _mm_alignr_epi8(state1, tmp, 8);        // H G F E
  _mm_storeu_si128(reinterpret_cast<__m128i *>(&state[0]), state0);
  _mm_storeu_si128(reinterpret_cast<__m128i *>(&state[4]), state1);
}
#endif

BlockFunction chosen_blocks() {
#ifdef ZLG_SHA_X86
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  bool sse41 = __get_cpuid(1, &eax, &ebx, &ecx, &edx) && (ecx & bit_SSE4_1);
  bool sha = __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) && (ebx & bit_SHA);
  if (sse41 && sha) return instruction_blocks;
#endif
  return portable_blocks;
}

const BlockFunction compress = chosen_blocks();

}  // namespace

bool sha256_uses_cpu_instructions() { return compress != portable_blocks; }

namespace {

Sha256Digest digest_with(BlockFunction compress_blocks, std::string_view bytes) {
  std::uint32_t state[8];
  std::memcpy(state, kInitial, sizeof state);
  const auto *data = reinterpret_cast<const std::uint8_t *>(bytes.data());
  std::size_t whole = bytes.size() / 64;
  if (whole > 0) compress_blocks(state, data, whole);

  // The last block(s): the rest, a 1 bit, zeros, the length in bits.
  std::uint8_t tail[128] = {};
  std::size_t rest = bytes.size() - whole * 64;
  if (rest > 0) std::memcpy(tail, data + whole * 64, rest);
  tail[rest] = 0x80;
  std::size_t tail_size = rest + 9 <= 64 ? 64 : 128;
  std::uint64_t bits = static_cast<std::uint64_t>(bytes.size()) * 8;
  for (int i = 0; i < 8; ++i) tail[tail_size - 1 - i] = static_cast<std::uint8_t>(bits >> (8 * i));
  compress_blocks(state, tail, tail_size / 64);

  Sha256Digest digest;
  for (int i = 0; i < 8; ++i) {
    digest[4 * i] = static_cast<std::uint8_t>(state[i] >> 24);
    digest[4 * i + 1] = static_cast<std::uint8_t>(state[i] >> 16);
    digest[4 * i + 2] = static_cast<std::uint8_t>(state[i] >> 8);
    digest[4 * i + 3] = static_cast<std::uint8_t>(state[i]);
  }
  return digest;
}

}  // namespace

Sha256Digest sha256(std::string_view bytes) { return digest_with(compress, bytes); }

Sha256Digest sha256_portable(std::string_view bytes) { return digest_with(portable_blocks, bytes); }

}  // namespace zlg
