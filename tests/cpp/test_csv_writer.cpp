// CSV fields, rows and the block file.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "temp_dir.hpp"
#include "kestro/csv_writer.hpp"
#include "kestro/error.hpp"

namespace csv = kestro::csv;

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
