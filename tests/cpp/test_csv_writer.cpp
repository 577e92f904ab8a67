// CSV fields, rows and the block file.
#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "temp_dir.hpp"
#include "kestro/csv_writer.hpp"
#include "kestro/error.hpp"
#include "kestro/pytext.hpp"

namespace csv = kestro::csv;
namespace pytext = kestro::pytext;

using kestro::testing::error_of;
using kestro::testing::slurp;
using kestro::testing::temp_path;

namespace {

std::string field(std::string_view f) {
  std::string out;
  csv::append_field(out, f);
  return out;
}

}  // namespace

TEST(CsvField, QuotesOnlyForCommaQuoteAndLineFeed) {
  EXPECT_EQ(field("plain"), "plain");
  EXPECT_EQ(field(""), "");
  EXPECT_EQ(field("a,b"), "\"a,b\"");
  EXPECT_EQ(field("say \"hi\""), "\"say \"\"hi\"\"\"");
  EXPECT_EQ(field("\""), "\"\"\"\"");
  EXPECT_EQ(field("two\nlines"), "\"two\nlines\"");
  // a carriage return alone, tabs, quotes of the other kind stay bare
  EXPECT_EQ(field("cr\rhere"), "cr\rhere");
  EXPECT_EQ(field("it's\t"), "it's\t");
  EXPECT_EQ(field("名,字"), "\"名,字\"");
}

// The block buffer scans fields several bytes at a time: a special byte
// at any place of any length quotes the field, and bytes next to the
// special ones in value (or with the high bit set) never do.
TEST(CsvField, BufferQuotesWhateverTheSpecialBytesPlace) {
  const std::string fillers[] = {"a", "+", "-", "!", "#", "\x0b", "\t", "\r", "\xc3", "\xff"};
  for (std::size_t len = 0; len <= 20; ++len) {
    for (const std::string& fill : fillers) {
      std::string bare;
      for (std::size_t i = 0; i < len; ++i) bare += fill;
      csv::Buffer plain;
      plain.put_field(bare);
      EXPECT_EQ(plain.view(), bare) << "len " << len << " fill " << int(fill[0]);
      for (std::size_t at = 0; at < len; ++at) {
        for (char special : {',', '"', '\n'}) {
          std::string f = bare;
          f[at] = special;
          csv::Buffer b;
          b.put_field(f);
          EXPECT_EQ(b.view(), field(f)) << "len " << len << " at " << at;
          EXPECT_EQ(b.view().front(), '"');
        }
      }
    }
  }
}

TEST(CsvRow, LoneEmptyFieldIsQuotedOtherwiseNot) {
  std::string out = "x\n";
  csv::end_row(out, out.size(), 1);
  EXPECT_EQ(out, "x\n\"\"\n");
  out.clear();
  out += ',';
  csv::end_row(out, 0, 2);
  EXPECT_EQ(out, ",\n");
  out.clear();
  csv::end_row(out, 0, 0);
  EXPECT_EQ(out, "\n");
  EXPECT_EQ(csv::header_line({"a", "b,c"}), "a,\"b,c\"\n");
  EXPECT_EQ(csv::header_line({""}), "\"\"\n");
  EXPECT_EQ(csv::header_line({}), "\n");
}

TEST(CsvScalars, IntegersAndFloatsAsPandasWritesThem) {
  std::string out;
  csv::append_int(out, INT64_MIN);
  out += ' ';
  csv::append_float(out, 1e16);
  out += ' ';
  csv::append_float(out, -0.0);
  out += ' ';
  csv::append_float(out, 0.0 / 0.0);
  out += ' ';
  csv::append_float(out, 1e-05);
  EXPECT_EQ(out, "-9223372036854775808 1e+16 -0.0  1e-05");
}

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

