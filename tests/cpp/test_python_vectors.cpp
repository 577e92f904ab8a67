// Number and path texts against Python's own answers.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "kestro/number_text.hpp"
#include "kestro/path_text.hpp"

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
TEST(PythonVectors, NumberAndPathTextsMatchPython) {
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
