#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "kestro/crc64.hpp"

namespace {

// The byte stream gen_vectors.py builds its CRC lines from.
std::vector<unsigned char> splitmix_bytes(std::size_t n) {
  std::vector<unsigned char> out(n + 8);
  std::uint64_t state = 0;
  for (std::size_t i = 0; i < n; i += 8) {
    state += 0x9E3779B97F4A7C15ULL;
    std::uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    z ^= z >> 31;
    for (int b = 0; b < 8; ++b) out[i + b] = static_cast<unsigned char>(z >> (8 * b));
  }
  out.resize(n);
  return out;
}

// One byte at a time straight from the definition, for cross-checks.
std::uint64_t bitwise(std::uint64_t crc, const unsigned char* p, std::size_t n) {
  std::uint64_t c = ~crc;
  while (n--) {
    c ^= *p++;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xC96C5795D7870F42ULL : c >> 1;
  }
  return ~c;
}

}  // namespace

// The SDK's own values, written by tests/cpp/gen_vectors.py before the run.
TEST(Crc64, MatchesTheSdk) {
  const char* path = std::getenv("KESTRO_TEXT_VECTORS");
  ASSERT_NE(path, nullptr) << "KESTRO_TEXT_VECTORS not set (scripts/run.sh test writes it)";
  std::ifstream in(path);
  ASSERT_TRUE(in.good()) << path;
  auto data = splitmix_bytes(3 << 20);
  std::string line;
  std::size_t lengths_seen = 0;
  while (std::getline(in, line)) {
    if (line.compare(0, 6, "crc64 ") != 0) continue;
    std::istringstream ls(line.substr(6));
    std::size_t off, n;
    std::uint64_t want;
    ls >> off >> n >> want;
    ASSERT_LE(off + n, data.size()) << line;
    ASSERT_EQ(kestro::crc64::update(0, data.data() + off, n), want) << line;
    // the same bytes given in two pieces continue where the first ended
    std::size_t cut = n / 3;
    ASSERT_EQ(kestro::crc64::update(kestro::crc64::update(0, data.data() + off, cut), data.data() + off + cut, n - cut),
              want)
        << line;
    ++lengths_seen;
  }
  EXPECT_GE(lengths_seen, 4097u + 24u);
}

TEST(Crc64, KnownCheckValueAndEmptyInput) {
  EXPECT_EQ(kestro::crc64::update(0, "123456789", 9), 0x995DC9BBDF1939FAULL);
  EXPECT_EQ(kestro::crc64::update(0, "", 0), 0u);
  EXPECT_EQ(kestro::crc64::update(0x1234, nullptr, 0), 0x1234u);
}

TEST(Crc64, FastPathsAgreeWithTheDefinitionAtEveryAlignmentAndSeed) {
  std::mt19937_64 rnd(7);
  auto data = splitmix_bytes(1 << 16);
  for (int round = 0; round < 400; ++round) {
    std::size_t off = rnd() % 64, n = rnd() % (data.size() - 64);
    std::uint64_t seed = round % 2 ? rnd() : 0;
    ASSERT_EQ(kestro::crc64::update(seed, data.data() + off, n), bitwise(seed, data.data() + off, n))
        << off << " " << n;
  }
}

TEST(Crc64, CombineEqualsTheCrcOfTheJoinedBytes) {
  std::mt19937_64 rnd(11);
  auto data = splitmix_bytes(1 << 20);
  for (std::size_t cut : {std::size_t{0}, std::size_t{1}, std::size_t{17}, std::size_t{4096}, std::size_t{65535},
                          data.size() / 2, data.size()}) {
    std::uint64_t a = kestro::crc64::update(0, data.data(), cut);
    std::uint64_t b = kestro::crc64::update(0, data.data() + cut, data.size() - cut);
    EXPECT_EQ(kestro::crc64::combine(a, b, data.size() - cut), kestro::crc64::update(0, data.data(), data.size()))
        << cut;
  }
  for (int round = 0; round < 50; ++round) {
    std::size_t cut = rnd() % data.size();
    std::uint64_t a = kestro::crc64::update(0, data.data(), cut);
    std::uint64_t b = kestro::crc64::update(0, data.data() + cut, data.size() - cut);
    ASSERT_EQ(kestro::crc64::combine(a, b, data.size() - cut), kestro::crc64::update(0, data.data(), data.size()));
  }
}
