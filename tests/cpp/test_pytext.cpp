// Python's texts of strings and numbers, written without Python.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "kestro/pytext.hpp"

namespace pytext = kestro::pytext;

TEST(PyText, StrReprQuoteChoiceAndEscapes) {
  struct Case { const char* in; const char* want; };
  const Case cases[] = {
      {"", "''"},
      {"abc", "'abc'"},
      {"it's", "\"it's\""},
      {"say \"x\"", "'say \"x\"'"},
      {"both ' and \"", "'both \\' and \"'"},
      {"back\\slash", "'back\\\\slash'"},
      {"t\tn\nr\r", "'t\\tn\\nr\\r'"},
      {"\x01\x1f\x7f", "'\\x01\\x1f\\x7f'"},
      {"\xc2\xa0", "'\\xa0'"},                // no-break space: not printable
      {"\xc2\xad", "'\\xad'"},                // soft hyphen
      {"\xe2\x80\x8b", "'\\u200b'"},          // zero-width space
      {"\xe2\x80\xa8", "'\\u2028'"},          // line separator
      {"\xf3\xa0\x80\x81", "'\\U000e0001'"},  // language tag
      {"名字 é", "'名字 é'"},
      {"\xf0\x9f\x98\x80", "'\xf0\x9f\x98\x80'"},  // emoji is printable
  };
  for (const auto& c : cases) {
    std::string out;
    pytext::append_str_repr(out, c.in);
    EXPECT_EQ(out, c.want) << c.in;
  }
}

TEST(PyText, NumberTokens) {
  EXPECT_EQ(pytext::number_kind("0"), 1);
  EXPECT_EQ(pytext::number_kind("-12"), 1);
  EXPECT_EQ(pytext::number_kind("123456789012345678901234567890"), 1);
  EXPECT_EQ(pytext::number_kind("1.5"), 2);
  EXPECT_EQ(pytext::number_kind("-1E+5"), 2);
  EXPECT_EQ(pytext::number_kind("1e-400"), 2);
  for (const char* bad : {"", "-", "01", "1.", ".5", "1e", "1e+", "+1", "1.5x", "0x10", "--1"})
    EXPECT_EQ(pytext::number_kind(bad), 0) << bad;
  std::string out;
  pytext::append_int_token(out, "-0");
  pytext::append_int_token(out, "-10");
  EXPECT_EQ(out, "0-10");
  EXPECT_EQ(pytext::parse_float_token("1e400"), HUGE_VAL);
  EXPECT_EQ(pytext::parse_float_token("-1e400"), -HUGE_VAL);
  EXPECT_TRUE(std::signbit(pytext::parse_float_token("-1e-400")));
  EXPECT_EQ(pytext::parse_float_token("0.1"), 0.1);
  EXPECT_EQ(pytext::parse_float_token("2.2250738585072011e-308"), 2.2250738585072011e-308);
}

