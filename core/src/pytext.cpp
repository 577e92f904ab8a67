#include "kestro/pytext.hpp"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "kestro/number_text.hpp"

namespace kestro::pytext {

namespace {

struct Range {
  char32_t first, last;
};

constexpr Range kNonPrintable[] = {
#include "nonprintable_ranges.inc"
};

// The running interpreter's ranges, once given: its Unicode database may
// be older or newer than the one the built-in table comes from.
std::atomic<const std::vector<Range>*> g_interpreter{nullptr};

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

}  // namespace

bool is_printable(char32_t cp) noexcept {
  if (cp >= 0x20 && cp < 0x7F) return true;
  auto in = [cp](const Range* begin, const Range* end) {
    const Range* it =
        std::upper_bound(begin, end, cp, [](char32_t v, const Range& r) { return v < r.first; });
    return it == begin || cp > (it - 1)->last;
  };
  if (const std::vector<Range>* ranges = g_interpreter.load(std::memory_order_acquire))
    return in(ranges->data(), ranges->data() + ranges->size());
  return in(std::begin(kNonPrintable), std::end(kNonPrintable));
}

void use_nonprintable(const std::vector<std::pair<char32_t, char32_t>>& ranges) {
  auto* table = new std::vector<Range>();  // kept for the process's life: readers hold no lock
  table->reserve(ranges.size());
  for (const auto& r : ranges) table->push_back({r.first, r.second});
  g_interpreter.store(table, std::memory_order_release);
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

namespace {

// The parts of a JSON number token; valid is false when it is not one.
struct NumberParts {
  bool valid = false, neg = false, is_float = false, has_exp = false;
  std::string_view int_part, frac_part;
};

NumberParts split_number(std::string_view t) noexcept {
  NumberParts r;
  const char* p = t.data();
  const char* end = p + t.size();
  if (p < end && *p == '-') {
    r.neg = true;
    ++p;
  }
  const char* ip = p;
  if (p < end && *p == '0') {
    ++p;
  } else {
    while (p < end && static_cast<unsigned>(*p - '0') < 10) ++p;
    if (p == ip) return r;
  }
  r.int_part = std::string_view(ip, static_cast<std::size_t>(p - ip));
  if (p < end && *p == '.') {
    const char* fp = ++p;
    while (p < end && static_cast<unsigned>(*p - '0') < 10) ++p;
    if (p == fp) return r;
    r.frac_part = std::string_view(fp, static_cast<std::size_t>(p - fp));
    r.is_float = true;
  }
  if (p < end && (*p == 'e' || *p == 'E')) {
    ++p;
    if (p < end && (*p == '+' || *p == '-')) ++p;
    const char* ep = p;
    while (p < end && static_cast<unsigned>(*p - '0') < 10) ++p;
    if (p == ep) return r;
    r.is_float = r.has_exp = true;
  }
  r.valid = p == end;
  return r;
}

}  // namespace

int number_kind(std::string_view t) noexcept {
  NumberParts n = split_number(t);
  return !n.valid ? 0 : n.is_float ? 2 : 1;
}

double parse_float_token(std::string_view token) { return text::float_of_token(token); }

}  // namespace kestro::pytext
