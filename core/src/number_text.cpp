#include "kestro/number_text.hpp"

#include <charconv>
#include <clocale>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace kestro::text {

namespace {

// Python's repr layout of the shortest digits d1 d2 ... dn (d1 nonzero)
// of a finite nonzero value d1.d2...dn x 10^exp: positional for exponents
// -4..15, otherwise scientific with a signed, at least two-digit exponent.
// Copies n <= 32 bytes without a library call: two overlapping moves of
// the widest size that fits, so short pieces cost a few instructions.
inline char* put_short(char* w, const char* s, std::size_t n) noexcept {
  auto move = [&](auto unit) {
    decltype(unit) a, b;
    std::memcpy(&a, s, sizeof a);
    std::memcpy(&b, s + n - sizeof b, sizeof b);
    std::memcpy(w, &a, sizeof a);
    std::memcpy(w + n - sizeof b, &b, sizeof b);
  };
  struct Sixteen {
    char b[16];
  };
  if (n >= 16)
    move(Sixteen{});
  else if (n >= 8)
    move(std::uint64_t{});
  else if (n >= 4)
    move(std::uint32_t{});
  else
    for (std::size_t k = 0; k < n; ++k) w[k] = s[k];
  return w + n;
}

char* write_repr_digits(char* w, bool neg, const char* digits, std::size_t nd, int exp) noexcept {
  auto put = [&](const char* from, std::size_t n) { w = put_short(w, from, n); };
  if (neg) *w++ = '-';
  if (exp < -4 || exp >= 16) {
    *w++ = digits[0];
    if (nd > 1) {
      *w++ = '.';
      put(digits + 1, nd - 1);
    }
    *w++ = 'e';
    *w++ = exp < 0 ? '-' : '+';
    int a = exp < 0 ? -exp : exp;
    if (a >= 100) {
      *w++ = static_cast<char>('0' + a / 100);
      a %= 100;
    }
    *w++ = static_cast<char>('0' + a / 10);
    *w++ = static_cast<char>('0' + a % 10);
  } else if (exp < 0) {
    *w++ = '0';
    *w++ = '.';
    for (int k = 0; k < -exp - 1; ++k) *w++ = '0';
    put(digits, nd);
  } else {
    std::size_t int_digits = static_cast<std::size_t>(exp) + 1;
    if (nd <= int_digits) {
      put(digits, nd);
      for (std::size_t k = nd; k < int_digits; ++k) *w++ = '0';
      *w++ = '.';
      *w++ = '0';
    } else {
      put(digits, int_digits);
      *w++ = '.';
      put(digits + int_digits, nd - int_digits);
    }
  }
  return w;
}

char* put_text(char* w, std::string_view s) noexcept {
  // an empty view may have no data at all, which memcpy must not see
  if (!s.empty()) std::memcpy(w, s.data(), s.size());
  return w + s.size();
}

}  // namespace

