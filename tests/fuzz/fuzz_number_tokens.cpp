// Float tokens: repr(float(token)) as kestro writes it must be what glibc's
// exact strtod reads from the same token, written by the double's own
// repr, and that text must read back as the same double.
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "kestro/pytext.hpp"
#include "kestro/number_text.hpp"

namespace {

locale_t c_locale() {
  static const locale_t loc = newlocale(LC_ALL_MASK, "C", locale_t{});
  return loc;
}

double glibc_read(const std::string& s) { return strtod_l(s.c_str(), nullptr, c_locale()); }

bool same(double a, double b) {
  return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b));
}

// Bytes as a token: most inputs are not valid tokens, so some bytes are
// read as digit runs, to reach long mantissas and exponents.
std::string token_of(const std::uint8_t* data, std::size_t size) {
  std::string t;
  for (std::size_t i = 0; i < size; ++i) {
    std::uint8_t b = data[i];
    if (b >= 0xF0 && i + 1 < size && t.size() < 100000) {  // a run of one digit, up to 4096 long
      std::size_t n = static_cast<std::size_t>(b - 0xF0 + 1) * (data[i + 1] + 1);
      t.append(n, static_cast<char>('0' + data[i + 1] % 10));
      ++i;
    } else {
      t += static_cast<char>(b);
    }
  }
  return t;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string token = token_of(data, size);
  int kind = kestro::pytext::number_kind(token);
  if (kind != 2) return 0;
  double want = glibc_read(token);
  double got = kestro::text::float_of_token(token);
  if (!same(got, want)) std::abort();
  if (!same(kestro::pytext::parse_float_token(token), want)) std::abort();
  char a[kestro::text::kFloatReprMax], b[kestro::text::kFloatReprMax];
  std::string_view from_token(a, static_cast<std::size_t>(kestro::text::write_float_token_repr(a, token) - a));
  std::string_view from_value(b, static_cast<std::size_t>(kestro::text::write_float_repr(b, want) - b));
  if (from_token != from_value) std::abort();
  if (std::isfinite(want) && !same(glibc_read(std::string(from_value)), want)) std::abort();
  return 0;
}
