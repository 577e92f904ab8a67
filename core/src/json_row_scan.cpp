#include "kestro/json_row_scan.hpp"

#include <simdjson.h>

#include <cstdint>
#include <cstring>

#include "kestro/json_text.hpp"
#include "kestro/pytext.hpp"

namespace kestro::query {

namespace {

constexpr std::uint64_t kOnes = 0x0101010101010101ull;
constexpr std::uint64_t kHighs = 0x8080808080808080ull;
// Deeper nesting is left to the full parser and its own depth limit.
constexpr int kMaxDepth = 32;

// Nonzero when some byte of w equals c.
inline std::uint64_t has_byte(std::uint64_t w, unsigned char c) {
  std::uint64_t x = w ^ (kOnes * c);
  return (x - kOnes) & ~x & kHighs;
}
// Nonzero when some byte of w is below 0x20 (a control character).
inline std::uint64_t has_control(std::uint64_t w) { return (w - kOnes * 0x20) & ~w & kHighs; }

inline bool is_digit(char c) { return static_cast<unsigned char>(c - '0') < 10; }

// Strict UTF-8 (no overlong forms, surrogates or code points past
// U+10FFFF). Short texts are checked here; long ones by simdjson's SIMD
// check, whose call costs more than a short text's loop.
bool valid_utf8(const char* text, std::size_t n) {
  if (n > 64) return simdjson::validate_utf8(text, n);
  const auto* s = reinterpret_cast<const unsigned char*>(text);
  auto cont = [&](std::size_t k) { return (s[k] & 0xC0) == 0x80; };
  for (std::size_t i = 0; i < n;) {
    if (n - i >= 8) {
      std::uint64_t w;
      std::memcpy(&w, s + i, 8);
      if ((w & kHighs) == 0) {
        i += 8;
        continue;
      }
    }
    unsigned c = s[i];
    if (c < 0x80) {
      ++i;
    } else if (c < 0xC2) {
      return false;
    } else if (c < 0xE0) {
      if (n - i < 2 || !cont(i + 1)) return false;
      i += 2;
    } else if (c < 0xF0) {
      if (n - i < 3 || !cont(i + 1) || !cont(i + 2)) return false;
      if ((c == 0xE0 && s[i + 1] < 0xA0) || (c == 0xED && s[i + 1] >= 0xA0)) return false;
      i += 3;
    } else if (c < 0xF5) {
      if (n - i < 4 || !cont(i + 1) || !cont(i + 2) || !cont(i + 3)) return false;
      if ((c == 0xF0 && s[i + 1] < 0x90) || (c == 0xF4 && s[i + 1] >= 0x90)) return false;
      i += 4;
    } else {
      return false;
    }
  }
  return true;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void put_utf8(csv::Buffer& out, char32_t cp) {
  if (cp < 0x80) {
    out.put(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.put(static_cast<char>(0xC0 | (cp >> 6)));
    out.put(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.put(static_cast<char>(0xE0 | (cp >> 12)));
    out.put(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.put(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.put(static_cast<char>(0xF0 | (cp >> 18)));
    out.put(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.put(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.put(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// A float token's parts, as the number scanner found them.
struct FloatParts {
  bool neg = false, has_exp = false;
  std::string_view int_part, frac_part;
};

// repr(float(token)) straight from the digits, when that is exact: no
// exponent, at most 15 significant digits (every such decimal is the
// shortest text of its double) and a positional repr. False otherwise.
bool put_float_digits(csv::Buffer& out, const FloatParts& f) {
  if (f.has_exp) return false;
  std::string_view ip = f.int_part, fp = f.frac_part;
  while (!fp.empty() && fp.back() == '0') fp.remove_suffix(1);
  if (ip.size() == 1 && ip[0] == '0') {
    std::size_t zeros = 0;
    while (zeros < fp.size() && fp[zeros] == '0') ++zeros;
    if (zeros == fp.size()) {
      out.put(f.neg ? std::string_view("-0.0") : std::string_view("0.0"));
      return true;
    }
    if (zeros > 3 || fp.size() - zeros > 15) return false;  // 1e-05 and below are scientific
  } else {
    std::size_t sig = ip.size() + fp.size();
    if (fp.empty())
      while (sig > 1 && ip[sig - 1] == '0') --sig;
    if (ip.size() > 16 || sig > 15) return false;
  }
  if (f.neg) out.put('-');
  out.put(ip);
  out.put('.');
  if (fp.empty())
    out.put('0');
  else
    out.put(fp);
  return true;
}

struct Scanner {
  const char* p;
  const char* end;
  csv::Buffer& text;  // unescaped string texts

  void skip_space() {
    while (p < end && static_cast<unsigned char>(*p) <= ' ' && (*p == ' ' || *p == '\t')) ++p;
  }

  // A string after its opening quote, as valid UTF-8 without control
  // characters. Leaves p after the closing quote. `text` is the string's
  // own bytes, or `unescaped` holding the text when it had escapes; then
  // `escaped` is set and has_comma is not.
  bool string(std::string_view& text, bool& has_comma, bool& escaped, csv::Buffer& unescaped) {
    const char* s = p;
    std::uint64_t high = 0;
    std::uint64_t comma = 0;
    escaped = false;
    while (end - p >= 8) {
      std::uint64_t w;
      std::memcpy(&w, p, 8);
      // the lowest flagged byte is exact (later ones may be false alarms)
      std::uint64_t stop = has_byte(w, '"') | has_byte(w, '\\') | has_control(w);
      if (stop) {
        // the bytes before the stop are ordinary: take them as a whole
        int before = __builtin_ctzll(stop) >> 3;
        std::uint64_t keep = before ? ~0ull >> (64 - 8 * before) : 0;
        high |= w & keep;
        comma |= has_byte(w, ',') & keep;
        p += before;
        break;
      }
      high |= w;
      comma |= has_byte(w, ',');
      p += 8;
    }
    for (;; ++p) {
      if (p == end) return false;
      unsigned char c = static_cast<unsigned char>(*p);
      if (c == '"') break;
      if (c == '\\') return string_escaped(text, escaped, unescaped, s);
      if (c < 0x20) return false;
      high |= c;
      comma |= c == ',';
    }
    text = std::string_view(s, static_cast<std::size_t>(p - s));
    ++p;
    has_comma = comma != 0;
    // only texts with bytes above 0x7f need the UTF-8 check
    return (high & kHighs) == 0 || valid_utf8(text.data(), text.size());
  }

  // The rest of a string from its first backslash (p), unescaped into
  // `unescaped`; a lone surrogate escape is declined.
  bool string_escaped(std::string_view& text, bool& escaped, csv::Buffer& unescaped, const char* s) {
    unescaped.clear();
    unescaped.put(std::string_view(s, static_cast<std::size_t>(p - s)));
    for (;;) {
      const char* run = p;
      skip_plain();
      unescaped.put(std::string_view(run, static_cast<std::size_t>(p - run)));
      if (p == end) return false;
      char c = *p;
      if (c == '"') break;
      if (c != '\\' || end - p < 2) return false;
      char e = p[1];
      p += 2;
      switch (e) {
        case '"': unescaped.put('"'); break;
        case '\\': unescaped.put('\\'); break;
        case '/': unescaped.put('/'); break;
        case 'b': unescaped.put('\b'); break;
        case 'f': unescaped.put('\f'); break;
        case 'n': unescaped.put('\n'); break;
        case 'r': unescaped.put('\r'); break;
        case 't': unescaped.put('\t'); break;
        case 'u': {
          int cp = hex4();
          if (cp < 0 || (cp >= 0xDC00 && cp <= 0xDFFF)) return false;
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (end - p < 2 || p[0] != '\\' || p[1] != 'u') return false;
            p += 2;
            int low = hex4();
            if (low < 0xDC00 || low > 0xDFFF) return false;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          }
          put_utf8(unescaped, static_cast<char32_t>(cp));
          break;
        }
        default:
          return false;
      }
    }
    ++p;
    escaped = true;
    text = unescaped.view();
    return valid_utf8(text.data(), text.size());
  }

  // Moves p to the next quote, backslash or control character (or end).
  void skip_plain() {
    while (end - p >= 8) {
      std::uint64_t w;
      std::memcpy(&w, p, 8);
      std::uint64_t stop = has_byte(w, '"') | has_byte(w, '\\') | has_control(w);
      if (stop) {
        p += __builtin_ctzll(stop) >> 3;
        return;
      }
      p += 8;
    }
    while (p < end && *p != '"' && *p != '\\' && static_cast<unsigned char>(*p) >= 0x20) ++p;
  }

  // Four hex digits at p (consumed), or -1.
  int hex4() {
    if (end - p < 4) return -1;
    int v = 0;
    for (int k = 0; k < 4; ++k) {
      int d = hex_value(p[k]);
      if (d < 0) return -1;
      v = v * 16 + d;
    }
    p += 4;
    return v;
  }

  void digits() {
    while (end - p >= 8) {
      std::uint64_t w;
      std::memcpy(&w, p, 8);
      std::uint64_t x = w ^ (kOnes * '0');  // digits become 0..9
      // high bit of each byte that is not 0..9; no carry crosses bytes
      std::uint64_t other = (((x & (kOnes * 0x7F)) + kOnes * (0x80 - 10)) | x) & kHighs;
      if (other) {
        p += __builtin_ctzll(other) >> 3;
        return;
      }
      p += 8;
    }
    while (p < end && is_digit(*p)) ++p;
  }

  // A number token; is_float when it has a fraction or an exponent, and
  // then `parts` holds its pieces.
  bool number(std::string_view& token, bool& is_float, FloatParts& parts) {
    const char* s = p;
    parts.neg = p < end && *p == '-';
    if (parts.neg) ++p;
    const char* ip = p;
    if (p < end && *p == '0') {
      ++p;
    } else {
      digits();
      if (p == ip) return false;
    }
    parts.int_part = std::string_view(ip, static_cast<std::size_t>(p - ip));
    is_float = false;
    if (p < end && *p == '.') {
      const char* d = ++p;
      digits();
      if (p == d) return false;
      parts.frac_part = std::string_view(d, static_cast<std::size_t>(p - d));
      is_float = true;
    } else {
      parts.frac_part = {};
    }
    parts.has_exp = p < end && (*p == 'e' || *p == 'E');
    if (parts.has_exp) {
      ++p;
      if (p < end && (*p == '+' || *p == '-')) ++p;
      const char* d = p;
      digits();
      if (p == d) return false;
      is_float = true;
    }
    token = std::string_view(s, static_cast<std::size_t>(p - s));
    return true;
  }

  bool literal(std::string_view word) {
    if (static_cast<std::size_t>(end - p) < word.size() || std::memcmp(p, word.data(), word.size()) != 0) return false;
    p += word.size();
    return true;
  }

  // After a value: skips white space; true at ',' (consumed) for another
  // value, false at ']' (consumed) for the end; `ok` false otherwise.
  bool next(bool& ok) {
    skip_space();
    if (p < end && *p == ',') {
      ++p;
      if (p < end && *p == ' ') ++p;  // the usual ", "
      skip_space();
      return true;
    }
    ok = p < end && *p == ']';
    if (ok) ++p;
    return false;
  }

  // Python's str() of a nested array (p after its '['), as in a list.
  bool py_array(std::string& out, int depth) {
    if (depth > kMaxDepth) return false;
    out += '[';
    skip_space();
    if (p < end && *p == ']') {
      ++p;
      out += ']';
      return true;
    }
    for (bool first = true;; first = false) {
      if (!first) out += ", ";
      if (!py_value(out, depth)) return false;
      bool ok = true;
      if (!next(ok)) {
        if (!ok) return false;
        out += ']';
        return true;
      }
    }
  }

  bool py_value(std::string& out, int depth) {
    if (p == end) return false;
    switch (*p) {
      case '"': {
        ++p;
        std::string_view s;
        bool comma, escaped;
        if (!string(s, comma, escaped, text)) return false;
        pytext::append_str_repr(out, s);
        return true;
      }
      case '[':
        ++p;
        return py_array(out, depth + 1);
      case 't':
        if (!literal("true")) return false;
        out += "True";
        return true;
      case 'f':
        if (!literal("false")) return false;
        out += "False";
        return true;
      case 'n':
        if (!literal("null")) return false;
        out += "None";
        return true;
      default: {
        std::string_view token;
        bool is_float;
        FloatParts parts;
        if (!number(token, is_float, parts)) return false;
        if (is_float)
          json_text::append_float_token(out, token);
        else
          pytext::append_int_token(out, token);
        return true;
      }
    }
  }

  // One top-level value as its CSV field.
  bool field(csv::Buffer& out, std::string& scratch) {  // scratch: nested or float text
    if (p == end) return false;
    switch (*p) {
      case '"': {
        ++p;
        std::string_view s;
        bool comma = false, escaped;
        if (!string(s, comma, escaped, text)) return false;
        if (escaped) {
          out.put_field(s);
          return true;
        }
        // no quote and no line break can be in it: only a comma quotes it
        if (comma) {
          out.put('"');
          out.put(s);
          out.put('"');
        } else {
          out.put(s);
        }
        return true;
      }
      case '[':
        ++p;
        scratch.clear();
        if (!py_array(scratch, 1)) return false;
        out.put_field(scratch);
        return true;
      case 't':
        if (!literal("true")) return false;
        out.put(std::string_view("True"));
        return true;
      case 'f':
        if (!literal("false")) return false;
        out.put(std::string_view("False"));
        return true;
      case 'n':
        return literal("null");
      default: {
        std::string_view token;
        bool is_float;
        FloatParts parts;
        if (!number(token, is_float, parts)) return false;
        if (!is_float) {
          out.put(token.size() == 2 && token[0] == '-' && token[1] == '0' ? std::string_view("0") : token);
          return true;
        }
        if (put_float_digits(out, parts)) return true;
        scratch.clear();
        json_text::append_float_token(scratch, token);
        out.put(scratch);
        return true;
      }
    }
  }

  bool row(std::size_t ncols, csv::Buffer& out, std::string& scratch) {  // as field()
    skip_space();
    if (p == end || *p != '[') return false;
    ++p;
    skip_space();
    std::size_t row_start = out.size();
    std::size_t n = 0;
    if (p < end && *p == ']') {
      ++p;
    } else {
      for (;;) {
        if (n == ncols) return false;
        if (n) out.put(',');
        if (!field(out, scratch)) return false;
        ++n;
        bool ok = true;
        if (!next(ok)) {
          if (!ok) return false;
          break;
        }
      }
    }
    skip_space();
    if (p != end || n != ncols) return false;
    out.end_row(row_start, ncols);
    return true;
  }
};

}  // namespace

bool scan_row(std::string_view line, std::size_t ncols, csv::Buffer& out, ScanScratch& scratch) {
  std::size_t at = out.size();
  Scanner s{line.data(), line.data() + line.size(), scratch.text};
  if (s.row(ncols, out, scratch.value)) return true;
  out.truncate(at);
  return false;
}

}  // namespace kestro::query
