#include "kestro/query_csv.hpp"

#include <simdjson.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <unordered_map>
#include <utility>

#include "kestro/background.hpp"
#include "kestro/csv.hpp"
#include "kestro/error.hpp"
#include "kestro/pytext.hpp"
#include "kestro/text.hpp"

namespace kestro::query {

namespace od = simdjson::ondemand;

namespace {

bool is_space_line(std::string_view line) {
  // bytes.strip() white space; "\r" and "\n" never reach a line
  for (char c : line)
    if (c != ' ' && c != '\t' && c != '\v' && c != '\f') return false;
  return true;
}

std::string_view trim_json_space(std::string_view s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\n' || s.back() == '\r'))
    s.remove_suffix(1);
  return s;
}

}  // namespace

struct CsvExport::Impl {
  std::string path;
  std::size_t block_size;

  std::vector<char> buf;  // unhandled bytes are buf[begin, end); padded for simdjson
  std::size_t begin = 0, end = 0;

  std::string header;  // the first non-empty line, until start()
  bool header_waiting = false;
  bool started = false;
  std::size_t ncols = 0;

  std::uint64_t lines = 0, rows = 0;
  std::size_t block_rows = 0;
  csv::Buffer block;
  std::vector<std::uint64_t> progress;
  std::optional<csv::BlockFile> file;
  // Full blocks are written on a thread of their own while the next block
  // is parsed; `writing` holds the block being written. Declared after
  // `file`, so that a write in progress ends before the file goes.
  csv::Buffer writing;
  bool write_pending = false;
  BackgroundTask writer;

  od::parser parser;

  Impl(std::string p, std::size_t bs) : path(std::move(p)), block_size(bs) {}

  [[noreturn]] void malformed(const std::string& why) const {
    throw Error(Error::Code::kParse, "malformed row at line " + std::to_string(lines + 1) + ": " + why);
  }
  [[noreturn]] void malformed(simdjson::error_code err) const { malformed(simdjson::error_message(err)); }

  // Float text of a valid float token: from its digits when exact, else
  // through the double. Not simdjson's get_double: its 3.0 builtin parser
  // misreads long mantissas (0.20000000000000000001 gave 0.0155...).
  static void append_float(std::string& out, std::string_view token) {
    if (!pytext::append_float_token_repr(out, token))
      text::append_float_repr(out, pytext::parse_float_token(token));
  }

  int number_token(od::value& v, std::string_view& token) const {
    token = trim_json_space(v.raw_json_token());
    int kind = pytext::number_kind(token);
    if (kind == 0) malformed("invalid number " + std::string(token.substr(0, 40)));
    return kind;
  }

  void append_number(std::string& out, od::value& v) {
    std::string_view token;
    if (number_token(v, token) == 1)
      pytext::append_int_token(out, token);
    else
      append_float(out, token);
  }

  std::string num;  // scratch for a float's text

  void put_number(od::value& v) {
    std::string_view token;
    if (number_token(v, token) == 1) {
      block.put(token == "-0" ? std::string_view("0") : token);
      return;
    }
    num.clear();
    append_float(num, token);
    block.put(num);
  }

  // Python's str() of what json.loads gives for v, as inside a list.
  void append_py(std::string& out, od::value v) {
    od::json_type type;
    if (auto err = v.type().get(type)) malformed(err);
    switch (type) {
      case od::json_type::string: {
        std::string_view s;
        if (auto err = v.get_string().get(s)) malformed(err);
        pytext::append_str_repr(out, s);
        return;
      }
      case od::json_type::number:
        append_number(out, v);
        return;
      case od::json_type::boolean: {
        bool b;
        if (auto err = v.get_bool().get(b)) malformed(err);
        out += b ? "True" : "False";
        return;
      }
      case od::json_type::null: {
        bool is_null;
        if (auto err = v.is_null().get(is_null)) malformed(err);
        if (!is_null) malformed("invalid literal");
        out += "None";
        return;
      }
      case od::json_type::array: {
        od::array arr;
        if (auto err = v.get_array().get(arr)) malformed(err);
        out += '[';
        bool first = true;
        for (auto item : arr) {
          od::value iv;
          if (auto err = item.get(iv)) malformed(err);
          if (!first) out += ", ";
          first = false;
          append_py(out, iv);
        }
        out += ']';
        return;
      }
      case od::json_type::object:
        append_py_dict(out, v);
        return;
    }
  }

