#include "kestro/json_row_scan.hpp"

#include <simdjson.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "kestro/json_text.hpp"
#include "kestro/pytext.hpp"
#include "kestro/number_text.hpp"

namespace kestro::query {

namespace {

constexpr std::uint64_t kOnes = 0x0101010101010101ull;
constexpr std::uint64_t kHighs = 0x8080808080808080ull;
// Deeper nesting is left to the full parser and its own depth limit.
constexpr int kMaxDepth = 32;

// What each one-letter JSON escape stands for; 0 for the others.
constexpr auto kUnescaped = [] {
  struct Table {
    char at[256] = {};
    constexpr char operator[](unsigned char c) const { return at[c]; }
  } t;
  t.at[static_cast<unsigned char>('"')] = '"';
  t.at[static_cast<unsigned char>('\\')] = '\\';
  t.at[static_cast<unsigned char>('/')] = '/';
  t.at[static_cast<unsigned char>('b')] = '\b';
  t.at[static_cast<unsigned char>('f')] = '\f';
  t.at[static_cast<unsigned char>('n')] = '\n';
  t.at[static_cast<unsigned char>('r')] = '\r';
  t.at[static_cast<unsigned char>('t')] = '\t';
  return t;
}();

// Nonzero when some byte of w equals c.
inline std::uint64_t has_byte(std::uint64_t w, unsigned char c) {
  std::uint64_t x = w ^ (kOnes * c);
  return (x - kOnes) & ~x & kHighs;
}
// Nonzero when some byte of w is below 0x20 (a control character).
inline std::uint64_t has_control(std::uint64_t w) { return (w - kOnes * 0x20) & ~w & kHighs; }

inline bool is_digit(char c) { return static_cast<unsigned char>(c - '0') < 10; }

// Moves the n bytes at base + 1 to base: short texts in at most two
// pairs of wide moves, each loaded before it is stored.
inline void move_back(char* base, std::size_t n) {
#if defined(__SSE2__)
  if (n <= 32) {
    if (n >= 16) {
      __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(base + 1));
      __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(base + 1 + n - 16));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(base), a);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(base + n - 16), b);
      return;
    }
    if (n >= 8) {
      std::uint64_t a, b;
      std::memcpy(&a, base + 1, 8);
      std::memcpy(&b, base + 1 + n - 8, 8);
      std::memcpy(base, &a, 8);
      std::memcpy(base + n - 8, &b, 8);
      return;
    }
    for (std::size_t k = 0; k < n; ++k) base[k] = base[k + 1];
    return;
  }
#endif
  std::memmove(base, base + 1, n);
}

// Strict UTF-8 (no overlong forms, surrogates or code points past
// U+10FFFF). Short texts are checked here; long ones by simdjson's SIMD
// check, whose call costs more than a short text's loop.
bool valid_utf8(const char* text, std::size_t n) {
  if (n > 64) {
    // The implementation simdjson chose for this CPU, looked up once. Until
    // something has used it, the active one is a stand-in that detects the
    // CPU on every call: one call through it settles the choice first.
    static const simdjson::implementation* const checker = [] {
      simdjson::get_active_implementation()->validate_utf8("", 0);
      return static_cast<const simdjson::implementation*>(simdjson::get_active_implementation());
    }();
    return checker->validate_utf8(text, n);
  }
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

// Writes the UTF-8 of cp at w; returns the end.
char* utf8_at(char* w, char32_t cp) {
  if (cp < 0x80) {
    *w++ = static_cast<char>(cp);
  } else if (cp < 0x800) {
    *w++ = static_cast<char>(0xC0 | (cp >> 6));
    *w++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *w++ = static_cast<char>(0xE0 | (cp >> 12));
    *w++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *w++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *w++ = static_cast<char>(0xF0 | (cp >> 18));
    *w++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    *w++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *w++ = static_cast<char>(0x80 | (cp & 0x3F));
  }
  return w;
}

void put_utf8(csv::Buffer& out, char32_t cp) { out.commit(utf8_at(out.room(4), cp)); }

struct Scanner {
  const char* p;
  const char* end;
  const char* limit;  // readable up to here (>= end): lets a string be read 16 bytes at a time
  ScanScratch& scratch;
  csv::Buffer& text = scratch.text;  // unescaped string texts

#if defined(__SSE2__)
  // Bit k set when byte k of v is '"', '\\' or a control character.
  static unsigned stop_mask(__m128i v) {
    __m128i quote = _mm_cmpeq_epi8(v, _mm_set1_epi8('"'));
    __m128i slash = _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'));
    __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x1F)), v);
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(quote, slash), control)));
  }
