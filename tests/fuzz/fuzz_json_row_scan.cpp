// The one-pass row scanner against the full parser: a line the scanner
// takes must be valid JSON that simdjson and the formatter turn into the
// very same CSV row, whether the line's end is known or found.
// Input: one byte for the column count, then the line.
#include <simdjson.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "kestro/csv_writer.hpp"
#include "kestro/json_row_scan.hpp"
#include "kestro/json_text.hpp"
#include "kestro/number_text.hpp"

namespace od = simdjson::ondemand;
namespace json_text = kestro::json_text;

namespace {

// The row as the export's full parser writes it; false when refused.
bool full_parser_row(std::string_view line, std::size_t ncols, std::string& out) {
  static od::parser parser;
  simdjson::padded_string padded(line);
  try {
    od::document doc;
    if (parser.iterate(padded).get(doc)) return false;
    od::array arr;
    if (doc.get_array().get(arr)) return false;
    std::size_t start = out.size(), n = 0;
    for (auto item : arr) {
      od::value v;
      if (item.get(v)) return false;
      if (n++) out += ',';
      switch (json_text::type_of(v)) {
        case od::json_type::string:
          kestro::csv::append_field(out, json_text::string_of(v));
          break;
        case od::json_type::null:
          json_text::expect_null(v);
          break;
        case od::json_type::boolean:
          out += json_text::bool_of(v) ? "True" : "False";
          break;
        case od::json_type::array:
        case od::json_type::object: {
          std::string text;
          json_text::append_py(text, v, 2);
          kestro::csv::append_field(out, text);
          break;
        }
        case od::json_type::number: {
          std::string_view token;
          double nonfinite;
          int kind = json_text::number_token(v, token, nonfinite);
          if (kind == 1)
            out += token == "-0" ? std::string_view("0") : token;
          else if (kind == 2)
            json_text::append_float_token(out, token);
          else if (!std::isnan(nonfinite))
            kestro::text::append_float_repr(out, nonfinite);
          break;
        }
      }
    }
    if (n != ncols) return false;
    if (doc.current_location().error() != simdjson::OUT_OF_BOUNDS) return false;
    kestro::csv::end_row(out, start, ncols);
    return true;
  } catch (const json_text::Malformed&) {
    return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::size_t ncols = data[0] % 8;
  std::string_view line(reinterpret_cast<const char*>(data + 1), size - 1);
  // the scanner may read up to the padding past the line
  std::string buf(line);
  buf.append(simdjson::SIMDJSON_PADDING, '\0');
  kestro::csv::Buffer out;
  kestro::query::ScanScratch scratch;
  out.put(std::string_view("x"));  // rows are appended after what is there
  bool taken = kestro::query::scan_row(std::string_view(buf.data(), line.size()), buf.size(), ncols, out, scratch);
  if (!taken) {
    if (out.view() != "x") std::abort();  // a declined line leaves nothing
  } else {
    std::string want = "x";
    if (!full_parser_row(line, ncols, want)) std::abort();
    if (out.view() != want) std::abort();
  }
  // the same line followed by a break, its end unknown to the scanner
  if (line.find_first_of("\r\n") == std::string_view::npos) {
    std::string with_break(line);
    with_break += '\n';
    std::size_t text_size = with_break.size();
    with_break.append(simdjson::SIMDJSON_PADDING, '\0');
    kestro::csv::Buffer out2;
    std::size_t at = kestro::query::scan_row_line(std::string_view(with_break.data(), text_size), with_break.size(),
                                                  ncols, out2, scratch);
    if (taken != (at != kestro::query::kNoRowLine)) std::abort();
    if (taken && (at != line.size() || out2.view() != out.view().substr(1))) std::abort();
  }
  return 0;
}