namespace {

struct Pow10 {
  std::uint64_t hi, lo;
};

constexpr int kPow10Min = -342;
constexpr Pow10 kPow10[] = {
#include "pow10_table.inc"
};

// floor(log10(2^e)), floor(log10(3/4 * 2^e)) and floor(log2(10^e)), exact
// over the exponents of doubles.
inline int floor_log10_pow2(int e) { return (e * 315653) >> 20; }
inline int floor_log10_three_quarters_pow2(int e) { return (e * 315653 - 131237) >> 20; }
inline int floor_log2_pow10(int e) { return (e * 1741647) >> 19; }

// The top 64 bits of g * cp / 2^64, with the lowest bit set when anything
// below them is not zero ("round to odd"): enough to compare exactly.
inline std::uint64_t round_to_odd(const Pow10& g, std::uint64_t cp) {
  using u128 = unsigned __int128;
  u128 x = static_cast<u128>(g.lo) * cp;
  u128 y = static_cast<u128>(g.hi) * cp;
  std::uint64_t x1 = static_cast<std::uint64_t>(x >> 64);
  std::uint64_t y0 = static_cast<std::uint64_t>(y);
  std::uint64_t y1 = static_cast<std::uint64_t>(y >> 64);
  std::uint64_t z = y0 + x1;
  y1 += z < y0;
  return y1 | (z > 1);
}

// The shortest decimal digits * 10^exp that read back as the finite,
// positive `value`; of several, the nearest (ties to an even digit). The
// interval of decimals that round to the value is compared against the
// candidates one digit apart and ten digits apart, exactly.
void shortest_decimal(double value, std::uint64_t& digits, int& exp) noexcept {
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);
  int biased = static_cast<int>(bits >> 52) & 0x7FF;
  std::uint64_t c;
  int q;
  if (biased != 0) {
    c = fraction | (std::uint64_t{1} << 52);
    q = biased - 1075;
    // small integers are exact: no interval to search
    if (q <= 0 && q >= -52 && (c & ((std::uint64_t{1} << -q) - 1)) == 0) {
      digits = c >> -q;
      exp = 0;
      return;
    }
  } else {
    c = fraction;
    q = -1074;
  }
  bool even = (c & 1) == 0;
  bool lower_closer = fraction == 0 && biased > 1;
  std::uint64_t cbl = 4 * c - 2 + lower_closer, cb = 4 * c, cbr = 4 * c + 2;
  int k = lower_closer ? floor_log10_three_quarters_pow2(q) : floor_log10_pow2(q);
  int h = q + floor_log2_pow10(-k) + 1;
  const Pow10& g = kPow10[-k - kPow10Min];
  std::uint64_t vbl = round_to_odd(g, cbl << h);
  std::uint64_t vb = round_to_odd(g, cb << h);
  std::uint64_t vbr = round_to_odd(g, cbr << h);
  std::uint64_t lower = vbl + !even, upper = vbr - !even;
  std::uint64_t s = vb / 4;
  if (s >= 10) {
    std::uint64_t sp = s / 10;
    bool up_inside = lower <= 40 * sp, wp_inside = 40 * sp + 40 <= upper;
    if (up_inside != wp_inside) {
      digits = sp + wp_inside;
      exp = k + 1;
      return;
    }
  }
  bool u_inside = lower <= 4 * s, w_inside = 4 * s + 4 <= upper;
  if (u_inside != w_inside) {
    digits = s + w_inside;
    exp = k;
    return;
  }
  std::uint64_t mid = 4 * s + 2;
  bool round_up = vb > mid || (vb == mid && (s & 1) != 0);
  digits = s + round_up;
  exp = k;
}

// The double nearest w * 10^q (w > 0), in one 64 x 128-bit product with
// the table's power. The table errs upwards by less than one unit, so the
// product errs by less than 2^64 below its 128th bit: when the bits under
// the mantissa's rounding bit are not all but the lowest 64 zero, rounding
// cannot go the other way. False, leaving it to the full parser, when
// that is not certain or the result is not a normal double.
bool parse_decimal_fast(std::uint64_t w, int q, double& out) noexcept {
  if (q < kPow10Min || q > 324) return false;
  const Pow10& g = kPow10[q - kPow10Min];
  int lz = __builtin_clzll(w);
  std::uint64_t wn = w << lz;
  using u128 = unsigned __int128;
  u128 low = static_cast<u128>(wn) * g.lo;
  u128 high = static_cast<u128>(wn) * g.hi;
  high += static_cast<std::uint64_t>(low >> 64);
  std::uint64_t hi = static_cast<std::uint64_t>(high >> 64);
  std::uint64_t mid = static_cast<std::uint64_t>(high);
  int top = static_cast<int>(hi >> 63);  // the product's top bit: 191 or 190
  int shift = 10 + top;                  // bits of hi under the mantissa
  std::uint64_t below = hi & ((std::uint64_t{1} << (shift - 1)) - 1);
  if (below == 0 && mid == 0) return false;
  std::uint64_t m = hi >> shift;
  m += (hi >> (shift - 1)) & 1;
  int e = 190 + top - lz + floor_log2_pow10(q) - 127 + 1023;
  if (m == (std::uint64_t{1} << 53)) {
    m >>= 1;
    ++e;
  }
  if (e < 1 || e > 2046) return false;
  std::uint64_t bits = static_cast<std::uint64_t>(e) << 52 | (m & ((std::uint64_t{1} << 52) - 1));
  std::memcpy(&out, &bits, sizeof out);
  return true;
}

}  // namespace

