#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <random>
#include <fstream>
#include <sstream>

#include "kestro/number_text.hpp"

using namespace kestro::text;

TEST(NumberText, FloatReprSpecialValues) {
  EXPECT_EQ(float_repr(1.0 / 0.0), "inf");
  EXPECT_EQ(float_repr(-1.0 / 0.0), "-inf");
  EXPECT_EQ(float_repr(std::nan("")), "nan");
}

TEST(NumberText, MibFigures) {
  EXPECT_EQ(float_repr(mib4(1536)), "0.0015");
  EXPECT_EQ(float_repr(mib4(100)), "0.0001");
  EXPECT_EQ(float_repr(mib4(52)), "0.0");
  EXPECT_EQ(float_repr(mib4(1048576)), "1.0");
}

namespace {
// The significant digits of a decimal text ("-0.00120e5" -> "12").
std::string significant_digits(const std::string& text) {
  std::string d;
  for (char c : text) {
    if (c == 'e' || c == 'E') break;
    if (c >= '0' && c <= '9') d += c;
  }
  d.erase(0, d.find_first_not_of('0'));
  while (!d.empty() && d.back() == '0') d.pop_back();
  return d;
}

void expect_shortest(double v) {
  std::string ours = float_repr(v);
  ASSERT_EQ(std::strtod(ours.c_str(), nullptr), v) << ours;
  char buf[64];
  std::string ref(buf, std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific).ptr);
  ASSERT_EQ(significant_digits(ours), significant_digits(ref)) << ours << " vs " << ref;
}
}  // namespace

// The same digits as the standard library's shortest form, for every kind
// of double: random bit patterns, each exponent's boundary values (where
// the gap below is half the gap above), subnormals, powers, integers.
TEST(NumberText, ShortestDigitsAgreeWithTheStandardLibrary) {
  std::mt19937_64 rng(20261208);
  auto from = [](std::uint64_t b) {
    double d;
    std::memcpy(&d, &b, sizeof d);
    return d;
  };
  for (int i = 0; i < 2000000; ++i) {
    double v = from(rng() & ~(std::uint64_t{1} << 63));
    if (std::isfinite(v) && v != 0) expect_shortest(v);
  }
  for (std::uint64_t e = 0; e < 0x7FF; ++e)
    for (std::uint64_t f : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{2}, (std::uint64_t{1} << 52) - 1,
                            std::uint64_t{1} << 51, rng() & ((std::uint64_t{1} << 52) - 1)}) {
      double v = from(e << 52 | f);
      if (v != 0) expect_shortest(v);
    }
  for (int e = -324; e <= 308; ++e) {
    double p = std::strtod(("1e" + std::to_string(e)).c_str(), nullptr);
    if (p != 0 && std::isfinite(p)) {
      expect_shortest(p);
      expect_shortest(std::nextafter(p, 0.0));
      expect_shortest(std::nextafter(p, HUGE_VAL));
    }
  }
  for (std::int64_t n = 1; n < 100000; n += 7) expect_shortest(static_cast<double>(n));
  for (int i = 0; i < 200000; ++i) expect_shortest(static_cast<double>(rng() >> (rng() % 64)) + 1);
  expect_shortest(5e-324);
  expect_shortest(1.7976931348623157e308);
  expect_shortest(9007199254740993.0);
}

// Tokens are read as the C library reads them, including the
// hardest ones: 19 digits next to the midpoint of two doubles, which only a
// correctly rounded reading gets right.
TEST(NumberText, FloatTokensReadAsTheCLibraryReadsThem) {
  std::mt19937_64 rng(7);
  auto check = [](const std::string& token) {
    char buf[kFloatReprMax];
    std::string ours(buf, write_float_token_repr(buf, token));
    ASSERT_EQ(ours, float_repr(std::strtod(token.c_str(), nullptr))) << token;
  };
  char text[64];
  for (int i = 0; i < 300000; ++i) {
    std::uint64_t b = rng() & ~(std::uint64_t{1} << 63);
    double d;
    std::memcpy(&d, &b, sizeof d);
    if (!std::isfinite(d) || d == 0) continue;
    long double mid = (static_cast<long double>(d) + std::nextafter(d, HUGE_VAL)) / 2;
    std::snprintf(text, sizeof text, "%.18Le", mid);
    check(text);
    std::snprintf(text, sizeof text, "%.*e", static_cast<int>(rng() % 19), d);
    check(text);
    std::snprintf(text, sizeof text, "%llu.%llue%d", static_cast<unsigned long long>(rng() % 10000000000ull),
                  static_cast<unsigned long long>(rng() % 1000000000ull), static_cast<int>(rng() % 700) - 350);
    check(text);
  }
}
