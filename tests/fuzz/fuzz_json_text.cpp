// The JSON-to-text formatter on any bytes: never a crash, however deep or
// broken the value; and what it formats is valid JSON (simdjson's
// validating parser agrees), NaN and the infinities aside.
#include <simdjson.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "kestro/json_text.hpp"

namespace od = simdjson::ondemand;
namespace json_text = kestro::json_text;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static od::parser parser;
  static simdjson::dom::parser validator;
  std::string_view input(reinterpret_cast<const char*>(data), size);
  simdjson::padded_string padded("[" + std::string(input) + "]");
  std::string out;
  bool formatted = false;
  try {
    od::document doc;
    if (parser.iterate(padded).get(doc)) return 0;
    od::array arr;
    if (doc.get_array().get(arr)) return 0;
    for (auto item : arr) {
      od::value v;
      if (item.get(v)) return 0;
      json_text::append_py(out, v, 2);
    }
    formatted = doc.current_location().error() == simdjson::OUT_OF_BOUNDS;
  } catch (const json_text::Malformed&) {
    return 0;
  }
  if (formatted && input.find_first_of("NI") == std::string_view::npos) {
    // its numbers are doubles and 64-bit integers; the formatter's own
    // number grammar, which takes any length, is checked apart
    simdjson::dom::element root;
    auto err = validator.parse(padded).get(root);
    if (err && err != simdjson::NUMBER_ERROR) std::abort();
  }
  return 0;
}
