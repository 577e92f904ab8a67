#include "kestro/crc64.hpp"

#include <array>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#define KESTRO_CRC64_CLMUL 1
#endif

namespace kestro::crc64 {
namespace {

constexpr std::uint64_t kPoly = 0xC96C5795D7870F42ULL;  // reflected

// Slicing by 8: table k maps a byte to its effect k bytes further on.
using Tables = std::array<std::array<std::uint64_t, 256>, 8>;

constexpr Tables make_tables() {
  Tables t{};
  for (unsigned b = 0; b < 256; ++b) {
    std::uint64_t c = b;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ kPoly : c >> 1;
    t[0][b] = c;
  }
  for (unsigned b = 0; b < 256; ++b)
    for (int k = 1; k < 8; ++k) t[k][b] = (t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xff];
  return t;
}

constexpr Tables kTables = make_tables();

inline std::uint64_t load_le64(const unsigned char* p) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  v = __builtin_bswap64(v);
#endif
  return v;
}

// GF(2) 64x64 matrix times vector, and squaring, for combine().
std::uint64_t times(const std::uint64_t* mat, std::uint64_t vec) noexcept {
  std::uint64_t sum = 0;
  for (int i = 0; vec; ++i, vec >>= 1)
    if (vec & 1) sum ^= mat[i];
  return sum;
}

void square(std::uint64_t* out, const std::uint64_t* mat) noexcept {
  for (int n = 0; n < 64; ++n) out[n] = times(mat, mat[n]);
}

// The register (not the reported value) after data[0..n).
std::uint64_t by_tables(std::uint64_t c, const unsigned char* p, std::size_t n) noexcept {
  while (n && (reinterpret_cast<std::uintptr_t>(p) & 7)) {
    c = kTables[0][(c ^ *p++) & 0xff] ^ (c >> 8);
    --n;
  }
  while (n >= 16) {
    std::uint64_t a = c ^ load_le64(p);
    c = kTables[7][a & 0xff] ^ kTables[6][(a >> 8) & 0xff] ^ kTables[5][(a >> 16) & 0xff] ^
        kTables[4][(a >> 24) & 0xff] ^ kTables[3][(a >> 32) & 0xff] ^ kTables[2][(a >> 40) & 0xff] ^
        kTables[1][(a >> 48) & 0xff] ^ kTables[0][a >> 56];
    std::uint64_t b = c ^ load_le64(p + 8);
    c = kTables[7][b & 0xff] ^ kTables[6][(b >> 8) & 0xff] ^ kTables[5][(b >> 16) & 0xff] ^
        kTables[4][(b >> 24) & 0xff] ^ kTables[3][(b >> 32) & 0xff] ^ kTables[2][(b >> 40) & 0xff] ^
        kTables[1][(b >> 48) & 0xff] ^ kTables[0][b >> 56];
    p += 16;
    n -= 16;
  }
  while (n--) c = kTables[0][(c ^ *p++) & 0xff] ^ (c >> 8);
  return c;
}

#ifdef KESTRO_CRC64_CLMUL
// x^e mod P, bit-reversed so that it multiplies reflected data; e is one
// less than the distance folded over, as a carry-less product of two
// reflected values comes out one bit short.
constexpr std::uint64_t fold_constant(unsigned e) {
  std::uint64_t v = 1;  // natural order, x^0
  for (unsigned i = 0; i < e - 1; ++i) v = (v << 1) ^ ((v >> 63) ? 0x42F0E1EBA9EA3693ULL : 0);
  std::uint64_t r = 0;
  for (int i = 0; i < 64; ++i) r |= ((v >> i) & 1) << (63 - i);
  return r;
}

// Folding 128 bits forward over a distance of `bits`.
struct Fold {
  std::uint64_t lo, hi;  // for the first (low) and the second 64-bit half of a block
};
constexpr Fold fold_by(unsigned bits) { return {fold_constant(bits + 64), fold_constant(bits)}; }

__attribute__((target("pclmul,sse2"))) inline __m128i fold(__m128i x, __m128i k) noexcept {
  return _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11));
}

// Four 16-byte lanes folded 64 bytes at a time, then into one, whose 16
// bytes the tables finish: a block congruent to the message leaves the
// same register. Needs n >= 64.
__attribute__((target("pclmul,sse2"))) std::uint64_t by_clmul(std::uint64_t c, const unsigned char* p,
                                                                std::size_t n) noexcept {
  static constexpr Fold k512 = fold_by(512), k128 = fold_by(128);
  const __m128i f512 = _mm_set_epi64x(static_cast<long long>(k512.hi), static_cast<long long>(k512.lo));
  const __m128i f128 = _mm_set_epi64x(static_cast<long long>(k128.hi), static_cast<long long>(k128.lo));
  auto load = [](const unsigned char* q) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q)); };
  __m128i a0 = _mm_xor_si128(load(p), _mm_set_epi64x(0, static_cast<long long>(c)));
  __m128i a1 = load(p + 16), a2 = load(p + 32), a3 = load(p + 48);
  p += 64;
  n -= 64;
  while (n >= 64) {
    a0 = _mm_xor_si128(fold(a0, f512), load(p));
    a1 = _mm_xor_si128(fold(a1, f512), load(p + 16));
    a2 = _mm_xor_si128(fold(a2, f512), load(p + 32));
    a3 = _mm_xor_si128(fold(a3, f512), load(p + 48));
    p += 64;
    n -= 64;
  }
  __m128i x = _mm_xor_si128(fold(a0, f128), a1);
  x = _mm_xor_si128(fold(x, f128), a2);
  x = _mm_xor_si128(fold(x, f128), a3);
  while (n >= 16) {
    x = _mm_xor_si128(fold(x, f128), load(p));
    p += 16;
    n -= 16;
  }
  alignas(16) unsigned char last[16];
  _mm_store_si128(reinterpret_cast<__m128i*>(last), x);
  return by_tables(by_tables(0, last, 16), p, n);
}

bool has_clmul() noexcept {
  static const bool yes = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse2");
  return yes;
}
#endif

}  // namespace

std::uint64_t update(std::uint64_t crc, const void* data, std::size_t n) noexcept {
  const auto* p = static_cast<const unsigned char*>(data);
#ifdef KESTRO_CRC64_CLMUL
  if (n >= 128 && has_clmul()) return ~by_clmul(~crc, p, n);
#endif
  return ~by_tables(~crc, p, n);
}

std::uint64_t combine(std::uint64_t crc_a, std::uint64_t crc_b, std::uint64_t length_b) noexcept {
  if (length_b == 0) return crc_a;
  std::uint64_t even[64], odd[64];
  odd[0] = kPoly;  // one zero bit
  for (int n = 1; n < 64; ++n) odd[n] = 1ULL << (n - 1);
  square(even, odd);  // two zero bits
  square(odd, even);  // four
  do {
    square(even, odd);
    if (length_b & 1) crc_a = times(even, crc_a);
    length_b >>= 1;
    if (!length_b) break;
    square(odd, even);
    if (length_b & 1) crc_a = times(odd, crc_a);
    length_b >>= 1;
  } while (length_b);
  return crc_a ^ crc_b;
}

}  // namespace kestro::crc64
