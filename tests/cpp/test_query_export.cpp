// The query answer's line stream turned into CSV blocks.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "temp_dir.hpp"
#include "kestro/error.hpp"
#include "kestro/query_export.hpp"

using kestro::query::CsvExport;
using kestro::testing::slurp;
using kestro::testing::temp_path;

namespace {

struct Result {
  std::string csv;
  std::vector<std::uint64_t> progress;
  std::uint64_t lines = 0, rows = 0;
  std::string header_line;
};

// Feeds `body` in pieces of `piece` bytes; the header line is answered
// with the CSV header `header` of `ncols` columns.
Result run(const std::string& body, std::size_t block_size, std::size_t piece, const std::string& header = "a,b\n",
           std::size_t ncols = 2, std::size_t split_min = 0) {
  std::string path = temp_path("run.csv");
  Result r;
  {
    CsvExport ex(path, block_size, split_min);
    auto answer = [&](CsvExport::Step s, bool final) {
      while (s == CsvExport::Step::kHeader) {
        r.header_line = std::string(ex.header_line());
        ex.start(header, ncols);
        s = final ? ex.finish() : ex.feed({});
      }
    };
    for (std::size_t at = 0; at < body.size(); at += piece) answer(ex.feed(std::string_view(body).substr(at, piece)), false);
    answer(ex.finish(), true);
    for (auto p : ex.take_progress()) r.progress.push_back(p);
    r.lines = ex.lines();
    r.rows = ex.rows();
    ex.close();
  }
  r.csv = slurp(path);
  std::filesystem::remove(path);
  return r;
}

std::string error_of(const std::string& body, std::size_t ncols = 2, std::size_t split_min = 0) {
  std::string path = temp_path("err.csv");
  CsvExport ex(path, 10, split_min);
  try {
    auto s = ex.feed(body);
    if (s == CsvExport::Step::kHeader) {
      ex.start("h\n", ncols);
      ex.feed({});
    }
    if (ex.finish() == CsvExport::Step::kHeader) ex.start("h\n", ncols);
  } catch (const kestro::Error& e) {
    return e.what();
  }
  return "";
}

// Exporting `body` (header "a,b") with the file size limited to `limit`
// fails with EFBIG and leaves no file.
void expect_file_size_failure(const std::string& body, std::size_t block_size, std::size_t limit) {
  std::string path = temp_path("sizefail.csv");
  int err = 0;
  {
    kestro::testing::FileSizeLimit cap(limit);
    CsvExport ex(path, block_size);
    try {
      if (ex.feed(body) == CsvExport::Step::kHeader) {
        ex.start("a,b\n", 2);
        ex.feed({});
      }
      ex.close();
    } catch (const kestro::Error& e) {
      err = e.sys_errno();
    }
  }
  EXPECT_EQ(err, EFBIG) << block_size;
  EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace

TEST(QueryExport, SameResultWhateverThePiecesAre) {
  // line breaks of every kind, a multi-byte character, escapes
  const std::string body =
      "{\"return_code\":0}\r\n\n[1,\"名字, \\\"q\\\"\"]\r[2.5, null]\n\n  \n[true,[1,{\"k\":\"it's\"}]]\nnull\n[-0,1e400]";
  Result whole = run(body, 1000, body.size());
  EXPECT_EQ(whole.header_line, "{\"return_code\":0}");
  EXPECT_EQ(whole.csv,
            "a,b\n"
            "1,\"名字, \"\"q\"\"\"\n"
            "2.5,\n"
            "True,\"[1, {'k': \"\"it's\"\"}]\"\n"
            "0,inf\n");
  // header, 4 rows, a white-space line and a null line are counted
  EXPECT_EQ(whole.lines, 7u);
  EXPECT_EQ(whole.rows, 4u);
  for (std::size_t split : {0, 1, 16})
    for (std::size_t piece = 1; piece < 12; ++piece) {
      Result r = run(body, 1000, piece, "a,b\n", 2, split);
      EXPECT_EQ(r.csv, whole.csv) << piece << " " << split;
      EXPECT_EQ(r.lines, whole.lines) << piece << " " << split;
    }
  // the whole body at once, cut in two halves parsed on two threads
  Result halves = run(body, 1000, body.size(), "a,b\n", 2, 1);
  EXPECT_EQ(halves.csv, whole.csv);
  EXPECT_EQ(halves.lines, whole.lines);
}

TEST(QueryExport, ProgressAtMultiplesOfTheBlockSizeCountingTheHeader) {
  std::string body = "{}\n";
  for (int i = 0; i < 7; ++i) body += "[" + std::to_string(i) + ",\"x\"]\n";
  Result r = run(body, 3, 5);
  EXPECT_EQ(r.lines, 8u);
  EXPECT_EQ(r.progress, (std::vector<std::uint64_t>{3, 6}));
  std::string want = "a,b\n";
  for (int i = 0; i < 7; ++i) want += std::to_string(i) + ",x\n";
  EXPECT_EQ(r.csv, want);
  Result one = run(body, 1, 4);
  EXPECT_EQ(one.progress.size(), 8u);
  EXPECT_EQ(one.csv, want);
}

TEST(QueryExport, IntegersStayExactAndFloatsUsePythonRepr) {
  Result r = run("h\n[123456789012345678901234567890,1e16]\n[-9223372036854775809,1E-5]\n[18446744073709551615,0.1]\n"
                 "[9007199254740993,-0.0]\n",
                 10, 64);
  EXPECT_EQ(r.csv,
            "a,b\n123456789012345678901234567890,1e+16\n-9223372036854775809,1e-05\n"
            "18446744073709551615,0.1\n9007199254740993,-0.0\n");
}

TEST(QueryExport, OneColumnRowsOfAnEmptyFieldAreQuoted) {
  Result r = run("h\n[\"\"]\n[null]\n[\"x\"]\n", 10, 3, "\"\"\n", 1);
  EXPECT_EQ(r.csv, "\"\"\n\"\"\n\"\"\nx\n");
}

TEST(QueryExport, MalformedRowsAndWrongLengthsFail) {
  struct Case { const char* body; const char* want; };
  const Case cases[] = {
      {"h\n[1,2\n", "malformed row at line 2"},
      {"h\n[1,2] [3,4]\n", "trailing content"},
      {"h\n[1,2]]\n", "trailing content"},
      {"h\n{\"a\":1,\"b\":2}\n", "must be a JSON array"},
      {"h\n5\n", "must be a JSON array"},
      {"h\nnul\n", "malformed row at line 2"},
      {"h\n[01,2]\n", "invalid number"},
      {"h\n[nan,2]\n", "malformed row"}, {"h\n[-NaN,2]\n", "malformed row"},
      {"h\n[\"\xff\",2]\n", "malformed row"},
      {"h\n[1,2]\n[1]\n", "row at line 3 has 1 values, the header has 2 columns"},
      {"h\n[1,2,3]\n", "has more than 2 values"},
      {"h\n[1,2]\n\n   \n[[1,]]\n", "malformed row at line 4"},
  };
  for (std::size_t split : {0, 1})
    for (const auto& c : cases)
      EXPECT_NE(error_of(c.body, 2, split).find(c.want), std::string::npos) << c.body << " -> " << error_of(c.body, 2, split);
}

TEST(QueryExport, FailureOrAbandonRemovesThePartialFile) {
  std::string path = temp_path("partial.csv");
  {
    CsvExport ex(path, 1);
    ASSERT_EQ(ex.feed("h\n"), CsvExport::Step::kHeader);
    ex.start("a\n", 1);
    ex.feed("[1]\n[2]\n");
    EXPECT_TRUE(std::filesystem::exists(path));
    EXPECT_THROW(ex.feed("[3,4]\n"), kestro::Error);
    EXPECT_EQ(ex.take_progress(), (std::vector<std::uint64_t>{1, 2, 3}));
  }
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_THROW(CsvExport(path, 0), kestro::Error);
}

TEST(QueryExport, NoHeaderMeansNoFile) {
  std::string path = temp_path("none.csv");
  CsvExport ex(path, 5);
  EXPECT_EQ(ex.feed("\n\r\n\n"), CsvExport::Step::kMore);
  EXPECT_EQ(ex.finish(), CsvExport::Step::kMore);
  EXPECT_FALSE(ex.started());
  EXPECT_EQ(ex.lines(), 0u);
  ex.close();
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(QueryExport, WriteFailureOfABlockSurfacesAndRemovesTheFile) {
  std::string path = temp_path("full.csv");
  int err = 0;
  {
    kestro::testing::FileSizeLimit limit(300);
    CsvExport ex(path, 2);
    try {
      if (ex.feed("h\n") == CsvExport::Step::kHeader) ex.start("a,b\n", 2);
      for (int i = 0; i < 200; ++i) ex.feed("[" + std::to_string(i) + ",\"some text\"]\n");
      ex.close();
    } catch (const kestro::Error& e) {
      EXPECT_EQ(e.code(), kestro::Error::Code::kIo);
      err = e.sys_errno();
    }
  }
  EXPECT_EQ(err, EFBIG);
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(QueryExport, ManyBlocksWrittenInOrder) {
  std::string body = "h\n", want = "a,b\n";
  for (int i = 0; i < 5000; ++i) {
    body += "[" + std::to_string(i) + ",\"r" + std::to_string(i) + "\"]\n";
    want += std::to_string(i) + ",r" + std::to_string(i) + "\n";
  }
  for (std::size_t split : {0, 1, 4096})
    for (std::size_t bs : {1, 7, 1000, 5000, 5001}) {
      Result r = run(body, bs, 333 * (split ? 50 : 1), "a,b\n", 2, split);
      EXPECT_EQ(r.csv, want) << bs << " " << split;
      EXPECT_EQ(r.lines, 5001u);
      EXPECT_EQ(r.progress.size(), 5001 / bs);
    }
}

TEST(QueryExport, LongMantissasAreReadExactly) {
  Result r = run("h\n[0.20000000000000000001,0.1234567890123456789]\n[123456789012345678901234.5e-3,1e-400]\n", 10, 5);
  EXPECT_EQ(r.csv, "a,b\n0.2,0.12345678901234568\n1.2345678901234568e+20,0.0\n");
}

TEST(QueryExport, LargeBlocksWrittenBehindTheParsingInOrderAndFailuresSurface) {
  // rows of ~210 bytes, blocks of 500 rows: each block is handed to the writer thread
  std::string pad(200, 'p');
  std::string body = "h\n", want = "a,b\n";
  for (int i = 0; i < 3000; ++i) {
    body += "[" + std::to_string(i) + ",\"" + pad + "\"]\n";
    want += std::to_string(i) + "," + pad + "\n";
  }
  for (std::size_t split : {0, 1}) EXPECT_EQ(run(body, 500, 1 << 16, "a,b\n", 2, split).csv, want) << split;

  expect_file_size_failure(body, 500, 300 << 10);
}

TEST(QueryExport, BlocksLargerThanASliceGiveTheSameFileAndFailuresStillSurface) {
  // ~3.3 MB of text: a block of every row goes to the file in several slices
  std::string pad(300, 'q');
  std::string body = "h\n", want = "a,b\n";
  for (int i = 0; i < 10000; ++i) {
    body += "[" + std::to_string(i) + ",\"" + pad + (i % 3 ? "" : ",") + "\"]\n";
    want += std::to_string(i) + "," + (i % 3 ? pad : "\"" + pad + ",\"") + "\n";
  }
  for (std::size_t split : {0, 1, 4096})
    for (std::size_t bs : {1000000000, 10001, 4000, 3}) {
      Result r = run(body, bs, 1 << 20, "a,b\n", 2, split);
      EXPECT_EQ(r.csv, want) << bs << " " << split;
      EXPECT_EQ(r.progress.size(), 10001 / bs) << bs;
    }

  expect_file_size_failure(body, 1000000000, 1500 << 10);
}

TEST(QueryExport, NonFiniteTokensAsJsonAndPandasWriteThem) {
  // a NaN field is pandas' null (empty); inside a list Python's str says nan
  for (std::size_t split : {0, 1}) {
    Result r = run("h\n[NaN,Infinity]\n[-Infinity,[NaN, -Infinity, {\"k\": Infinity}]]\n[\"s\\n\",NaN]\n", 10, 7,
                   "a,b\n", 2, split);
    EXPECT_EQ(r.csv, "a,b\n,inf\n-inf,\"[nan, -inf, {'k': inf}]\"\n\"s\n\",\n");
  }
}

TEST(QueryExport, NestingPastTheLimitFailsAndLeavesNoFile) {
  std::string deep(100000, '[');
  deep += std::string(100000, ']');
  for (std::size_t split : {0, 1}) {
    std::string path = temp_path("deep.csv");
    {
      CsvExport ex(path, 10, split);
      ASSERT_EQ(ex.feed("h\n"), CsvExport::Step::kHeader);
      ex.start("a,b\n", 2);
      try {
        ex.feed("[1,2]\n[1," + deep + "]\n");
        ex.finish();
        ADD_FAILURE() << "accepted";
      } catch (const kestro::Error& e) {
        EXPECT_NE(std::string(e.what()).find("malformed row at line 3: nested deeper than 1000 levels"),
                  std::string::npos)
            << e.what();
      }
    }
    EXPECT_FALSE(std::filesystem::exists(path));
  }
  // the row's own array is the first of the 1000 levels
  std::string ok = "h\n[1," + std::string(999, '[') + std::string(999, ']') + "]\n";
  EXPECT_EQ(run(ok, 10, 1 << 20).rows, 1u);
  EXPECT_NE(error_of("h\n[1," + std::string(1000, '[') + std::string(1000, ']') + "]\n").find("nested deeper"),
            std::string::npos);
}

TEST(QueryExport, FloatTokensReadAsPythonFloatReadsThem) {
  // digits and exponents far past a double's range cancel out as float() does
  std::string zeros(100000, '0');
  Result r = run("h\n[0." + zeros + "1e100001,0." + zeros + "1e1000000]\n[1" + zeros + "e-100000,-1e-99999999999999999999]\n",
                 10, 1 << 20);
  EXPECT_EQ(r.csv, "a,b\n1.0,inf\n1.0,-0.0\n");
}

TEST(QueryExport, ALongLineInTinyPiecesIsSearchedOnce) {
  // 8 MB in 16-byte pieces: searched from its start at every piece, this
  // took minutes
  std::string text(8 << 20, 'x');
  for (std::size_t k = 0; k < text.size(); k += 1000) text[k] = ',';
  std::string body = "h\n[\"" + text + "\",1]\n[\"y\",2]\n";
  auto t0 = std::chrono::steady_clock::now();
  Result r = run(body, 10, 16);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(20));
  EXPECT_EQ(r.csv, "a,b\n\"" + text + "\",1\ny,2\n");
}

TEST(QueryExport, OneByteOrderMarkAtTheStartOfARowIsSkippedAsJsonLoadsDoes) {
  const std::string bom = "\xEF\xBB\xBF";
  for (std::size_t split : {0, 1})
    EXPECT_EQ(run("h\n" + bom + "[1,2]\n" + bom + " [\"x\", {\"k\": 1}]\n" + bom + "null\n", 10, 3, "a,b\n", 2, split).csv,
              "a,b\n1,2\nx,{'k': 1}\n");
  for (const std::string& bad : {bom, bom + bom + "[1,2]", " " + bom + "[1,2]", "[1," + bom + "2]"})
    EXPECT_NE(error_of("h\n" + bad + "\n").find("malformed row at line 2"), std::string::npos) << bad;
}
