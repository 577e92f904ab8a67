#pragma once
// Number texts: Python's repr of floats, JSON number tokens read and
// rewritten as Python would, rounding, and the MiB figures of the transfer
// summaries. Pure C++, safe without the GIL; no shared state.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kestro::text {

// Python's repr(float): shortest round-trip digits, positional for decimal
// exponents -4..15 (always with a ".0" when integral), otherwise
// scientific with a signed, at least two-digit exponent ("1e+16", "1e-05").
// "inf", "-inf", "nan" for the non-finite values.
std::string float_repr(double value);

// Appends float_repr(value) to out without a temporary string.
void append_float_repr(std::string& out, double value);

// Room that write_float_repr() and write_float_token_repr() may fill.
constexpr std::size_t kFloatReprMax = 32;

// Writes float_repr(value) at dst; returns the end of what it wrote.
char* write_float_repr(char* dst, double value) noexcept;

// A valid JSON number token and its pieces.
struct DecimalToken {
  std::string_view token;
  bool neg = false;
  std::string_view int_part, frac_part;  // digits; frac_part empty without '.'
  std::string_view exp_part;             // after 'e'/'E' (sign, digits); empty without
};
DecimalToken split_decimal(std::string_view token) noexcept;

// Writes repr(float(token)) for a valid JSON number token at dst; returns
// the end. Straight from the token's digits when they are already the
// shortest text of the double (at most 15 significant digits, normal
// range), otherwise through the double.
char* write_float_token_repr(char* dst, std::string_view token) noexcept;
char* write_float_token_repr(char* dst, const DecimalToken& token) noexcept;

// float(token) for a valid JSON number token, exactly as Python reads it:
// correctly rounded however many digits, +-inf past the largest double,
// +-0.0 below the smallest, whatever the exponent.
double float_of_token(std::string_view token) noexcept;

// Python's round(value, ndigits) for ndigits >= 0: correctly rounded on the
// exact binary value.
double round_to(double value, int ndigits);

// Size of a byte count in MiB rounded to 4 places, as the transfer
// summaries write it.
double mib4(std::uint64_t bytes);

}  // namespace kestro::text
