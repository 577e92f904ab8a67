// The CSV writer read back: rows of cells made from the input, written by
// put_rows (the Presto path) and field by field (the export's writers),
// must give the same bytes, and a CSV reader must get every text back
// byte for byte, numbers as their values, nulls and NaN as empty fields.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "kestro/csv_cells.hpp"
#include "kestro/csv_writer.hpp"
#include "kestro/number_text.hpp"

namespace csv = kestro::csv;

namespace {

struct Reader {
  const std::uint8_t* p;
  const std::uint8_t* end;
  bool more() const { return p < end; }
  std::uint8_t byte() { return p < end ? *p++ : 0; }
  template <class T>
  T value() {
    T v{};
    std::size_t n = std::min<std::size_t>(sizeof v, static_cast<std::size_t>(end - p));
    std::memcpy(&v, p, n);
    p += n;
    return v;
  }
};

// Python's csv reading of `text` (minimal quoting, '"' doubled, rows ended
// by "\n"); false for text that reader would not give back as written.
bool read_csv(std::string_view text, std::vector<std::vector<std::string>>& rows) {
  std::size_t i = 0;
  while (i < text.size()) {
    std::vector<std::string> row;
    for (;;) {
      std::string field;
      if (i < text.size() && text[i] == '"') {
        for (++i;; ++i) {
          if (i >= text.size()) return false;
          if (text[i] == '"') {
            if (i + 1 < text.size() && text[i + 1] == '"') {
              field += '"';
              ++i;
              continue;
            }
            ++i;
            break;
          }
          field += text[i];
        }
      } else {
        while (i < text.size() && text[i] != ',' && text[i] != '\n') {
          if (text[i] == '"' || text[i] == '\r') return false;  // bare quote or CR
          field += text[i++];
        }
      }
      row.push_back(std::move(field));
      if (i >= text.size()) return false;  // every row ends in "\n"
      if (text[i++] == '\n') break;
      if (text[i - 1] != ',') return false;
    }
    rows.push_back(std::move(row));
  }
  return true;
}

// UTF-8 of code point cp.
void put_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Reader in{data, data + size};
  std::size_t ncols = in.byte() % 4 + 1;
  // the cells, what a reader must get back for each, and their storage
  std::vector<csv::Cell> cells;
  std::vector<std::string> want;
  std::vector<std::string> texts;
  std::vector<std::vector<std::uint16_t>> units2;
  std::vector<std::vector<char32_t>> units4;
  texts.reserve(size);
  units2.reserve(size);
  units4.reserve(size);
  while (in.more() || cells.size() % ncols != 0) {
    switch (in.byte() % 8) {
      case 0:
        cells.push_back(csv::Cell::null());
        want.emplace_back();
        break;
      case 1: {
        bool b = in.byte() & 1;
        cells.push_back(csv::Cell::boolean(b));
        want.emplace_back(b ? "True" : "False");
        break;
      }
      case 2: {
        auto v = in.value<std::int64_t>();
        cells.push_back(csv::Cell::integer(v));
        want.push_back(std::to_string(v));
        break;
      }
      case 3: {
        auto v = in.value<double>();
        cells.push_back(csv::Cell::real(v));
        want.push_back(std::isnan(v) ? std::string() : kestro::text::float_repr(v));
        break;
      }
      case 4:
      case 5: {
        std::size_t n = in.byte();
        std::string& t = texts.emplace_back();
        for (std::size_t k = 0; k < n && in.more(); ++k) t += static_cast<char>(in.byte());
        cells.push_back(csv::Cell::text(t.data(), t.size()));
        want.push_back(t);
        break;
      }
      case 6: {  // UCS-2 units, surrogates left out
        std::size_t n = in.byte() % 32;
        auto& u = units2.emplace_back();
        std::string& w = want.emplace_back();
        for (std::size_t k = 0; k < n && in.more(); ++k) {
          auto c = in.value<std::uint16_t>();
          if (c >= 0xD800 && c <= 0xDFFF) c = '"';
          u.push_back(c);
          put_utf8(w, c);
        }
        cells.push_back(csv::Cell::code_points(u.data(), u.size(), 2));
        break;
      }
      default: {  // UCS-4 units below 0x110000, surrogates left out
        std::size_t n = in.byte() % 16;
        auto& u = units4.emplace_back();
        std::string& w = want.emplace_back();
        for (std::size_t k = 0; k < n && in.more(); ++k) {
          char32_t c = in.value<std::uint32_t>() % 0x110000;
          if (c >= 0xD800 && c <= 0xDFFF) c = ',';
          u.push_back(c);
          put_utf8(w, c);
        }
        cells.push_back(csv::Cell::code_points(u.data(), u.size(), 4));
        break;
      }
    }
  }
  std::size_t nrows = cells.size() / ncols;
  csv::Buffer block;
  std::string scratch;
  csv::put_rows(block, cells.data(), nrows, ncols, scratch);
  // the same rows field by field, through both field writers
  std::string by_field;
  csv::Buffer by_buffer;
  for (std::size_t r = 0; r < nrows; ++r) {
    std::size_t start = by_field.size(), bstart = by_buffer.size();
    for (std::size_t c = 0; c < ncols; ++c) {
      if (c) {
        by_field += ',';
        by_buffer.put(',');
      }
      const std::string& w = want[r * ncols + c];
      csv::Cell::Kind kind = cells[r * ncols + c].kind();
      bool text = kind >= csv::Cell::Kind::kText;
      if (text) {
        csv::append_field(by_field, w);
        by_buffer.put_field(w);
      } else {
        by_field += w;
        by_buffer.put(w);
      }
    }
    csv::end_row(by_field, start, ncols);
    by_buffer.end_row(bstart, ncols);
  }
  if (block.view() != by_field || by_buffer.view() != by_field) std::abort();
  std::vector<std::vector<std::string>> rows;
  if (!read_csv(block.view(), rows) || rows.size() != nrows) std::abort();
  for (std::size_t r = 0; r < nrows; ++r) {
    if (rows[r].size() != ncols) std::abort();
    for (std::size_t c = 0; c < ncols; ++c)
      if (rows[r][c] != want[r * ncols + c]) std::abort();
  }
  return 0;
}
