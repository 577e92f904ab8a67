#pragma once
// The query API's answer (a stream of lines: a JSON header object, then one
// JSON row per line) turned into a CSV result file, one block at a time
// (a progress line per block; the text goes to the file in slices of about
// 1 MiB, so memory does not grow with the block size).
// Pure C++ (simdjson), safe without the GIL; one thread at a time.
//
// Lines end at "\n", "\r" or "\r\n" and may be split anywhere across the
// pieces fed in, UTF-8 sequences included. Counting follows the export's
// progress rules: an empty line is skipped and not counted; every other
// line is counted (`lines()`), the header line too; a line that is only
// white space, or that holds JSON null, is counted and adds no row. A row
// must be a JSON array with exactly the header's number of values; each
// value is written as pandas writes the Python object json.loads gives for
// it, except that integers are always written exactly as integers.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kestro::query {

class CsvExport {
 public:
  enum class Step {
    kMore,    // every complete line so far is done; feed more
    kHeader,  // the first non-empty line is waiting: header_line(), then start()
  };

  // Nothing is opened until start(). block_size >= 1 (else Error kFormat).
  // Stretches of complete lines of at least `split_min` bytes are parsed
  // in two halves on two threads (0: never); the result is the same.
  CsvExport(std::string path, std::size_t block_size, std::size_t split_min = 256 << 10);
  // Without close(), removes the file (a partial result never stays).
  ~CsvExport();
  CsvExport(const CsvExport&) = delete;
  CsvExport& operator=(const CsvExport&) = delete;

  // Takes the next piece of the body (copied) and handles every complete
  // line in it. Stops at the first non-empty line until start() was called:
  // call feed({}) after start() to go on with the lines already buffered.
  // Throws Error(kParse) for a malformed row, Error(kFormat) for a row of
  // the wrong length, Error(kIo) when a block cannot be written; the
  // progress counts due before the failing line stay in take_progress().
  Step feed(std::string_view bytes);
  // The body ended: a last line without a line break is handled too.
  Step finish();

  // The first non-empty line (valid after kHeader until the next feed).
  std::string_view header_line() const;
  // Creates or truncates the file with `header` (the CSV header line) and
  // counts the header line. Rows must then have `ncols` values.
  void start(std::string_view header, std::size_t ncols);
  // Appends the rows still buffered and closes the file, keeping it.
  void close();
  // Closes and removes the file, if any. Never fails.
  void discard() noexcept;

  // Line counts at which a progress line is due (multiples of block_size),
  // in order, since the last call.
  std::vector<std::uint64_t> take_progress();
  std::uint64_t lines() const noexcept;
  std::uint64_t rows() const noexcept;
  bool started() const noexcept;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kestro::query