TEST(BlockFile, HeaderBlocksAndKeep) {
  std::string path = temp_path("keep.csv");
  {
    std::ofstream(path) << "old content that must go away\n";
    csv::BlockFile f(path, "a,b\n");
    f.append("1,2\n");
    f.append("");
    f.append("3,4\n");
    f.keep();
    EXPECT_FALSE(f.is_open());
  }
  EXPECT_EQ(slurp(path), "a,b\n1,2\n3,4\n");
  std::remove(path.c_str());
}

TEST(BlockFile, AbandonedOrDiscardedFileIsRemoved) {
  std::string path = temp_path("drop.csv");
  {
    csv::BlockFile f(path, "a\n");
    f.append("1\n");
    EXPECT_TRUE(std::filesystem::exists(path));
  }
  EXPECT_FALSE(std::filesystem::exists(path));
  csv::BlockFile g(path, "a\n");
  g.discard();
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_THROW(g.append("x"), kestro::Error);
}

TEST(BlockFile, OpenAndWriteFailuresCarryErrnoAndRemoveThePartialFile) {
  {
    kestro::Error e = error_of([&] { csv::BlockFile f("/nonexistent-dir/x.csv", "a\n"); });
    EXPECT_EQ(e.code(), kestro::Error::Code::kIo);
    EXPECT_EQ(e.sys_errno(), ENOENT);
    EXPECT_EQ(e.path(), "/nonexistent-dir/x.csv");
  }
  // A file-size limit makes the second block fail half-written.
  std::string path = temp_path("limit.csv");
  int err = 0;
  {
    kestro::testing::FileSizeLimit limit(100);
    csv::BlockFile f(path, "h\n");
    f.append(std::string(50, 'x'));
    try {
      f.append(std::string(100, 'y'));
    } catch (const kestro::Error& e) {
      err = e.sys_errno();
    }
  }
  EXPECT_EQ(err, EFBIG);
  EXPECT_FALSE(std::filesystem::exists(path));
}

// A close that fails (a full disk seen only at close, as on network file
// systems) must not leave a result that looks complete.
TEST(BlockFile, FailedCloseOnKeepRemovesTheFile) {
  std::string path = temp_path("close.csv");
  kestro::testing::FaultyEnv faulty(kestro::testing::FaultyEnv::Op::kClose, ENOSPC);
  kestro::fs::ScopedEnv use(faulty);
  csv::BlockFile f(path, "a\n");
  f.append("1\n");
  {
    kestro::Error e = error_of([&] { f.keep(); });
    EXPECT_EQ(e.sys_errno(), ENOSPC);
    EXPECT_EQ(e.path(), path);
  }
  EXPECT_FALSE(f.is_open());
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(BlockFile, NeverRemovesWhatIsNotARegularFile) {
  // /dev/null opens and truncates like a file, but must survive discard
  {
    csv::BlockFile f("/dev/null", "h\n");
  }
  EXPECT_TRUE(std::filesystem::exists("/dev/null"));
}

TEST(PyText, FloatTokensWrittenFromTheirDigits) {
  struct Case { const char* token; const char* repr; };
  // exact from the digits
  const Case fast[] = {{"1.50", "1.5"}, {"0.000100", "0.0001"}, {"100.000", "100.0"}, {"-0.00", "-0.0"},
                       {"0.0", "0.0"}, {"1000000000000000.0", "1000000000000000.0"},
                       {"123456789012345.0", "123456789012345.0"}, {"0.123456789012345", "0.123456789012345"},
                       {"-9478.65", "-9478.65"}};
  for (const auto& c : fast) {
    std::string out;
    EXPECT_TRUE(pytext::append_float_token_repr(out, c.token)) << c.token;
    EXPECT_EQ(out, c.repr) << c.token;
  }
  // left to the double: scientific, exponent, or more than 15 digits
  for (const char* slow : {"0.00001", "1e5", "1.5E-3", "12345678901234567.0", "1234567890123456.7",
                           "0.1234567890123456", "1234567890123456.0"}) {
    std::string out;
    EXPECT_FALSE(pytext::append_float_token_repr(out, slow)) << slow;
    EXPECT_TRUE(out.empty());
  }
}