namespace {

// The shortest digits of a finite, nonzero |value|, without trailing zeros.
void shortest_stripped(double value, std::uint64_t& d, int& exp) noexcept {
  shortest_decimal(std::fabs(value), d, exp);
  while (d % 10 == 0) {
    d /= 10;
    ++exp;
  }
}

// Python's repr of +-d * 10^exp (d > 0, at most 17 digits).
char* write_decimal_repr(char* dst, bool neg, std::uint64_t d, int exp) noexcept {
  // two digits at a time, in 32-bit halves
  static constexpr char kPairs[] =
      "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
      "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
      "8081828384858687888990919293949596979899";
  char digits[24];
  char* end = digits + sizeof digits;
  char* w = end;
  auto put_pairs = [&](std::uint32_t v, int pairs) {  // `pairs` pairs, zero-padded
    for (int k = 0; k < pairs; ++k) {
      w -= 2;
      std::memcpy(w, kPairs + 2 * (v % 100), 2);
      v /= 100;
    }
  };
  if (d >= 100000000) {
    put_pairs(static_cast<std::uint32_t>(d % 100000000), 4);
    d /= 100000000;
  }
  auto top = static_cast<std::uint32_t>(d);
  while (top >= 100) {
    put_pairs(top % 100, 1);
    top /= 100;
  }
  if (top >= 10)
    put_pairs(top, 1);
  else
    *--w = static_cast<char>('0' + top);
  std::size_t nd = static_cast<std::size_t>(end - w);
  return write_repr_digits(dst, neg, w, nd, exp + static_cast<int>(nd) - 1);
}

}  // namespace

char* write_float_repr(char* dst, double value) noexcept {
  if (std::isnan(value)) return put_text(dst, "nan");
  if (std::isinf(value)) return put_text(dst, value < 0 ? "-inf" : "inf");
  if (value == 0) return put_text(dst, std::signbit(value) ? "-0.0" : "0.0");
  std::uint64_t d;
  int exp;
  shortest_stripped(value, d, exp);
  return write_decimal_repr(dst, std::signbit(value), d, exp);
}

DecimalToken split_decimal(std::string_view token) noexcept {
  DecimalToken t;
  t.token = token;
  const char* p = token.data();
  const char* end = p + token.size();
  t.neg = p < end && *p == '-';
  if (t.neg) ++p;
  const char* d = p;
  while (p < end && static_cast<unsigned>(*p - '0') < 10) ++p;
  t.int_part = std::string_view(d, static_cast<std::size_t>(p - d));
  if (p < end && *p == '.') {
    d = ++p;
    while (p < end && static_cast<unsigned>(*p - '0') < 10) ++p;
    t.frac_part = std::string_view(d, static_cast<std::size_t>(p - d));
  }
  if (p < end && (*p == 'e' || *p == 'E')) ++p;
  t.exp_part = std::string_view(p, static_cast<std::size_t>(end - p));
  return t;
}