  // A repeated key keeps its first place and its last value, as in the
  // dict json.loads builds.
  void append_py_dict(std::string& out, od::value v) {
    od::object obj;
    if (auto err = v.get_object().get(obj)) malformed(err);
    std::vector<std::pair<std::string, std::string>> items;
    std::unordered_map<std::string, std::size_t> where;
    for (auto field : obj) {
      std::string_view key;
      if (auto err = field.unescaped_key().get(key)) malformed(err);
      od::value fv;
      if (auto err = field.value().get(fv)) malformed(err);
      std::string text;
      append_py(text, fv);
      std::string k(key);
      auto [it, fresh] = where.emplace(k, items.size());
      if (fresh)
        items.emplace_back(std::move(k), std::move(text));
      else
        items[it->second].second = std::move(text);
    }
    out += '{';
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (i) out += ", ";
      pytext::append_str_repr(out, items[i].first);
      out += ": ";
      out += items[i].second;
    }
    out += '}';
  }

  std::string nested;  // scratch for one nested value's text

  void append_field(od::value v) {
    od::json_type type;
    if (auto err = v.type().get(type)) malformed(err);
    switch (type) {
      case od::json_type::string: {
        std::string_view s;
        if (auto err = v.get_string().get(s)) malformed(err);
        block.put_field(s);
        return;
      }
      case od::json_type::null: {
        bool is_null;
        if (auto err = v.is_null().get(is_null)) malformed(err);
        if (!is_null) malformed("invalid literal");
        return;
      }
      case od::json_type::array:
      case od::json_type::object:
        nested.clear();
        append_py(nested, v);
        block.put_field(nested);
        return;
      case od::json_type::number:  // never quoted
        put_number(v);
        return;
      case od::json_type::boolean: {
        bool b;
        if (auto err = v.get_bool().get(b)) malformed(err);
        block.put(b ? std::string_view("True") : std::string_view("False"));
        return;
      }
    }
  }

  // One counted line after the header. `room` is what the buffer holds from
  // line.data() on, padding included.
  void handle_row(std::string_view line, std::size_t room) {
    if (is_space_line(line)) return;
    od::document doc;
    if (auto err = parser.iterate(simdjson::padded_string_view(line.data(), line.size(), room)).get(doc))
      malformed(err);
    od::json_type type;
    if (auto err = doc.type().get(type)) malformed(err);
    if (type == od::json_type::null) {
      bool is_null;
      if (auto err = doc.is_null().get(is_null)) malformed(err);
      if (!is_null) malformed("invalid literal");
      return;
    }
    if (type != od::json_type::array) malformed("a row must be a JSON array of values");
    od::array arr;
    if (auto err = doc.get_array().get(arr)) malformed(err);
    std::size_t row_start = block.size();
    std::size_t n = 0;
    for (auto item : arr) {
      od::value v;
      if (auto err = item.get(v)) malformed(err);
      if (n == ncols) malformed_length(n + 1);
      if (n) block.put(',');
      append_field(v);
      ++n;
    }
    if (n != ncols) malformed_length(n);
    if (doc.current_location().error() != simdjson::OUT_OF_BOUNDS) malformed("trailing content after the row");
    block.end_row(row_start, ncols);
    ++rows;
    ++block_rows;
  }

  [[noreturn]] void malformed_length(std::size_t n) const {
    std::string got = n > ncols ? "more than " + std::to_string(ncols) : std::to_string(n);
    throw Error(Error::Code::kFormat, "row at line " + std::to_string(lines + 1) + " has " + got +
                                          " values, the header has " + std::to_string(ncols) + " columns");
  }