#endif

  void skip_space() {
    while (p < end && static_cast<unsigned char>(*p) <= ' ' && (*p == ' ' || *p == '\t')) ++p;
  }

  // A string after its opening quote, as valid UTF-8 without control
  // characters. Leaves p after the closing quote. `text` is the string's
  // own bytes, or `unescaped` holding the text when it had escapes; then
  // `escaped` is set and has_comma is not. `ascii` (when given) tells
  // whether a text without escapes is all ASCII.
  bool string(std::string_view& text, bool& has_comma, bool& escaped, csv::Buffer& unescaped,
              bool* ascii = nullptr) {
    const char* s = p;
    std::uint64_t high = 0;
    std::uint64_t comma = 0;
    escaped = false;
#if defined(__SSE2__)
    while (limit - p >= 16) {
      __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      unsigned stop = stop_mask(v);
      unsigned hi = static_cast<unsigned>(_mm_movemask_epi8(v));
      unsigned cm = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8(','))));
      if (stop) {
        int before = __builtin_ctz(stop);
        if (p + before >= end) return false;  // the line ends inside the string
        unsigned keep = (1u << before) - 1;
        high |= hi & keep;
        comma |= cm & keep;
        p += before;
        break;
      }
      if (end - p <= 16) return false;
      high |= hi;
      comma |= cm;
      p += 16;
    }
    high = high ? kHighs : 0;  // the 8-byte words below test these bits