namespace {

// The exponent after 'e' (sign, digits), held within +-10^15: beyond
// that the value is 0 or infinite whatever its digits (a token long
// enough to shift it back would not fit in memory), and sums with a
// token's length stay far from overflow.
constexpr long long kExponentCap = 1000000000000000;
long long exponent_of(std::string_view e) noexcept {
  bool neg = !e.empty() && e.front() == '-';
  if (!e.empty() && (e.front() == '-' || e.front() == '+')) e.remove_prefix(1);
  long long v = 0;
  for (char c : e) {
    v = v * 10 + (c - '0');
    if (v >= kExponentCap) {
      v = kExponentCap;
      break;
    }
  }
  return neg ? -v : v;
}

// Significant digits beyond this many decide nothing but whether the
// value lies above a halfway point (a double's exact decimal form has
// at most 767), so the rest is kept as one sticky nonzero digit.
constexpr std::size_t kMaxSignificant = 800;

// The "C" locale, so that strtod reads "." whatever the process set.
locale_t c_locale() noexcept {
  static const locale_t loc = newlocale(LC_ALL_MASK, "C", locale_t{});
  return loc;
}

// float(token), as Python reads it, for any valid token: correctly
// rounded at any length, +-inf past the largest double, +-0.0 below the
// smallest. `ip`/`fp` are the significant digits (ip without leading
// zeros; fp without trailing ones, and without leading ones when ip is
// empty); the first of them stands at 10^(point - 1).
double parse_exact(bool neg, std::string_view ip, std::string_view fp, long long point,
                   std::string_view exp_part) noexcept {
  double sign = neg ? -1.0 : 1.0;
  if (ip.empty() && fp.empty()) return sign * 0.0;
  // the value is 0.DIGITS x 10^e10
  long long e10 = point + exponent_of(exp_part);
  if (e10 > 310) return sign * HUGE_VAL;
  if (e10 < -330) return sign * 0.0;
  char buf[kMaxSignificant + 32];
  char* w = buf;
  if (neg) *w++ = '-';
  *w++ = '0';
  *w++ = '.';
  std::size_t room = kMaxSignificant;
  bool sticky = false;
  for (std::string_view part : {ip, fp}) {
    std::size_t n = std::min(room, part.size());
    w = put_text(w, part.substr(0, n));
    room -= n;
    for (char c : part.substr(n)) sticky |= c != '0';
  }
  if (sticky) *w++ = '1';
  *w++ = 'e';
  auto res = std::to_chars(w, buf + sizeof buf - 1, e10);
  *res.ptr = '\0';
  return strtod_l(buf, nullptr, c_locale());
}

// Eight ASCII digits as their number, in three multiplications.
inline std::uint32_t eight_digits(const char* s) noexcept {
  std::uint64_t v;
  std::memcpy(&v, s, 8);
  v -= 0x3030303030303030ull;
  v = v * 10 + (v >> 8);
  v = (((v & 0x000000FF000000FFull) * 0x000F424000000064ull) +
       (((v >> 16) & 0x000000FF000000FFull) * 0x0000271000000001ull)) >>
      32;
  return static_cast<std::uint32_t>(v);
}

inline __attribute__((always_inline)) std::uint64_t append_digits(std::uint64_t v, std::string_view d) noexcept {
  static constexpr std::uint64_t kScale[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000};
  std::size_t i = 0;
  for (; d.size() - i >= 8; i += 8) v = v * 100000000 + eight_digits(d.data() + i);
  std::size_t rest = d.size() - i;
  if (rest == 0) return v;
  if (d.size() >= 8) {
    // The last eight digits, those already counted read as zeros.
    std::uint64_t last;
    std::memcpy(&last, d.data() + d.size() - 8, 8);
    std::uint64_t keep = ~std::uint64_t{0} << (8 * (8 - rest));
    last = (last & keep) | (0x3030303030303030ull & ~keep);
    char digits[8];
    std::memcpy(digits, &last, 8);
    return v * kScale[rest] + eight_digits(digits);
  }
  for (; i < d.size(); ++i) v = v * 10 + static_cast<std::uint64_t>(d[i] - '0');
  return v;
}

// The integer of at most 19 digits, a then b.
std::uint64_t decimal_value(std::string_view a, std::string_view b) noexcept {
  return append_digits(append_digits(0, a), b);
}

}  // namespace

namespace {

// Whether the token, whose own significant digits (nd of them, the first
// at 10^e) are those of its repr, is also laid out as repr lays them out
// (as a server that writes repr texts writes them): then it is copied.
inline bool reads_as_repr(const DecimalToken& t, std::size_t nd, long e) noexcept {
  std::string_view ip = t.int_part, fp = t.frac_part, ex = t.exp_part;
  if (t.token.size() > kFloatReprMax) return false;
  bool scientific = e < -4 || e >= 16;
  if (ex.empty()) {
    if (scientific || fp.empty()) return false;
    if (e < 0) return ip.size() == 1 && ip[0] == '0' && fp.back() != '0';
    // e + 1 integer digits (the token's own, no leading zero)
    if (nd <= static_cast<std::size_t>(e) + 1) return fp.size() == 1 && fp[0] == '0';
    return fp.back() != '0';
  }
  if (!scientific || ip.size() != 1 || ip[0] == '0' || ex.data()[-1] != 'e') return false;
  if (nd == 1 ? !fp.empty() : fp.empty() || fp.back() == '0') return false;
  long a = e < 0 ? -e : e;
  return ex[0] == (e < 0 ? '-' : '+') && ex.size() == (a >= 100 ? 4u : 3u);
}

}  // namespace

