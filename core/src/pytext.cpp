#include "kestro/pytext.hpp"

#include <algorithm>
#include <charconv>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace kestro::pytext {

namespace {

struct Range {
  char32_t first, last;
};

constexpr Range kNonPrintable[] = {
#include "nonprintable_ranges.inc"
};

constexpr char kHex[] = "0123456789abcdef";

void append_hex(std::string& out, char32_t cp, int digits) {
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) out += kHex[(cp >> shift) & 0xf];
}

// Decodes one code point of valid UTF-8 at s[i]; advances i.
char32_t decode(std::string_view s, std::size_t& i) {
  auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = b(i);
  if (c < 0x80) { i += 1; return c; }
  if (c < 0xE0) { char32_t cp = ((c & 0x1F) << 6) | (b(i + 1) & 0x3F); i += 2; return cp; }
  if (c < 0xF0) {
    char32_t cp = ((c & 0x0F) << 12) | ((b(i + 1) & 0x3F) << 6) | (b(i + 2) & 0x3F);
    i += 3;
    return cp;
  }
  char32_t cp = ((c & 0x07) << 18) | ((b(i + 1) & 0x3F) << 12) | ((b(i + 2) & 0x3F) << 6) | (b(i + 3) & 0x3F);
  i += 4;
  return cp;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

bool is_printable(char32_t cp) noexcept {
  if (cp >= 0x20 && cp < 0x7F) return true;
  auto it = std::upper_bound(std::begin(kNonPrintable), std::end(kNonPrintable), cp,
                             [](char32_t v, const Range& r) { return v < r.first; });
  if (it == std::begin(kNonPrintable)) return true;
  --it;
  return cp > it->last;
}

void append_str_repr(std::string& out, std::string_view utf8) {
  bool has_single = utf8.find('\'') != std::string_view::npos;
  bool has_double = utf8.find('"') != std::string_view::npos;
  char quote = has_single && !has_double ? '"' : '\'';
  out += quote;
  std::size_t i = 0;
  while (i < utf8.size()) {
    std::size_t start = i;
    char32_t cp = decode(utf8, i);
    if (cp == static_cast<char32_t>(quote) || cp == '\\') {
      out += '\\';
      out += static_cast<char>(cp);
    } else if (cp == '\t') {
      out += "\\t";
    } else if (cp == '\n') {
      out += "\\n";
    } else if (cp == '\r') {
      out += "\\r";
    } else if (is_printable(cp)) {
      out.append(utf8.substr(start, i - start));
    } else if (cp <= 0xFF) {
      out += "\\x";
      append_hex(out, cp, 2);
    } else if (cp <= 0xFFFF) {
      out += "\\u";
      append_hex(out, cp, 4);
    } else {
      out += "\\U";
      append_hex(out, cp, 8);
    }
  }
  out += quote;
}

void append_int_token(std::string& out, std::string_view token) {
  if (token == "-0")
    out += '0';
  else
    out.append(token);
}

int number_kind(std::string_view t) noexcept {
  std::size_t i = 0, n = t.size();
  if (i < n && t[i] == '-') ++i;
  if (i >= n) return 0;
  if (t[i] == '0') {
    ++i;
  } else if (is_digit(t[i])) {
    while (i < n && is_digit(t[i])) ++i;
  } else {
    return 0;
  }
  if (i == n) return 1;
  if (t[i] == '.') {
    ++i;
    if (i >= n || !is_digit(t[i])) return 0;
    while (i < n && is_digit(t[i])) ++i;
  }
  if (i < n && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    if (i < n && (t[i] == '+' || t[i] == '-')) ++i;
    if (i >= n || !is_digit(t[i])) return 0;
    while (i < n && is_digit(t[i])) ++i;
  }
  return i == n ? 2 : 0;
}

bool append_float_token_repr(std::string& out, std::string_view t) {
  bool neg = !t.empty() && t[0] == '-';
  std::string_view body = neg ? t.substr(1) : t;
  std::size_t dot = body.find('.');
  if (dot == std::string_view::npos || body.find_first_of("eE") != std::string_view::npos) return false;
  std::string_view ip = body.substr(0, dot), fp = body.substr(dot + 1);
  while (!fp.empty() && fp.back() == '0') fp.remove_suffix(1);
  if (ip == "0") {
    std::size_t zeros = fp.find_first_not_of('0');
    if (zeros == std::string_view::npos) {  // zero itself
      out += neg ? "-0.0" : "0.0";
      return true;
    }
    if (zeros > 3 || fp.size() - zeros > 15) return false;  // 1e-05 and below are scientific
  } else {
    if (ip.size() > 16) return false;
    std::size_t sig = fp.empty() ? ip.find_last_not_of('0') + 1 : ip.size() + fp.size();
    if (sig > 15) return false;
  }
  if (neg) out += '-';
  out.append(ip);
  out += '.';
  if (fp.empty())
    out += '0';
  else
    out.append(fp);
  return true;
}

double parse_float_token(std::string_view token) {
  double value = 0;
  auto res = std::from_chars(token.data(), token.data() + token.size(), value);
  if (res.ec == std::errc() && res.ptr == token.data() + token.size()) return value;
  // Out of range: strtod gives +-HUGE_VAL or +-0.0, as float() does.
  std::string s(token);
  return std::strtod(s.c_str(), nullptr);
}

}  // namespace kestro::pytext
