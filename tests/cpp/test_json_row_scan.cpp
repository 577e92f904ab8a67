// The direct row scanner against the full JSON parser of the export: on
// every line it takes, the same bytes; every line it is not sure of,
// declined with nothing written.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <fstream>
#include <random>
#include <sstream>

#include "kestro/error.hpp"
#include "kestro/json_row_scan.hpp"
#include "kestro/query_export.hpp"

using kestro::query::CsvExport;
using kestro::query::scan_row;
using kestro::query::ScanScratch;

namespace {

// The full parser's CSV for `line` with `ncols` values, or nullopt when it
// rejects it. The scanner never takes an object, so an extra `{}` value
// sends the line through the full parser; its field is cut off again.
std::optional<std::string> full_parser_row(const std::string& line, std::size_t ncols) {
  std::size_t close = line.rfind(']');
  if (close == std::string::npos) return std::nullopt;
  std::string forced = line.substr(0, close) + (ncols ? ",{}" : "{}") + line.substr(close);
  std::string path = (std::filesystem::temp_directory_path() /
                      ("kestro_scan_" + std::to_string(::getpid()) + ".csv")).string();
  std::string csv;
  try {
    CsvExport ex(path, 1000, 0);
    if (ex.feed("h\n") == CsvExport::Step::kHeader) ex.start("", ncols + 1);
    ex.feed(forced + "\n");
    ex.close();
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    csv = ss.str();
  } catch (const kestro::Error&) {
    std::filesystem::remove(path);
    return std::nullopt;
  }
  std::filesystem::remove(path);
  const std::string tail = ncols ? ",{}\n" : "{}\n";
  if (csv.size() < tail.size() || csv.compare(csv.size() - tail.size(), tail.size(), tail) != 0) return std::nullopt;
  std::string row = csv.substr(0, csv.size() - tail.size());
  // a row of one empty field is written quoted, which the extra value hid
  return (ncols == 1 && row.empty() ? "\"\"" : row) + "\n";
}

struct Scanned {
  bool taken;
  std::string csv;
};

Scanned scan(const std::string& line, std::size_t ncols) {
  kestro::csv::Buffer out;
  out.put(std::string_view("prefix|"));
  ScanScratch scratch;
  bool taken = scan_row(line, ncols, out, scratch);
  std::string all(out.view());
  EXPECT_EQ(all.substr(0, 7), "prefix|") << line;
  if (!taken) EXPECT_EQ(all, "prefix|") << "a declined line wrote: " << line;
  // Read from a padded buffer, where bytes after the line (here ones that
  // would close a string or a row) are readable: the same answer.
  std::string padded = line + std::string(64, '"') + "]\n";
  for (std::size_t k = line.size(); k < padded.size(); k += 3) padded[k] = ']';
  kestro::csv::Buffer out2;
  ScanScratch scratch2;
  bool taken2 = scan_row(std::string_view(padded.data(), line.size()), padded.size(), ncols, out2, scratch2);
  EXPECT_EQ(taken2, taken) << line;
  if (taken && taken2) EXPECT_EQ(std::string(out2.view()), all.substr(7)) << line;
  // Read as the first of the lines still to split: it ends at its break
  // (after it, what would close a string or a row).
  for (const char* brk : {"\n", "\r\n", "\r"}) {
    std::string text = line + brk + "\"]\n[1]\n";
    kestro::csv::Buffer out3;
    ScanScratch scratch3;
    std::size_t n = kestro::query::scan_row_line(text, text.size(), ncols, out3, scratch3);
    bool has_break = line.find_first_of("\r\n") != std::string::npos;
    if (!has_break) EXPECT_EQ(n != kestro::query::kNoRowLine, taken) << line;
    if (n != kestro::query::kNoRowLine) {
      EXPECT_TRUE(taken) << "taken as the first line only: " << line;
      EXPECT_EQ(n, line.size()) << line;
      EXPECT_EQ(std::string(out3.view()), all.substr(7)) << line;
    } else {
      EXPECT_EQ(out3.size(), 0u) << line;
    }
  }
  return {taken, all.substr(7)};
}

std::size_t count_values(const std::string& line) {
  // top-level commas outside strings, for lines made by the tests
  std::size_t open = line.find('[');
  if (open == std::string::npos) return 0;
  std::size_t first = line.find_first_not_of(" \t", open + 1);
  if (first == std::string::npos || line[first] == ']') return 0;
  std::size_t depth = 0, n = 0;
  bool in_str = false;
  for (std::size_t i = open; i < line.size(); ++i) {
    char c = line[i];
    if (in_str) {
      if (c == '\\') ++i;
      else if (c == '"') in_str = false;
      continue;
    }
    if (c == '"') in_str = true;
    if (c == '[' || c == '{') ++depth;
    if (c == ']' || c == '}') --depth;
    if (depth == 1 && c == ',') ++n;
  }
  return n + 1;
}

// The scanner agrees with the full parser on `line`: same bytes when it
// takes it, and it never takes a line the full parser rejects.
void expect_agrees(const std::string& line, bool must_take) {
  std::size_t ncols = count_values(line);
  Scanned s = scan(line, ncols);
  auto full = full_parser_row(line, ncols);
  if (s.taken) {
    ASSERT_TRUE(full.has_value()) << "taken but not valid: " << line;
    EXPECT_EQ(s.csv, *full) << line;
  }
  if (must_take) EXPECT_TRUE(s.taken) << line;
}

}  // namespace

