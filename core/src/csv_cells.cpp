#include "kestro/csv_cells.hpp"

#include <charconv>
#include <cstdint>

#include "kestro/number_text.hpp"

namespace kestro::csv {

namespace {

// Appends the UTF-8 of `n` code points (none a surrogate).
template <class Unit>
void append_utf8(std::string& out, const Unit* p, std::size_t n) {
  for (std::size_t k = 0; k < n; ++k) {
    const std::uint32_t c = p[k];
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      const char b[2] = {static_cast<char>(0xc0 | c >> 6), static_cast<char>(0x80 | (c & 0x3f))};
      out.append(b, 2);
    } else if (c < 0x10000) {
      const char b[3] = {static_cast<char>(0xe0 | c >> 12), static_cast<char>(0x80 | (c >> 6 & 0x3f)),
                         static_cast<char>(0x80 | (c & 0x3f))};
      out.append(b, 3);
    } else {
      const char b[4] = {static_cast<char>(0xf0 | c >> 18), static_cast<char>(0x80 | (c >> 12 & 0x3f)),
                         static_cast<char>(0x80 | (c >> 6 & 0x3f)), static_cast<char>(0x80 | (c & 0x3f))};
      out.append(b, 4);
    }
  }
}

}  // namespace

void put_rows(Buffer& out, const Cell* cells, std::size_t nrows, std::size_t ncols, std::string& scratch) {
  for (std::size_t r = 0; r < nrows; ++r) {
    std::size_t row_start = out.size();
    for (std::size_t k = 0; k < ncols; ++k) {
      const Cell& c = *cells++;
      if (k) out.put(',');
      switch (c.kind()) {
        case Cell::Kind::kNull:
          break;
        case Cell::Kind::kTrue:
          out.put(std::string_view("True"));
          break;
        case Cell::Kind::kFalse:
          out.put(std::string_view("False"));
          break;
        case Cell::Kind::kInt: {
          char buf[24];
          auto res = std::to_chars(buf, buf + sizeof buf, c.integer_value());
          out.put(std::string_view(buf, static_cast<std::size_t>(res.ptr - buf)));
          break;
        }
        case Cell::Kind::kFloat:
          if (c.real_value() != c.real_value()) break;  // NaN: pandas' null
          scratch.clear();
          text::append_float_repr(scratch, c.real_value());
          out.put(scratch);
          break;
        case Cell::Kind::kText:
          out.put_field(c.text_value());
          break;
        case Cell::Kind::kUnits1:
        case Cell::Kind::kUnits2:
        case Cell::Kind::kUnits4:
          scratch.clear();
          if (c.kind() == Cell::Kind::kUnits1)
            append_utf8(scratch, static_cast<const std::uint8_t*>(c.units()), c.size());
          else if (c.kind() == Cell::Kind::kUnits2)
            append_utf8(scratch, static_cast<const std::uint16_t*>(c.units()), c.size());
          else
            append_utf8(scratch, static_cast<const std::uint32_t*>(c.units()), c.size());
          out.put_field(scratch);
          break;
      }
    }
    out.end_row(row_start, ncols);
  }
}

}  // namespace kestro::csv
