#include "apk/sha256.hpp"

#include <atomic>
#include <cstring>

#include "apk/sha256_impl.hpp"

// The SHA instructions are reached through GCC/Clang target attributes; every other
// compiler or processor builds the portable code alone.
#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define APK_SHA256_X86 1
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace apk {

namespace {

alignas(16) const std::uint32_t K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

const std::uint32_t kInitial[8] = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
};

// Compresses `blocks` consecutive 64-byte blocks into the state.
using Compress = void (*)(std::uint32_t* state, const unsigned char* data, std::uint64_t blocks);

std::atomic<bool> g_force_portable{false};

inline std::uint32_t rotr(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

inline std::uint32_t load_be32(const unsigned char* p) {
  return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) |
         std::uint32_t(p[3]);
}

void compress_portable(std::uint32_t* state, const unsigned char* data, std::uint64_t blocks) {
  for (; blocks > 0; --blocks, data += 64) {
    std::uint32_t w[64];
    for (int i = 0; i < 16; ++i) w[i] = load_be32(data + 4 * i);
    for (int i = 16; i < 64; ++i) {
      std::uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
      std::uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int i = 0; i < 64; ++i) {
      std::uint32_t t1 =
          h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + K[i] + w[i];
      std::uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
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

#ifdef APK_SHA256_X86

#define APK_SHA_TARGET __attribute__((target("sha,sse4.1")))

// Four rounds: message words plus constants, two at a time through sha256rnds2.
APK_SHA_TARGET inline void rounds4(__m128i& abef, __m128i& cdgh, __m128i words, int k) {
  __m128i msg = _mm_add_epi32(words, _mm_load_si128(reinterpret_cast<const __m128i*>(K + k)));
  cdgh = _mm_sha256rnds2_epu32(cdgh, abef, msg);
  abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(msg, 0x0E));
}

// The next four schedule words from `w` (already through sha256msg1) and the two before.
APK_SHA_TARGET inline __m128i schedule(__m128i w, __m128i before, __m128i last) {
  return _mm_sha256msg2_epu32(_mm_add_epi32(w, _mm_alignr_epi8(last, before, 4)), last);
}

APK_SHA_TARGET void compress_sha_ni(std::uint32_t* state, const unsigned char* data,
                                    std::uint64_t blocks) {
  const __m128i swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  // The instructions want the state as ABEF and CDGH.
  __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
  __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
  __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
  __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
  __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
  __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);

  for (; blocks > 0; --blocks, data += 64) {
    const __m128i abef_start = abef;
    const __m128i cdgh_start = cdgh;
    const __m128i* in = reinterpret_cast<const __m128i*>(data);
    __m128i w0 = _mm_shuffle_epi8(_mm_loadu_si128(in + 0), swap);
    __m128i w1 = _mm_shuffle_epi8(_mm_loadu_si128(in + 1), swap);
    __m128i w2 = _mm_shuffle_epi8(_mm_loadu_si128(in + 2), swap);
    __m128i w3 = _mm_shuffle_epi8(_mm_loadu_si128(in + 3), swap);

    rounds4(abef, cdgh, w0, 0);
    rounds4(abef, cdgh, w1, 4);
    w0 = _mm_sha256msg1_epu32(w0, w1);
    rounds4(abef, cdgh, w2, 8);
    w1 = _mm_sha256msg1_epu32(w1, w2);
    rounds4(abef, cdgh, w3, 12);
    w0 = schedule(w0, w2, w3);
    w2 = _mm_sha256msg1_epu32(w2, w3);
    // Each word group is scheduled before its predecessor goes through msg1; the last
    // pass computes a few words that are never used.
    for (int k = 16; k < 64; k += 16) {
      rounds4(abef, cdgh, w0, k);
      w1 = schedule(w1, w3, w0);
      w3 = _mm_sha256msg1_epu32(w3, w0);
      rounds4(abef, cdgh, w1, k + 4);
      w2 = schedule(w2, w0, w1);
      w0 = _mm_sha256msg1_epu32(w0, w1);
      rounds4(abef, cdgh, w2, k + 8);
      w3 = schedule(w3, w1, w2);
      w1 = _mm_sha256msg1_epu32(w1, w2);
      rounds4(abef, cdgh, w3, k + 12);
      w0 = schedule(w0, w2, w3);
      w2 = _mm_sha256msg1_epu32(w2, w3);
    }
    abef = _mm_add_epi32(abef, abef_start);
    cdgh = _mm_add_epi32(cdgh, cdgh_start);
  }

  __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
  __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xF0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}

bool processor_has_sha() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
  const bool ssse3 = c & (1u << 9);
  const bool sse41 = c & (1u << 19);
  if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
  return ssse3 && sse41 && (b & (1u << 29));
}

#else

bool processor_has_sha() { return false; }

#endif

bool hardware_present() {
  static const bool present = processor_has_sha();
  return present;
}

Compress compressor() {
#ifdef APK_SHA256_X86
  if (hardware_present() && !g_force_portable.load(std::memory_order_relaxed))
    return compress_sha_ni;
#endif
  return compress_portable;
}

}  // namespace

namespace detail {

bool sha256_uses_hardware() { return compressor() != compress_portable; }

void sha256_force_portable(bool on) { g_force_portable.store(on, std::memory_order_relaxed); }

}  // namespace detail

Sha256::Sha256() { std::memcpy(state, kInitial, sizeof state); }

void Sha256::update(const unsigned char* data, std::uint64_t size) {
  total += size;
  if (size == 0) return;
  const Compress compress = compressor();
  if (buffered > 0) {
    std::uint64_t take = 64 - buffered < size ? 64 - buffered : size;
    std::memcpy(buffer + buffered, data, take);
    buffered += take;
    data += take;
    size -= take;
    if (buffered < 64) return;
    compress(state, buffer, 1);
    buffered = 0;
  }
  // Whole blocks are compressed straight from the caller's bytes.
  std::uint64_t blocks = size / 64;
  if (blocks > 0) {
    compress(state, data, blocks);
    data += blocks * 64;
    size -= blocks * 64;
  }
  if (size > 0) {
    std::memcpy(buffer, data, size);
    buffered = size;
  }
}

void Sha256::block(const unsigned char* data) { compressor()(state, data, 1); }

std::array<unsigned char, 32> Sha256::finish() {
  static const unsigned char padding[64] = {0x80};
  const std::uint64_t bits = total * 8;
  update(padding, buffered < 56 ? 56 - buffered : 120 - buffered);
  unsigned char length[8];
  for (int i = 0; i < 8; ++i) length[i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
  update(length, 8);

  std::array<unsigned char, 32> digest;
  for (int i = 0; i < 8; ++i) {
    digest[4 * i] = static_cast<unsigned char>(state[i] >> 24);
    digest[4 * i + 1] = static_cast<unsigned char>(state[i] >> 16);
    digest[4 * i + 2] = static_cast<unsigned char>(state[i] >> 8);
    digest[4 * i + 3] = static_cast<unsigned char>(state[i]);
  }
  return digest;
}

std::string Sha256::hex() {
  static const char digits[] = "0123456789abcdef";
  std::array<unsigned char, 32> digest = finish();
  std::string text(64, '0');
  for (int i = 0; i < 32; ++i) {
    text[2 * i] = digits[digest[i] >> 4];
    text[2 * i + 1] = digits[digest[i] & 15];
  }
  return text;
}

std::string sha256_hex(const unsigned char* data, std::uint64_t size) {
  Sha256 hash;
  hash.update(data, size);
  return hash.hex();
}

}  // namespace apk