char* write_float_token_repr(char* dst, std::string_view token) noexcept {
  return write_float_token_repr(dst, split_decimal(token));
}

namespace {

// Narrows a token's digits to its significant ones (leading zeros, and
// trailing zeros of the fraction, dropped); `point` is where the decimal
// point stands relative to the first of them.
inline void significant_digits(std::string_view& ip, std::string_view& fp, long long& point) noexcept {
  point = static_cast<long long>(ip.size());
  while (!ip.empty() && ip.front() == '0') {
    ip.remove_prefix(1);
    --point;
  }
  if (ip.empty()) {
    while (!fp.empty() && fp.front() == '0') {
      fp.remove_prefix(1);
      --point;
    }
  }
  while (!fp.empty() && fp.back() == '0') fp.remove_suffix(1);
}

}  // namespace

double float_of_token(std::string_view token) noexcept {
  DecimalToken t = split_decimal(token);
  std::string_view ip = t.int_part, fp = t.frac_part;
  long long point;
  significant_digits(ip, fp, point);
  return parse_exact(t.neg, ip, fp, point, t.exp_part);
}

char* write_float_token_repr(char* dst, const DecimalToken& t) noexcept {
  std::string_view ip = t.int_part, fp = t.frac_part;
  long long point;
  significant_digits(ip, fp, point);
  // The usual case, positional in and out: the token up to its last
  // nonzero digit ("-9478.650" -> "-9478.65"; exponents -4..14).
  if (t.exp_part.empty() && !fp.empty() && ip.size() + fp.size() <= 15 && point >= -3) {
    std::size_t n = static_cast<std::size_t>(fp.data() + fp.size() - t.token.data());
    std::memcpy(dst, t.token.data(), n);
    return dst + n;
  }
  if (fp.empty())
    while (!ip.empty() && ip.back() == '0') ip.remove_suffix(1);
  std::size_t nd = ip.size() + fp.size();
  if (nd == 0) return put_text(dst, t.neg ? "-0.0" : "0.0");
  // Up to 15 digits every decimal in the normal range is the shortest
  // text of its double, so Python's repr has exactly these digits.
  if (nd <= 15) {
    long long exp = point - 1 + exponent_of(t.exp_part);
    if (exp >= -307 && exp <= 307) {
      if (reads_as_repr(t, nd, exp)) return put_short(dst, t.token.data(), t.token.size());
      char digits[16];
      put_text(put_text(digits, ip), fp);
      return write_repr_digits(dst, t.neg, digits, nd, static_cast<int>(exp));
    }
  }
  double value;
  long long q = exponent_of(t.exp_part) + point - static_cast<long long>(nd);
  std::uint64_t w = nd <= 19 ? decimal_value(ip, fp) : 0;
  if (nd > 19 || q < -400 || q > 400 || !parse_decimal_fast(w, static_cast<int>(q), value))
    return write_float_repr(dst, parse_exact(t.neg, ip, fp, point, t.exp_part));
  // A server that writes shortest texts already wrote these digits: then
  // they are copied rather than made again.
  std::uint64_t d;
  int exp;
  shortest_stripped(value, d, exp);
  if (d != w || exp != q) return write_decimal_repr(dst, t.neg, d, exp);
  if (reads_as_repr(t, nd, q + static_cast<long>(nd) - 1)) return put_short(dst, t.token.data(), t.token.size());
  char digits[20];
  put_text(put_text(digits, ip), fp);
  return write_repr_digits(dst, t.neg, digits, nd, static_cast<int>(q) + static_cast<int>(nd) - 1);
}

void append_float_repr(std::string& out, double value) {
  char buf[kFloatReprMax];
  out.append(buf, write_float_repr(buf, value));
}

std::string float_repr(double value) {
  std::string out;
  append_float_repr(out, value);
  return out;
}

double round_to(double value, int ndigits) {
  if (!std::isfinite(value)) return value;
  char buf[512];
  auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, ndigits);
  if (res.ec != std::errc()) return value;
  double out = 0;
  std::from_chars(buf, res.ptr, out);
  return out;
}

double mib4(std::uint64_t bytes) {
  return round_to(static_cast<double>(bytes) / 1024.0 / 1024.0, 4);
}

}  // namespace kestro::text
