#pragma once
// Rows of plain values (copied out of Python rows by the bindings, with the
// GIL) written as CSV rows without the GIL, as pandas writes the Python
// values: ints in decimal, floats by repr (NaN empty), True/False, nulls
// empty, texts with minimal quoting. Pure C++; no shared state.
#include <cstddef>
#include <cstdint>
#include <string>

#include "kestro/csv_writer.hpp"

namespace kestro::csv {

struct Cell {
  enum class Kind : std::uint8_t { kNull, kTrue, kFalse, kInt, kFloat, kText };
  Kind kind = Kind::kNull;
  union {
    std::int64_t i;
    double d;
    struct {
      const char* data;  // UTF-8, owned by whoever made the cells
      std::size_t size;
    } text;
  };
  Cell() : i(0) {}
};

// Appends `nrows` rows of `ncols` cells each ("\n" after each row; a row of
// one empty field is written "\"\""). `scratch` holds a float's text.
void put_rows(Buffer& out, const Cell* cells, std::size_t nrows, std::size_t ncols, std::string& scratch);

}  // namespace kestro::csv
