// The export's core alone: a file of the query API's answer (JSON header
// line, then one JSON row per line) turned into a CSV file on one thread,
// with no server and no Python. Reads the input in pieces as the binding
// is handed them, and prints MB/s of input by wall clock and by CPU time.
//
//   kestro_bench_query_csv INPUT.jsonl OUTPUT.csv [block_size] [runs]
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <simdjson.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "kestro/csv_writer.hpp"
#include "kestro/error.hpp"
#include "kestro/query_export.hpp"

namespace {

using kestro::query::CsvExport;

constexpr std::size_t kPiece = 8 << 20;  // what the binding reads at a time

double cpu_seconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  auto s = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return s(ru.ru_utime) + s(ru.ru_stime);
}

// The header line's column names as the binding takes them (data.headers).
std::vector<std::string> header_columns(std::string_view line) {
  simdjson::dom::parser parser;
  simdjson::dom::element doc = parser.parse(line.data(), line.size());
  std::vector<std::string> cols;
  for (simdjson::dom::element c : doc["data"]["headers"].get_array()) cols.emplace_back(std::string_view(c.get_string()));
  return cols;
}

struct Run {
  double wall = 0, cpu = 0;
  std::uint64_t lines = 0, rows = 0, bytes_in = 0;
};

Run export_once(const char* input, const char* output, std::size_t block_size, std::size_t split_min,
               std::size_t piece_size) {
  int fd = ::open(input, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    std::perror(input);
    std::exit(2);
  }
  std::unique_ptr<char[]> piece(new char[piece_size]);  // not zero-filled: read into
  ::unlink(output);  // the last run's file is not this run's to truncate
  Run r;
  double cpu0 = cpu_seconds();
  auto t0 = std::chrono::steady_clock::now();
  {
    // by default one thread parses (no split); blocks are still written
    // behind it
    CsvExport ex(output, block_size, split_min);
    auto answer = [&](CsvExport::Step s, bool final) {
      while (s == CsvExport::Step::kHeader) {
        auto cols = header_columns(ex.header_line());
        ex.start(kestro::csv::header_line(cols), cols.size());
        s = final ? ex.finish() : ex.feed({});
      }
    };
    for (;;) {
      ssize_t n = ::read(fd, piece.get(), piece_size);
      if (n < 0) {
        std::perror("read");
        std::exit(2);
      }
      if (n == 0) break;
      r.bytes_in += static_cast<std::uint64_t>(n);
      answer(ex.feed(std::string_view(piece.get(), static_cast<std::size_t>(n))), false);
    }
    answer(ex.finish(), true);
    ex.take_progress();
    r.lines = ex.lines();
    r.rows = ex.rows();
    ex.close();
  }
  r.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  r.cpu = cpu_seconds() - cpu0;
  ::close(fd);
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s INPUT.jsonl OUTPUT.csv [block_size] [runs] [split_min] [piece_bytes]\n", argv[0]);
    return 2;
  }
  std::size_t block_size = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 100000;
  int runs = argc > 4 ? std::atoi(argv[4]) : 3;
  // as the binding runs it: split_min 262144, pieces of 1048576 (the
  // query API's chunks)
  std::size_t split_min = argc > 5 ? std::strtoul(argv[5], nullptr, 10) : 0;
  std::size_t piece_size = argc > 6 ? std::strtoul(argv[6], nullptr, 10) : kPiece;
  if (piece_size == 0) piece_size = kPiece;
  std::vector<Run> all;
  try {
    for (int k = 0; k < std::max(runs, 1); ++k) all.push_back(export_once(argv[1], argv[2], block_size, split_min, piece_size));
  } catch (const kestro::Error& e) {
    std::fprintf(stderr, "export failed: %s\n", e.what());
    return 1;
  }
  std::vector<double> walls, cpus;
  for (const auto& r : all) {
    walls.push_back(r.wall);
    cpus.push_back(r.cpu);
  }
  std::sort(walls.begin(), walls.end());
  std::sort(cpus.begin(), cpus.end());
  double mb = all[0].bytes_in / 1e6;
  std::printf("core alone: %.1f MB of JSON lines, %llu rows, %d runs, ", mb,
              static_cast<unsigned long long>(all[0].rows), static_cast<int>(all.size()));
  if (split_min == 0)
    std::printf("one parsing thread\n");
  else
    std::printf("pieces of %zu bytes, stretches from %zu bytes split over two threads\n", piece_size, split_min);
  std::printf("  wall: min %.3f s (%.0f MB/s), median %.3f s (%.0f MB/s)\n", walls.front(), mb / walls.front(),
              walls[walls.size() / 2], mb / walls[walls.size() / 2]);
  std::printf("  CPU:  min %.3f s (%.0f MB/s), median %.3f s (%.0f MB/s)\n", cpus.front(), mb / cpus.front(),
              cpus[cpus.size() / 2], mb / cpus[cpus.size() / 2]);
  return 0;
}
