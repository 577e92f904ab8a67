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

#include "kestro/text.hpp"

using namespace kestro::text;

namespace {
double from_bits(const std::string& hex) {
  std::uint64_t b = std::stoull(hex, nullptr, 16);
  double d;
  std::memcpy(&d, &b, sizeof d);
  return d;
}
}  // namespace

// Python's own answers, written by tests/cpp/gen_vectors.py before the run.
TEST(Text, MatchesPythonOracle) {
  const char* path = std::getenv("KESTRO_TEXT_VECTORS");
  ASSERT_NE(path, nullptr) << "KESTRO_TEXT_VECTORS not set (scripts/run.sh test writes it)";
  std::ifstream in(path);
  ASSERT_TRUE(in.good()) << path;
  std::string line;
  std::size_t reprs = 0, rounds = 0, norms = 0, tokens = 0;
  while (std::getline(in, line)) {
    std::istringstream ls(line);
    std::string kind, a, b;
    ls >> kind >> a >> b;
    if (kind == "repr") {
      ASSERT_EQ(float_repr(from_bits(a)), b) << line;
      ++reprs;
    } else if (kind == "round") {
      ASSERT_EQ(float_repr(round_to(from_bits(a), 4)), b) << line;
      ++rounds;
    } else if (kind == "token") {
      char buf[kFloatReprMax];
      ASSERT_EQ(std::string(buf, write_float_token_repr(buf, a)), b) << line;
      ++tokens;
    } else if (kind == "norm") {
      ASSERT_EQ(posix_normpath(a), b) << line;
      ++norms;
    }
  }
  EXPECT_GT(reprs, 50000u);
  EXPECT_GT(rounds, 50000u);
  EXPECT_GT(norms, 1000u);
  EXPECT_GT(tokens, 60000u);
}

TEST(Text, FloatReprSpecialValues) {
  EXPECT_EQ(float_repr(1.0 / 0.0), "inf");
  EXPECT_EQ(float_repr(-1.0 / 0.0), "-inf");
  EXPECT_EQ(float_repr(std::nan("")), "nan");
}

TEST(Text, MibFigures) {
  EXPECT_EQ(float_repr(mib4(1536)), "0.0015");
  EXPECT_EQ(float_repr(mib4(100)), "0.0001");
  EXPECT_EQ(float_repr(mib4(52)), "0.0");
  EXPECT_EQ(float_repr(mib4(1048576)), "1.0");
}

TEST(Text, JoinFollowsPosixRule) {
  EXPECT_EQ(posix_join("a", "b"), "a/b");
  EXPECT_EQ(posix_join("a/", "b"), "a/b");
  EXPECT_EQ(posix_join("", "b"), "b");
  EXPECT_EQ(posix_join("a", ""), "a/");
  EXPECT_EQ(posix_join("a", "/b"), "/b");
}

TEST(Text, DepthDropsEmptyAndDotComponents) {
  EXPECT_EQ(depth("a/b/c"), 3u);
  EXPECT_EQ(depth("a/b/c/"), 3u);
  EXPECT_EQ(depth("a"), 1u);
  EXPECT_EQ(depth(""), 0u);
  EXPECT_EQ(depth("/"), 0u);
  EXPECT_EQ(depth("."), 0u);
  EXPECT_EQ(depth("./a//b"), 2u);
}

TEST(Text, PathlibFormOfFolders) {
  EXPECT_EQ(pathlib_norm("./data/"), "data");
  EXPECT_EQ(pathlib_norm("data//x/./y"), "data/x/y");
  EXPECT_EQ(pathlib_norm("."), ".");
  EXPECT_EQ(pathlib_norm(""), ".");
  EXPECT_EQ(pathlib_norm("/"), "/");
  EXPECT_EQ(pathlib_norm("//a/"), "/a");
  EXPECT_EQ(pathlib_norm("../a"), "../a");
}

TEST(Text, RelativeToRemovesTheFolderOnce) {
  for (const char* folder : {"data", "data/", "./data"})
    EXPECT_EQ(relative_to("data/x/data/y.csv", folder), "x/data/y.csv") << folder;
  EXPECT_EQ(relative_to("other/x", "data"), std::nullopt);
  EXPECT_EQ(relative_to("/data/x", "data"), std::nullopt);
  EXPECT_EQ(relative_to("datax/y", "data"), std::nullopt);
  EXPECT_EQ(relative_to("x/y", "."), "x/y");
  EXPECT_EQ(relative_to("data/.", "data"), "");
}

TEST(Text, BaseAndDirName) {
  EXPECT_EQ(std::string(basename("a/b/c.csv")), "c.csv");
  EXPECT_EQ(std::string(basename("c.csv")), "c.csv");
  EXPECT_EQ(std::string(basename("a/")), "");
  EXPECT_EQ(dirname("a/b/c.csv"), "a/b");
  EXPECT_EQ(dirname("/c"), "/");
  EXPECT_EQ(dirname("c"), "");
  EXPECT_EQ(dirname("a//c"), "a");
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
TEST(Text, ShortestDigitsAgreeWithTheStandardLibrary) {
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
TEST(Text, FloatTokensReadAsTheCLibraryReadsThem) {
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
