#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
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
