#include "kestro/csv_cells.hpp"

#include <charconv>

#include "kestro/text.hpp"

namespace kestro::csv {

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
      }
    }
    out.end_row(row_start, ncols);
  }
}

}  // namespace kestro::csv
