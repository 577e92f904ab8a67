#pragma once
// CSV text exactly as pandas' DataFrame.to_csv writes it with its default
// dialect (through Python's csv module): comma separator, minimal quoting,
// quote character '"' doubled inside, line terminator "\n", nulls as empty
// fields. Pure C++, safe without the GIL; no shared state.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "kestro/fs.hpp"

namespace kestro::csv {

// The one field writer of both export paths: needs_quotes() decides,
// write_quoted() writes; append_field() and Buffer::put_field() only differ
// in where the bytes go.

// True when `field` must be quoted: it holds ',', '"', '\n' or '\r'. A bare
// '\r' left unquoted ends the row for every CSV reader (pandas' too), so it
// is quoted although the line terminator is "\n" alone. Eight bytes at a
// time, since every text field of an export goes through here.
inline bool needs_quotes(std::string_view field) noexcept {
  constexpr std::uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
  auto any_byte = [](std::uint64_t w, std::uint64_t pat) {
    std::uint64_t x = w ^ pat;
    return ((x - ones) & ~x & highs) != 0;
  };
  const char* p = field.data();
  std::size_t n = field.size();
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    if (any_byte(w, ones * ',') || any_byte(w, ones * '"') || any_byte(w, ones * '\n') ||
        any_byte(w, ones * '\r'))
      return true;
  }
  for (; n > 0; ++p, --n)
    if (*p == ',' || *p == '"' || *p == '\n' || *p == '\r') return true;
  return false;
}

// Most bytes write_quoted() writes for `field`: every byte a quote.
constexpr std::size_t quoted_size_max(std::string_view field) noexcept { return 2 * field.size() + 2; }

// Writes `field` quoted, inner quotes doubled, at `dst` (room for
// quoted_size_max(field) bytes); returns the end of what it wrote.
char* write_quoted(char* dst, std::string_view field) noexcept;

// Appends one field's text, quoted (inner quotes doubled) when needed.
void append_field(std::string& out, std::string_view field);

// Ends the row that starts at out[row_start] and has `nfields` fields: a
// row of a single empty field (an empty text or a null) is written as "\"\"",
// so that it is not read back as a blank line; then "\n".
void end_row(std::string& out, std::size_t row_start, std::size_t nfields);

// The header line of `cols`, terminator included ("" for one empty name,
// "\n" alone for no columns).
std::string header_line(const std::vector<std::string>& cols);

// Scalars as pandas writes them: integers in decimal; floats by Python's
// repr, except NaN, which is pandas' null and so an empty field.
void append_int(std::string& out, std::int64_t value);
void append_float(std::string& out, double value);

// A growing byte buffer for a block of CSV rows, with appends cheap enough
// for the per-value hot path (std::string's are out of line). Owns its
// memory; clear() keeps the capacity.
class Buffer {
 public:
  Buffer() = default;
  ~Buffer();
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  void swap(Buffer& other) noexcept;

  std::size_t size() const noexcept { return static_cast<std::size_t>(cur_ - begin_); }
  std::string_view view() const noexcept { return {begin_, size()}; }
  void clear() noexcept { cur_ = begin_; }
  // Drops what was appended after the first n bytes (n <= size()).
  void truncate(std::size_t n) noexcept { cur_ = begin_ + n; }

  void put(char c) {
    if (cur_ == end_) grow(1);
    *cur_++ = c;
  }
  void put(std::string_view s) {
    std::size_t n = s.size();
    if (static_cast<std::size_t>(end_ - cur_) < n) grow(n);
    const char* from = s.data();
    // Most pieces are short: two overlapping word copies beat a call.
    if (n > 16 && n <= 32) {
      char a[16], b[16];
      std::memcpy(a, from, 16);
      std::memcpy(b, from + n - 16, 16);
      std::memcpy(cur_, a, 16);
      std::memcpy(cur_ + n - 16, b, 16);
    } else if (n >= 8 && n <= 16) {
      std::uint64_t a, b;
      std::memcpy(&a, from, 8);
      std::memcpy(&b, from + n - 8, 8);
      std::memcpy(cur_, &a, 8);
      std::memcpy(cur_ + n - 8, &b, 8);
    } else if (n >= 4 && n < 8) {
      std::uint32_t a, b;
      std::memcpy(&a, from, 4);
      std::memcpy(&b, from + n - 4, 4);
      std::memcpy(cur_, &a, 4);
      std::memcpy(cur_ + n - 4, &b, 4);
    } else if (n < 4) {
      for (std::size_t k = 0; k < n; ++k) cur_[k] = from[k];
    } else {
      std::memcpy(cur_, from, n);
    }
    cur_ += n;
  }
  // At least n writable bytes at the end; what was written there is kept
  // by commit(end of it).
  char* room(std::size_t n) {
    if (static_cast<std::size_t>(end_ - cur_) < n) grow(n);
    return cur_;
  }
  void commit(char* written_end) noexcept { cur_ = written_end; }
  // One field, quoted as append_field() quotes it.
  void put_field(std::string_view s) {
    if (needs_quotes(s)) return put_quoted(s);
    put(s);
  }
  // Ends the row that started at size() == row_start, as end_row().
  void end_row(std::size_t row_start, std::size_t nfields) {
    if (nfields == 1 && size() == row_start) put("\"\"");
    put('\n');
  }

 private:
  void grow(std::size_t need);
  void put_quoted(std::string_view s);

  char* begin_ = nullptr;
  char* cur_ = nullptr;
  char* end_ = nullptr;
};

// A result file written one block at a time. It owns its descriptor; one
// thread at a time; needs no GIL. Every failure throws kestro::Error(kIo)
// with errno and path. Unless keep() succeeded, the destructor closes the
// file and removes it, so that an abandoned export never leaves a partial
// file that looks complete.
class BlockFile {
 public:
  // Creates or truncates `path` (mode 0666 less the umask) and writes
  // `header`.
  BlockFile(std::string path, std::string_view header);
  ~BlockFile();
  BlockFile(const BlockFile&) = delete;
  BlockFile& operator=(const BlockFile&) = delete;

  // Appends all of `block` (short writes and EINTR are retried).
  void append(std::string_view block);
  // Closes the file and keeps it.
  void keep();
  // Closes the file and removes it (only ever a regular file this object
  // opened). Never fails.
  void discard() noexcept;

  const std::string& path() const noexcept { return path_; }
  bool is_open() const noexcept { return file_.is_open(); }

 private:
  std::string path_;
  fs::File file_;
};

}  // namespace kestro::csv
