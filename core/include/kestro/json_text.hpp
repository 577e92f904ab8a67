#pragma once
// The text Python's str() gives for what json.loads returns for a JSON
// value: strings by repr, numbers as Python writes int and float, true,
// false and null as True, False and None, arrays as lists and objects as
// dicts. Pure C++ (simdjson On-Demand), safe without the GIL; no shared
// state.
#include <simdjson.h>

#include <string>
#include <string_view>

#include "kestro/pytext.hpp"

namespace kestro::json_text {

// A value simdjson or the number grammar refused; `why` says what.
struct Malformed {
  std::string why;
};

// Arrays and objects in one row line may nest this many levels deep, the
// row's own array counting as the first; deeper is refused (Malformed).
// json.loads, which the export's rows follow, stops at the interpreter's
// recursion limit (1000 by default) near the same depth, and real answers
// nest a few levels. It also bounds the formatter's recursion.
constexpr int kMaxNesting = 1000;

// The non-finite tokens json.loads reads beside JSON's own: "NaN",
// "Infinity", "-Infinity" (trailing white space allowed), as their double;
// false for anything else.
bool nonfinite_token(std::string_view token, double& value) noexcept;

// The checked reads of a value: its type, a string's unescaped text, a
// boolean, and that a null literal really is null. Throw Malformed.
[[noreturn]] inline void malformed(simdjson::error_code err) { throw Malformed{simdjson::error_message(err)}; }

// A non-finite token (which simdjson does not type) counts as a number.
inline simdjson::ondemand::json_type type_of(simdjson::ondemand::value& v) {
  simdjson::ondemand::json_type type;
  if (auto err = v.type().get(type)) {
    double ignored;
    if (!nonfinite_token(v.raw_json_token(), ignored)) malformed(err);
    return simdjson::ondemand::json_type::number;
  }
  return type;
}

inline std::string_view string_of(simdjson::ondemand::value& v) {
  std::string_view s;
  if (auto err = v.get_string().get(s)) malformed(err);
  return s;
}

inline bool bool_of(simdjson::ondemand::value& v) {
  bool b;
  if (auto err = v.get_bool().get(b)) malformed(err);
  return b;
}

inline void expect_null(simdjson::ondemand::value& v) {
  bool is_null;
  if (auto err = v.is_null().get(is_null)) malformed(err);
  if (!is_null) throw Malformed{"invalid literal"};
}

// The raw text of a number value (trailing white space dropped) in
// `token`; returns 1 for an integer, 2 for a float, 3 for a non-finite
// token (its double in `nonfinite`). Throws Malformed for an invalid
// number.
inline int number_token(simdjson::ondemand::value& v, std::string_view& token, double& nonfinite) {
  token = v.raw_json_token();
  while (!token.empty() &&
         (token.back() == ' ' || token.back() == '\t' || token.back() == '\n' || token.back() == '\r'))
    token.remove_suffix(1);
  int kind = pytext::number_kind(token);
  if (kind == 0) {
    if (nonfinite_token(token, nonfinite)) return 3;
    throw Malformed{"invalid number " + std::string(token.substr(0, 40))};
  }
  return kind;
}

// repr() of the float a valid float token denotes.
void append_float_token(std::string& out, std::string_view token);

// str() of what json.loads gives for `v`, as it appears inside a list
// (strings quoted; NaN and the infinities as nan, inf, -inf). A repeated
// object key keeps its first place and its last value, as the dict
// json.loads builds. `level` is how deep an array or object `v` would
// nest; past kMaxNesting it throws Malformed, as for anything invalid.
// Recursion is bounded by kMaxNesting frames of a few hundred bytes.
void append_py(std::string& out, simdjson::ondemand::value& v, int level = 1);

}  // namespace kestro::json_text
