#pragma once
// A direct scanner for the common shape of a result row line: a JSON array
// of strings without escapes, numbers, true/false/null and arrays of those.
// It writes the same CSV bytes as the full JSON parser of query_export.cpp in
// one pass over the line, without building the parser's index. Anything
// else (escapes, objects, control characters, invalid UTF-8, deep nesting,
// a wrong value count, any syntax error) is declined and left to the full
// parser, which also words the errors. Pure C++, safe without the GIL.
#include <cstddef>
#include <string>
#include <string_view>

#include "kestro/csv_writer.hpp"

namespace kestro::query {

// Texts reused from row to row by one thread.
struct ScanScratch {
  csv::Buffer value;  // a nested value's text
  csv::Buffer text;   // a string with escapes, unescaped
  std::string repr;   // a nested string's repr, when it needs escapes
};

// Appends the CSV row of `line` (its `ncols` values, then "\n") to `out`
// and returns true; or returns false with `out` unchanged when the line is
// not one it handles. Only valid JSON is ever accepted.
bool scan_row(std::string_view line, std::size_t ncols, csv::Buffer& out, ScanScratch& scratch);
// The same, where `room` bytes (at least the line's) may be read from
// line.data() on: the line's buffer is padded, so texts are read in wide
// pieces without a check at every byte.
bool scan_row(std::string_view line, std::size_t room, std::size_t ncols, csv::Buffer& out, ScanScratch& scratch);

// The same for the row line that starts `text` (lines still to split, the
// row's end unknown): when the row is followed, after blanks, by a line
// break, appends it and returns the break's offset; otherwise returns
// kNoRowLine with `out` unchanged, the line left to be found and read
// the usual way.
constexpr std::size_t kNoRowLine = static_cast<std::size_t>(-1);
std::size_t scan_row_line(std::string_view text, std::size_t room, std::size_t ncols, csv::Buffer& out,
                          ScanScratch& scratch);

}  // namespace kestro::query
