#include <gtest/gtest.h>

#include "kestro/release.hpp"

using kestro::release::in_range;

TEST(Release, InsideTheRangeFromTheLowestUpToButExcludingTheBound) {
  for (const char* v : {"1.37.38", "1.37.100", "1.38.0", "1.44.18", "1.44.999", "1.44"})
    EXPECT_TRUE(in_range(v, "1.37.38", "1.45")) << v;
  for (const char* v : {"1.37.37", "1.37.9", "1.36.99", "0.99.0", "1.45", "1.45.0", "1.45.0.0", "2.0.0", "10.0"})
    EXPECT_FALSE(in_range(v, "1.37.38", "1.45")) << v;
}

TEST(Release, NumbersCompareAsNumbersNotAsText) {
  EXPECT_TRUE(in_range("1.10.0", "1.9.0", "1.11"));
  EXPECT_FALSE(in_range("1.9.0", "1.10.0", "2"));
}

TEST(Release, AnythingButAPlainReleaseIsOutside) {
  for (const char* v : {"", "1.44.0rc1", "1.44.0.dev3", "1.44.0+local", "v1.44.0", "1..44", "1.44.", ".1.44",
                        " 1.44.0", "1.44.0 ", "1.-44.0", "1.1234567890.0"})
    EXPECT_FALSE(in_range(v, "1", "2")) << '"' << v << '"';
  EXPECT_TRUE(in_range("1", "1", "2"));
  EXPECT_FALSE(in_range("1.5", "x", "2"));
  EXPECT_FALSE(in_range("1.5", "1", ""));
}