  // Waits for the block being written; rethrows its failure.
  void wait_write() {
    if (!write_pending) return;
    write_pending = false;
    writer.wait();
  }

  void flush_block() {
    wait_write();
    writing.swap(block);
    block.clear();
    block_rows = 0;
    write_pending = true;
    writer.start([this] { file->append(writing.view()); });
  }

  void count_line() {
    ++lines;
    if (block_rows == block_size) flush_block();
    if (lines % block_size == 0) progress.push_back(lines);
  }

  Step run(bool final) {
    if (header_waiting) return Step::kHeader;
    const char* base = buf.data();
    constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    // A "\r" is rare: look for the next one only once the last is behind.
    auto find_cr = [&](std::size_t from) {
      const void* cr = std::memchr(base + from, '\r', end - from);
      return cr ? static_cast<std::size_t>(static_cast<const char*>(cr) - base) : kNone;
    };
    std::size_t cr_at = begin < end ? find_cr(begin) : kNone;
    while (begin < end) {
      if (cr_at < begin) cr_at = find_cr(begin);
      const char* p = base + begin;
      const void* lf = std::memchr(p, '\n', end - begin);
      std::size_t brk = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - base) : kNone;
      brk = std::min(brk, cr_at);
      bool complete = brk != kNone;
      if (!complete && !final) break;
      std::size_t stop = complete ? brk : end;
      std::string_view line(p, stop - begin);
      std::size_t next = complete ? brk + 1 : end;
      if (line.empty()) {
        begin = next;
        continue;
      }
      if (!started) {
        header.assign(line);
        header_waiting = true;
        begin = next;
        return Step::kHeader;
      }
      handle_row(line, buf.size() - begin);
      begin = next;
      count_line();
    }
    return Step::kMore;
  }

  void take(std::string_view bytes) {
    if (bytes.empty()) return;
    if (begin > 0) {
      std::memmove(buf.data(), buf.data() + begin, end - begin);
      end -= begin;
      begin = 0;
    }
    std::size_t need = end + bytes.size() + simdjson::SIMDJSON_PADDING;
    if (buf.size() < need) buf.resize(std::max(need, buf.size() * 2));
    std::memcpy(buf.data() + end, bytes.data(), bytes.size());
    end += bytes.size();
  }
};

CsvExport::CsvExport(std::string path, std::size_t block_size) {
  if (block_size == 0) throw Error(Error::Code::kFormat, "block_size must be at least 1");
  impl_ = std::make_unique<Impl>(std::move(path), block_size);
  impl_->buf.resize(1 << 16);
}

CsvExport::~CsvExport() = default;

CsvExport::Step CsvExport::feed(std::string_view bytes) {
  impl_->take(bytes);
  return impl_->run(false);
}

CsvExport::Step CsvExport::finish() { return impl_->run(true); }

std::string_view CsvExport::header_line() const { return impl_->header; }

void CsvExport::start(std::string_view header, std::size_t ncols) {
  Impl& d = *impl_;
  d.file.emplace(d.path, header);
  d.started = true;
  d.header_waiting = false;
  d.header.clear();
  d.ncols = ncols;
  d.count_line();
}

void CsvExport::close() {
  Impl& d = *impl_;
  if (!d.file) return;
  d.wait_write();
  if (d.block_rows > 0) d.file->append(d.block.view());
  d.block.clear();
  d.block_rows = 0;
  d.file->keep();
}

void CsvExport::discard() noexcept {
  try {
    impl_->wait_write();
  } catch (...) {
  }
  if (impl_->file) impl_->file->discard();
}

std::vector<std::uint64_t> CsvExport::take_progress() { return std::exchange(impl_->progress, {}); }
std::uint64_t CsvExport::lines() const noexcept { return impl_->lines; }
std::uint64_t CsvExport::rows() const noexcept { return impl_->rows; }
bool CsvExport::started() const noexcept { return impl_->started; }

}  // namespace kestro::query
