// The whole export of an answer body: the same CSV bytes, counts and
// error, whether the body comes whole or in small pieces, and whether
// long stretches are parsed on one thread or two; a failure leaves no
// file. Input: piece size, column count, then the body (its first
// non-empty line is taken as the header).
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

#include "kestro/error.hpp"
#include "kestro/query_export.hpp"

using kestro::query::CsvExport;

namespace {

struct Outcome {
  std::string csv, error;
  std::uint64_t lines = 0, rows = 0;
  bool operator==(const Outcome& o) const {
    return csv == o.csv && error == o.error && lines == o.lines && rows == o.rows;
  }
};

Outcome run(std::string_view body, std::size_t piece, std::size_t ncols, std::size_t split_min) {
  static const std::string path =
      (std::filesystem::temp_directory_path() / ("kestro_fuzz_export_" + std::to_string(getpid()) + ".csv")).string();
  Outcome o;
  {
    CsvExport ex(path, 3, split_min);
    try {
      auto answer = [&](CsvExport::Step s, bool final) {
        while (s == CsvExport::Step::kHeader) {
          ex.start("h\n", ncols);
          s = final ? ex.finish() : ex.feed({});
        }
      };
      for (std::size_t at = 0; at < body.size(); at += piece) answer(ex.feed(body.substr(at, piece)), false);
      answer(ex.finish(), true);
      o.lines = ex.lines();
      o.rows = ex.rows();
      ex.close();
    } catch (const kestro::Error& e) {
      o.error = e.what();
    }
  }
  if (std::filesystem::exists(path)) {
    if (!o.error.empty()) std::abort();  // a failed export left its file
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    o.csv = s.str();
    std::filesystem::remove(path);
  }
  return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  std::size_t piece = data[0] % 64 + 1;
  std::size_t ncols = data[1] % 4 + 1;
  std::string_view body(reinterpret_cast<const char*>(data + 2), size - 2);
  Outcome whole = run(body, body.size() + 1, ncols, 0);
  if (!(run(body, piece, ncols, 0) == whole)) std::abort();
  if (!(run(body, body.size() + 1, ncols, 8) == whole)) std::abort();
  return 0;
}
