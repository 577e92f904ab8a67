#pragma once
// Rows of plain values (copied out of Python rows by the bindings, with the
// GIL) written as CSV rows without the GIL, as pandas writes the Python
// values: ints in decimal, floats by repr (NaN empty), True/False, nulls
// empty, texts with minimal quoting. Pure C++; no shared state.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "kestro/csv_writer.hpp"

namespace kestro::csv {

// One value, 16 bytes: a batch of them is written by one thread and read by
// another, so their size is memory traffic on both. Trivially constructible
// (filled once, by the makers).
class Cell {
 public:
  // kText: UTF-8 bytes; kUnits1/2/4: code points stored in units of 1, 2
  // or 4 bytes (no surrogates), written as UTF-8.
  enum class Kind : std::uint8_t { kNull, kTrue, kFalse, kInt, kFloat, kText, kUnits1, kUnits2, kUnits4 };

  static Cell null() noexcept { return made(Kind::kNull, 0); }
  static Cell boolean(bool value) noexcept { return made(value ? Kind::kTrue : Kind::kFalse, 0); }
  static Cell integer(std::int64_t value) noexcept {
    Cell c = made(Kind::kInt, 0);
    c.i_ = value;
    return c;
  }
  static Cell real(double value) noexcept {
    Cell c = made(Kind::kFloat, 0);
    c.d_ = value;
    return c;
  }
  // `size` bytes of UTF-8 at `data`, owned by whoever made the cells (a
  // text of 2^56 bytes or more cannot exist in a 64-bit address space).
  static Cell text(const char* data, std::size_t size) noexcept {
    Cell c = made(Kind::kText, size);
    c.data_ = data;
    return c;
  }

  // `count` code points at `units`, `unit_size` (1, 2 or 4) bytes each,
  // owned as text() has it; the writer encodes them, so that whoever makes
  // the cells need not.
  static Cell code_points(const void* units, std::size_t count, unsigned unit_size) noexcept {
    Cell c = made(unit_size == 1 ? Kind::kUnits1 : unit_size == 2 ? Kind::kUnits2 : Kind::kUnits4, count);
    c.data_ = static_cast<const char*>(units);
    return c;
  }

  Kind kind() const noexcept { return static_cast<Kind>(size_kind_ & 0xff); }
  std::int64_t integer_value() const noexcept { return i_; }
  double real_value() const noexcept { return d_; }
  std::string_view text_value() const noexcept { return {data_, size()}; }
  const void* units() const noexcept { return data_; }
  // Bytes of a kText, code points of a kUnits*.
  std::size_t size() const noexcept { return static_cast<std::size_t>(size_kind_ >> 8); }

 private:
  static Cell made(Kind kind, std::size_t size) noexcept {
    Cell c;
    c.size_kind_ = static_cast<std::uint64_t>(size) << 8 | static_cast<std::uint8_t>(kind);
    c.i_ = 0;
    return c;
  }

  union {
    std::int64_t i_;
    double d_;
    const char* data_;
  };
  std::uint64_t size_kind_;  // text size << 8 | kind
};
static_assert(sizeof(Cell) == 16);

// Appends `nrows` rows of `ncols` cells each ("\n" after each row; a row of
// one empty field is written "\"\""). `scratch` holds a float's text.
void put_rows(Buffer& out, const Cell* cells, std::size_t nrows, std::size_t ncols, std::string& scratch);

}  // namespace kestro::csv