TEST(JsonRowScan, SameBytesAsTheFullParserForTheShapesItTakes) {
  const char* lines[] = {
      R"([1, "a", 2.5, true, false, null])",
      "[\t1 ,\"x\"\t, [ ] ]",
      R"(["a,b", "plain", "", "it's"])",
      R"(["q\"uote", "back\\slash", "line\nbreak", "cr\rx", "tab\tx", "\/\b\f"])",
      R"(["\u00e9\u4e2d\ud83d\ude00", "\u0000", "\u0041,"])",
      "[\"名字と名前\", \"Zürich, CH\", \"\xf0\x9f\x98\x80\"]",
      R"([0, -0, 12345678901234567890123, -9223372036854775809])",
      R"([0.0, -0.0, 1.50, 100.0, 0.0001, 0.00001, 1e16, 1E-5, 2.5e+3, 1e400, -1e-400])",
      R"([123456789012345.6, 1234567890123456.7, 0.30000000000000004, 9007199254740993.0])",
      R"([[1, "a", [true, null, []]], ["it's", "\"", "\n\u00a0\u200b\u0085"]])",
      R"([[1.0, -0, 1e22, "x,y"], "0"])",
      R"([])",
  };
  for (const char* line : lines) expect_agrees(line, true);
}

TEST(JsonRowScan, DeclinesWhatItIsNotSureOfAndNeverTakesInvalidJson) {
  const char* lines[] = {
      R"({"a": 1})", "5", "null", "  ", R"([{"a": 1}])", R"([1, {"k": 2}])",
      "[1,2", "[1,2]]", "[1,2] [3]", "[1,]", "[,1]", "[01]", "[1.]", "[.5]", "[1e]", "[-]", "[+1]",
      "[NaN]", "[Infinity]", "[tru]", "[truex]", "[nul]", "[\"abc]", "[\"a\x01\"]", "[\"\\x\"]",
      "[\"\\u12\"]", "[\"\\ud800\"]", "[\"\\udc00\"]", "[\"\\ud800\\u0041\"]", "[\"\xff\"]",
      "[\"\xc0\xaf\"]", "[\"\xed\xa0\x80\"]", "[\"\xf4\x90\x80\x80\"]", "[\"\xe4\xb8\"]",
      "\xef\xbb\xbf[1]", "[1]\v", "[1] x",
      // a string the line ends in, short or long of a wide piece
      "[\"abcdefghijklmnopqrstuvwxyz]", "[\"abcdefghijklmno]", "[\"abcdefghijklmnopqrstuvwxyz\\n]",
      "[1, \"abcdefghijklmnopqrstuvwxyz0123456789", "[\"abcdefghijklm\\",
  };
  for (const char* line : lines) {
    Scanned s = scan(line, count_values(line));
    EXPECT_FALSE(s.taken) << line;
  }
  // too deep for it, a wrong count
  EXPECT_FALSE(scan(std::string(40, '[') + std::string(40, ']'), 1).taken);
  EXPECT_FALSE(scan("[1, 2]", 3).taken);
  EXPECT_FALSE(scan("[1, 2]", 1).taken);
}

TEST(JsonRowScan, RandomRowsAndTheirCorruptionsAgreeWithTheFullParser) {
  std::mt19937 rng(20261208);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  const char* atoms[] = {"0", "-0", "7", "-12", "3.25", "1e5", "-2.5E-7", "1e308", "0.1", "123456789.125",
                         "true", "false", "null", "\"\"", "\"a,b\"", "\"x\\\"y\"", "\"\\u00e9\"",
                         "\"名字\"", "\"\\ud83d\\ude00\"", "\"tab\\tend\"", "\" lead\"",
                         "\"a longer text, with a comma, read in wide pieces\"",
                         "\"Zürich and 名字と名前, longer than a piece\"",
                         "\"an escape \\n past the first piece of it, then more\"",
                         "\"\\u0022q\\u002c\"", "\"a\\u000ab\\u000d\"", "\"\\/ over \\t sixteen bytes, \\u00e9\"",
                         "\"it's\"", "\"del\x7f\""};
  std::function<std::string(int)> value = [&](int depth) -> std::string {
    if (depth < 3 && pick(5) == 0) {
      std::string s = "[";
      for (int k = 0, n = pick(4); k < n; ++k) s += (k ? ", " : "") + value(depth + 1);
      return s + "]";
    }
    return atoms[pick(sizeof atoms / sizeof *atoms)];
  };
  const std::string noise = "[]{}\",:\\ \t0-.eEtfnu\x01\x80\xc3\xa9";
  for (int i = 0; i < 3000; ++i) {
    std::string line = "[";
    for (int k = 0, n = 1 + pick(5); k < n; ++k) line += (k ? (pick(2) ? "," : " , ") : "") + value(0);
    line += "]";
    expect_agrees(line, true);
    // one byte changed, dropped or added: taken only if still valid
    std::string bad = line;
    std::size_t at = rng() % bad.size();
    switch (pick(3)) {
      case 0: bad[at] = noise[pick(static_cast<int>(noise.size()))]; break;
      case 1: bad.erase(at, 1); break;
      default: bad.insert(at, 1, noise[pick(static_cast<int>(noise.size()))]);
    }
    expect_agrees(bad, false);
  }
}