#endif
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
      if (c == '\\') {
        if (ascii) *ascii = false;
        return string_escaped(text, escaped, unescaped, s);
      }
      if (c < 0x20) return false;
      high |= c;
      comma |= c == ',';
    }
    text = std::string_view(s, static_cast<std::size_t>(p - s));
    ++p;
    has_comma = comma != 0;
    if (ascii) *ascii = (high & kHighs) == 0;
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
          int cp = code_point();
          if (cp < 0) return false;
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

  // A top-level string after its opening quote, written to `out` as its
  // CSV field in one pass: copied 16 bytes at a time while it is plain,
  // unescaped, inner quotes doubled, quoted when the writer's
  // csv::needs_quotes() says so. Leaves p after the closing quote.
  bool field_string(csv::Buffer& out) {
    const char* s = p;
    // Unescaped text is never longer than its JSON (a doubled quote comes
    // from the two bytes of its escape): room for it, the field's quotes
    // and the last wide store. The text goes after the opening quote's
    // place: long texts usually need quotes, and moving short ones back is
    // cheap.
    char* base = out.room(static_cast<std::size_t>(end - p) + 40);
    char* w = base + 1;
    unsigned high_bits = 0;  // nonzero once a byte above 0x7f was passed
    for (;;) {
#if defined(__SSE2__)
      if (limit - p >= 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(w), v);
        unsigned stop = stop_mask(v);
        unsigned highs = static_cast<unsigned>(_mm_movemask_epi8(v));
        if (!stop) {
          if (end - p <= 16) return false;  // the line ends inside the string
          high_bits |= highs;
          p += 16;
          w += 16;
          continue;
        }
        int k = __builtin_ctz(stop);
        if (p + k >= end) return false;
        unsigned before = (1u << k) - 1;
        high_bits |= highs & before;
        p += k;
        w += k;
      } else
#endif
      {
        for (; p < end; ++p) {
          unsigned char c = static_cast<unsigned char>(*p);
          if (c == '"' || c == '\\' || c < 0x20) break;
          high_bits |= c >= 0x80;
          *w++ = static_cast<char>(c);
        }
        if (p >= end) return false;
      }
      char c = *p;
      if (c == '"') break;
      if (c != '\\' || end - p < 2) return false;  // a control character
      auto e = static_cast<unsigned char>(p[1]);
      p += 2;
      if (char out = kUnescaped[e]) {  // a quote comes out doubled
        w[0] = out;
        w[1] = '"';
        w += 1 + (out == '"');
        continue;
      }
      if (e != 'u') return false;
      int cp = code_point();
      if (cp < 0) return false;
      if (cp == '"') *w++ = '"';
      w = utf8_at(w, static_cast<char32_t>(cp));
    }
    // Escapes are ASCII and \u ones come out as valid UTF-8, so the raw
    // bytes are valid exactly when the text is.
    if (high_bits && !valid_utf8(s, static_cast<std::size_t>(p - s))) return false;
    ++p;
    std::size_t n = static_cast<std::size_t>(w - base - 1);
    // A doubled quote still holds a quote, so the written text needs quotes
    // exactly when the unescaped one does.
    if (csv::needs_quotes(std::string_view(base + 1, n))) {
      base[0] = '"';
      base[n + 1] = '"';
      out.commit(base + n + 2);
    } else {
      move_back(base, n);
      out.commit(base + n);
    }
    return true;
  }

  // Moves p to the next quote, backslash or control character (or end).
  void skip_plain() {
#if defined(__SSE2__)
    while (limit - p >= 16) {
      unsigned stop = stop_mask(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
      if (stop) {
        p = std::min(p + __builtin_ctz(stop), end);
        return;
      }
      if (end - p <= 16) {
        p = end;
        return;
      }
      p += 16;
    }
#endif
    while (p < end && *p != '"' && *p != '\\' && static_cast<unsigned char>(*p) >= 0x20) ++p;
  }

  // The code point of a \u escape whose "\u" is behind p (a surrogate pair
  // taken whole), or -1 for a bad or lone surrogate escape.
  int code_point() {
    int cp = hex4();
    if (cp < 0 || (cp >= 0xDC00 && cp <= 0xDFFF)) return -1;
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      if (end - p < 2 || p[0] != '\\' || p[1] != 'u') return -1;
      p += 2;
      int low = hex4();
      if (low < 0xDC00 || low > 0xDFFF) return -1;
      cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
    }
    return cp;
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

  // Where a float token's pieces lie; filled only for floats.
  struct FloatAt {
    const char *int_end, *frac, *frac_end, *exp;  // exp: after 'e', or nullptr
  };

  // A number token; is_float when it has a fraction or an exponent, and
  // then `at` tells where its pieces are.
  bool number(std::string_view& token, bool& is_float, FloatAt& at) {
    const char* s = p;
    if (p < end && *p == '-') ++p;
    const char* ip = p;
    if (p < end && *p == '0') {
      ++p;
    } else {
      digits();
      if (p == ip) return false;
    }
    is_float = p < end && (*p == '.' || *p == 'e' || *p == 'E');
    if (is_float) {
      at.int_end = at.frac = at.frac_end = p;
      at.exp = nullptr;
      if (*p == '.') {
        at.frac = ++p;
        digits();
        if (p == at.frac) return false;
        at.frac_end = p;
      }
      if (p < end && (*p == 'e' || *p == 'E')) {
        at.exp = ++p;
        if (p < end && (*p == '+' || *p == '-')) ++p;
        const char* d = p;
        digits();
        if (p == d) return false;
      }
    }
    token = std::string_view(s, static_cast<std::size_t>(p - s));
    return true;
  }

  // The pieces of a float token number() found.
  static text::DecimalToken decimal(std::string_view token, const FloatAt& at) {
    text::DecimalToken t;
    t.token = token;
    t.neg = token.front() == '-';
    const char* ip = token.data() + t.neg;
    t.int_part = std::string_view(ip, static_cast<std::size_t>(at.int_end - ip));
    t.frac_part = std::string_view(at.frac, static_cast<std::size_t>(at.frac_end - at.frac));
    if (at.exp) t.exp_part = std::string_view(at.exp, static_cast<std::size_t>(token.data() + token.size() - at.exp));
    return t;
  }

  bool literal(std::string_view word) {
    if (static_cast<std::size_t>(end - p) < word.size() || std::memcmp(p, word.data(), word.size()) != 0) return false;
    p += word.size();
    return true;
  }

  // true / false, in Python's spelling (as a field and nested alike).
  bool py_bool(csv::Buffer& out, bool value) {
    if (!literal(value ? "true" : "false")) return false;
    out.put(std::string_view(value ? "True" : "False"));
    return true;
  }

  // After a value: skips white space; true at ',' (consumed) for another
  // value, false at ']' (consumed) for the end; `ok` false otherwise.
  bool next(bool& ok) {
    if (p < end && *p == ',') {  // the usual ", " first
      ++p;
      if (p < end && *p == ' ') ++p;
      if (p < end && static_cast<unsigned char>(*p) > ' ') return true;
      skip_space();
      return true;
    }
    skip_space();
    if (p < end && *p == ',') {
      ++p;
      skip_space();
      return true;
    }
    ok = p < end && *p == ']';
    if (ok) ++p;
    return false;
  }

  // Python's str() of a nested array (p after its '['), as in a list.
  bool py_array(csv::Buffer& out, int depth) {
    if (depth > kMaxDepth) return false;
    out.put('[');
    skip_space();
    if (p < end && *p == ']') {
      ++p;
      out.put(']');
      return true;
    }
    for (bool first = true;; first = false) {
      if (!first) out.put(std::string_view(", "));
      if (!py_value(out, depth)) return false;
      bool ok = true;
      if (!next(ok)) {
        if (!ok) return false;
        out.put(']');
        return true;
      }
    }
  }

  bool py_value(csv::Buffer& out, int depth) {
    if (p == end) return false;
    switch (*p) {
      case '"': {
        ++p;
        std::string_view s;
        bool comma, escaped, ascii;
        if (!string(s, comma, escaped, text, &ascii)) return false;
        bool single = false, del = false;
        if (ascii)
          for (char c : s) {
            single |= c == '\'';
            del |= c == '\x7f';
          }
        if (ascii && !del) {  // printable ASCII without '"' or '\\': only the quote to choose
          char q = single ? '"' : '\'';
          out.put(q);
          out.put(s);
          out.put(q);
        } else {
          std::string& repr = scratch.repr;
          repr.clear();
          pytext::append_str_repr(repr, s);
          out.put(repr);
        }
        return true;
      }
      case '[':
        ++p;
        return py_array(out, depth + 1);
      case 't':
      case 'f':
        return py_bool(out, *p == 't');
      case 'n':
        if (!literal("null")) return false;
        out.put(std::string_view("None"));
        return true;
      default: {
        std::string_view token;
        bool is_float;
        FloatAt at;
        if (!number(token, is_float, at)) return false;
        if (is_float)
          out.commit(text::write_float_token_repr(out.room(text::kFloatReprMax), decimal(token, at)));
        else
          out.put(token.size() == 2 && token[0] == '-' && token[1] == '0' ? std::string_view("0") : token);
        return true;
      }
    }
  }

  // One top-level value as its CSV field.
  bool field(csv::Buffer& out, csv::Buffer& scratch) {  // scratch: nested or float text
    if (p == end) return false;
    switch (*p) {
      case '"':
        ++p;
        return field_string(out);
      case '[': {
        ++p;
        // Written in place after the opening quote's room: most lists have
        // a comma and no quote, and are then done.
        std::size_t at = out.size();
        out.put('"');
        if (!py_array(out, 1)) return false;
        std::string_view text = out.view().substr(at + 1);
        if (!csv::needs_quotes(text)) {
          move_back(out.room(0) - text.size() - 1, text.size());  // from just after `at`
          out.truncate(at + text.size());
        } else if (text.find('"') == std::string_view::npos) {
          out.put('"');
        } else {  // its quotes doubled: written again by the field writer
          scratch.clear();
          scratch.put(text);
          out.truncate(at);
          out.put_field(scratch.view());
        }
        return true;
      }
      case 't':
      case 'f':
        return py_bool(out, *p == 't');
      case 'n':
        return literal("null");
      default: {
        std::string_view token;
        bool is_float;
        FloatAt at;
        if (!number(token, is_float, at)) return false;
        if (!is_float) {
          out.put(token.size() == 2 && token[0] == '-' && token[1] == '0' ? std::string_view("0") : token);
          return true;
        }
        out.commit(text::write_float_token_repr(out.room(text::kFloatReprMax), decimal(token, at)));
        return true;
      }
    }
  }

  // One row; it must end the text, or with `to_break`, be followed by a
  // line break (p is left there).
  bool row(std::size_t ncols, csv::Buffer& out, csv::Buffer& scratch, bool to_break = false) {  // as field()
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
    if (n != ncols) return false;
    if (to_break ? p == end || (*p != '\n' && *p != '\r') : p != end) return false;
    out.end_row(row_start, ncols);
    return true;
  }
};

}  // namespace

bool scan_row(std::string_view line, std::size_t ncols, csv::Buffer& out, ScanScratch& scratch) {
  return scan_row(line, line.size(), ncols, out, scratch);
}

std::size_t scan_row_line(std::string_view text, std::size_t room, std::size_t ncols, csv::Buffer& out,
                          ScanScratch& scratch) {
  std::size_t at = out.size();
  const char* end = text.data() + text.size();
  Scanner s{text.data(), end, std::max(end, text.data() + room), scratch};
  if (s.row(ncols, out, scratch.value, true)) return static_cast<std::size_t>(s.p - text.data());
  out.truncate(at);
  return kNoRowLine;
}

bool scan_row(std::string_view line, std::size_t room, std::size_t ncols, csv::Buffer& out, ScanScratch& scratch) {
  std::size_t at = out.size();
  const char* end = line.data() + line.size();
  Scanner s{line.data(), end, std::max(end, line.data() + room), scratch};
  if (s.row(ncols, out, scratch.value)) return true;
  out.truncate(at);
  return false;
}

}  // namespace kestro::query
