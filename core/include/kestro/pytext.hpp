#pragma once
// Python's text forms of the values json.loads gives, so that nested JSON
// values are written as pandas writes the Python objects (str of lists and
// dicts). Pure C++, safe without the GIL.
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestro::pytext {

// Whether str.isprintable() holds for this code point (Unicode database of
// the interpreter the table was generated from, see core/tools, until
// use_nonprintable() gives the running interpreter's).
bool is_printable(char32_t cp) noexcept;

// From now on, is_printable() answers from these closed, ascending ranges
// of non-printable code points. Call before any thread formats texts.
void use_nonprintable(const std::vector<std::pair<char32_t, char32_t>>& ranges);

// Appends repr() of the text whose UTF-8 is `utf8`: quoted with ' unless
// the text holds ' and no ", escapes \\, the quote, \t \n \r, \xNN for
// other control and non-printable code points up to 0xff, \uNNNN and
// \UNNNNNNNN above. `utf8` must be valid UTF-8 (the JSON parser checks it).
void append_str_repr(std::string& out, std::string_view utf8);

// The text of an integer token as Python's str(int) gives it: the token
// itself, except "-0", which is "0". `token` must match -?(0|[1-9][0-9]*).
void append_int_token(std::string& out, std::string_view token);

// Classifies a JSON number token: 1 for an integer, 2 for a number with a
// fraction or an exponent (a float for Python), 0 when it is not valid JSON.
int number_kind(std::string_view token) noexcept;

// The double a JSON float token denotes, correctly rounded; out of range
// gives +-inf or +-0.0, as Python's float() does. `token` must be valid.
double parse_float_token(std::string_view token);

}  // namespace kestro::pytext
