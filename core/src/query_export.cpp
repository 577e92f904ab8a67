#include "kestro/query_export.hpp"

#include <simdjson.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>

#include "kestro/background.hpp"
#include "kestro/csv_writer.hpp"
#include "kestro/error.hpp"
#include "kestro/json_row_scan.hpp"
#include "kestro/json_text.hpp"
#include "kestro/number_text.hpp"

namespace kestro::query {

namespace od = simdjson::ondemand;

namespace {

bool is_space_line(std::string_view line) {
  // bytes.strip() white space; "\r" and "\n" never reach a line
  for (char c : line)
    if (c != ' ' && c != '\t' && c != '\v' && c != '\f') return false;
  return true;
}

}  // namespace

// A failed line; its message is head + line number + tail, the number
// being known only where lines are counted.
struct RowError {
  Error::Code code;
  std::string head, tail;
};

// Formats the rows of one thread: owns a simdjson parser and scratch texts.
struct RowParser {
  std::size_t ncols = 0;
  od::parser parser;

  [[noreturn]] static void malformed(const std::string& why) {
    throw RowError{Error::Code::kParse, "malformed row at line ", ": " + why};
  }
  [[noreturn]] static void malformed(simdjson::error_code err) { malformed(simdjson::error_message(err)); }

  // A NaN is pandas' null, an empty field; the infinities "inf", "-inf".
  void put_number(csv::Buffer& block, od::value& v) {
    std::string_view token;
    double nonfinite;
    switch (json_text::number_token(v, token, nonfinite)) {
      case 1:
        block.put(token == "-0" ? std::string_view("0") : token);
        return;
      case 2:
        block.commit(text::write_float_token_repr(block.room(text::kFloatReprMax), token));
        return;
      default:
        if (!std::isnan(nonfinite)) block.commit(text::write_float_repr(block.room(text::kFloatReprMax), nonfinite));
    }
  }

  std::string nested;  // scratch for one nested value's text
  ScanScratch scan_scratch;

  // One value as a CSV field: texts as they are, nested values as
  // Python's str() of them, null as an empty field.
  void append_field(csv::Buffer& block, od::value& v) {
    try {
      switch (json_text::type_of(v)) {
        case od::json_type::string:
          block.put_field(json_text::string_of(v));
          return;
        case od::json_type::null:
          json_text::expect_null(v);
          return;
        case od::json_type::array:
        case od::json_type::object:
          nested.clear();
          json_text::append_py(nested, v, 2);  // inside the row's array
          block.put_field(nested);
          return;
        case od::json_type::number:  // never quoted
          put_number(block, v);
          return;
        case od::json_type::boolean:
          block.put(json_text::bool_of(v) ? std::string_view("True") : std::string_view("False"));
          return;
      }
    } catch (const json_text::Malformed& e) {
      malformed(e.why);
    }
  }

  // Parses one counted line after the header and appends its row to
  // `block`. False for a line that adds no row (white space, null).
  // `room` is what the buffer holds from line.data() on, padding included.
  bool parse(std::string_view line, std::size_t room, csv::Buffer& block) {
    if (scan_row(line, room, ncols, block, scan_scratch)) return true;
    if (is_space_line(line)) return false;
    // json.loads takes bytes that start with one UTF-8 byte order mark
    // as UTF-8 without it
    if (line.starts_with("\xEF\xBB\xBF")) {
      line.remove_prefix(3);
      room -= 3;
      if (is_space_line(line)) malformed("a byte order mark and no value");
      // a second mark is no white space to json.loads, though newer parser
      // releases skip one at the start of their input
      if (line.starts_with("\xEF\xBB\xBF")) malformed("a second byte order mark");
      if (scan_row(line, room, ncols, block, scan_scratch)) return true;
    }
    od::document doc;
    if (auto err = parser.iterate(simdjson::padded_string_view(line.data(), line.size(), room)).get(doc))
      malformed(err);
    od::json_type type;
    if (auto err = doc.type().get(type)) malformed(err);
    if (type == od::json_type::null) {
      bool is_null;
      if (auto err = doc.is_null().get(is_null)) malformed(err);
      if (!is_null) malformed("invalid literal");
      return false;
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
      append_field(block, v);
      ++n;
    }
    if (n != ncols) malformed_length(n);
    if (doc.current_location().error() != simdjson::OUT_OF_BOUNDS) malformed("trailing content after the row");
    block.end_row(row_start, ncols);
    return true;
  }

  [[noreturn]] void malformed_length(std::size_t n) const {
    std::string got = n > ncols ? "more than " + std::to_string(ncols) : std::to_string(n);
    throw RowError{Error::Code::kFormat, "row at line ",
                   " has " + got + " values, the header has " + std::to_string(ncols) + " columns"};
  }
};

struct CsvExport::Impl {
  std::string path;
  std::size_t block_size;

  // Unhandled bytes are buf[begin, end), followed by at least simdjson's
  // padding. Grown without zero-filling: only the padding after `end` is
  // cleared, so every byte a scan may read is defined.
  struct Input {
    std::unique_ptr<char[]> bytes;
    std::size_t cap = 0;
    char* data() const noexcept { return bytes.get(); }
    std::size_t size() const noexcept { return cap; }
    void grow(std::size_t need, std::size_t used) {
      std::size_t want = std::max(need, cap * 2);
      std::unique_ptr<char[]> more(new char[want]);
      if (used > 0) std::memcpy(more.get(), bytes.get(), used);
      bytes = std::move(more);
      cap = want;
    }
  } buf;
  std::size_t begin = 0, end = 0;
  // buf[begin, unbroken) is known to hold no line break: a long line that
  // arrives in many small pieces is searched once, not once per piece
  // (which took time quadratic in the line's length).
  std::size_t unbroken = 0;

  bool break_from(std::size_t from) const {
    return std::memchr(buf.data() + from, '\n', end - from) || std::memchr(buf.data() + from, '\r', end - from);
  }

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
  csv::Buffer writing_more;  // written right after `writing`, when not empty
  BackgroundTask writer;

  RowParser rows_here;

  // Big stretches of lines are cut in two: the second half is parsed on
  // `side` while this thread does the first, then merged in order.
  // Declared last: stopped before anything it reads goes.
  std::size_t split_min;
  struct Segment {
    csv::Buffer csv;
    std::vector<char> is_row;          // per counted line
    std::optional<RowError> error;     // the line after the last counted one failed
    std::size_t stop = 0;              // where its lines ended
  } segment;
  RowParser rows_side;
  BackgroundTask side;

  Impl(std::string p, std::size_t bs, std::size_t split) : path(std::move(p)), block_size(bs), split_min(split) {}

  void flush_block() {
    writer.settle();
    writing_more.clear();
    if (block.size() < (64 << 10)) {  // small blocks: a hand-over would cost more than the write
      file->append(block.view());
      block.clear();
      block_rows = 0;
      return;
    }
    writing.swap(block);
    block.clear();
    block_rows = 0;
    start_write();
  }

  // `writing`, then `writing_more`, to the file on the writer thread.
  void start_write() {
    writer.start([this] {
      file->append(writing.view());
      if (writing_more.size() > 0) file->append(writing_more.view());
    });
  }

  // Text past this much goes to the file before its block is full: the
  // bytes and the progress lines are the same, and memory stays bounded
  // whatever the block size.
  static constexpr std::size_t kSlice = 1 << 20;

  void flush_slice() {
    writer.settle();
    writing.swap(block);
    writing_more.clear();
    block.clear();
    start_write();
  }

  void count_line() {
    ++lines;
    if (block_rows == block_size)
      flush_block();
    else if (block.size() >= kSlice)
      flush_slice();
    if (lines % block_size == 0) progress.push_back(lines);
  }

  [[noreturn]] void fail(const RowError& e) const {
    throw Error(e.code, e.head + std::to_string(lines + 1) + e.tail);
  }

  void handle_row(std::string_view line, std::size_t room) {
    try {
      if (rows_here.parse(line, room, block)) {
        ++rows;
        ++block_rows;
      }
    } catch (const RowError& e) {
      fail(e);
    }
  }

  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

  // Calls on_line(line, next) for each line in buf[from, to) that ends in a
  // break (or at `to` when `final`), empty lines skipped; stops early when
  // on_line returns false. Returns where it stopped. A row line that
  // row_fast(from) takes whole (returning where its break is) is not
  // looked for first: the scan that writes it finds its end.
  template <class F>
  std::size_t each_line(std::size_t from, std::size_t to, bool final, F&& on_line) {
    return each_line(from, to, final, [](std::size_t, std::size_t) { return kNone; }, on_line);
  }
  template <class Fast, class F>
  std::size_t each_line(std::size_t from, std::size_t to, bool final, Fast&& row_fast, F&& on_line) {
    const char* base = buf.data();
    // A "\r" is rare: look for the next one only once the last is behind.
    auto find_cr = [&](std::size_t at) {
      const void* cr = std::memchr(base + at, '\r', to - at);
      return cr ? static_cast<std::size_t>(static_cast<const char*>(cr) - base) : kNone;
    };
    std::size_t cr_at = from < to ? find_cr(from) : kNone;
    while (from < to) {
      std::size_t taken = row_fast(from, to);
      if (taken != kNone) {
        from = taken + 1;
        continue;
      }
      if (cr_at < from) cr_at = find_cr(from);
      const void* lf = std::memchr(base + from, '\n', to - from);
      std::size_t brk = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - base) : kNone;
      brk = std::min(brk, cr_at);
      bool complete = brk != kNone;
      if (!complete && !final) break;
      std::size_t stop = complete ? brk : to;
      std::size_t next = complete ? brk + 1 : to;
      if (stop > from && !on_line(std::string_view(base + from, stop - from), from, next)) return next;
      from = next;
    }
    return from;
  }

  // End of the last line break in buf[from, to), or kNone.
  std::size_t last_break_end(std::size_t from, std::size_t to) const {
    const char* base = buf.data();
    const void* lf = memrchr(base + from, '\n', to - from);
    const void* cr = memrchr(base + from, '\r', to - from);
    const char* last = std::max(static_cast<const char*>(lf), static_cast<const char*>(cr));
    return last ? static_cast<std::size_t>(last - base) + 1 : kNone;
  }

  void parse_segment(std::size_t from, std::size_t to) {
    Segment& seg = segment;
    seg.csv.clear();
    seg.is_row.clear();
    seg.error.reset();
    auto row_fast = [&](std::size_t at, std::size_t stop) {
      std::size_t n = scan_row_line(std::string_view(buf.data() + at, stop - at), buf.size() - at, rows_side.ncols,
                                    seg.csv, rows_side.scan_scratch);
      if (n == kNoRowLine) return kNone;
      seg.is_row.push_back(true);
      return at + n;
    };
    seg.stop = each_line(from, to, false, row_fast, [&](std::string_view line, std::size_t at, std::size_t) {
      try {
        bool row = rows_side.parse(line, buf.size() - at, seg.csv);
        seg.is_row.push_back(row);
        return true;
      } catch (const RowError& e) {
        seg.error = e;
        return false;
      }
    });
  }

  // The side's rows follow the block's: both go to the writer as they
  // stand, the block first, with no copy. Lines and blocks are counted as
  // if each row had gone through the block: the bytes and the progress
  // lines are the same.
  void merge_segment() {
    if (segment.csv.size() > 0) {
      writer.settle();
      writing.swap(block);
      writing_more.swap(segment.csv);
      block.clear();
      segment.csv.clear();
      start_write();
    }
    for (char is_row : segment.is_row) {
      ++lines;
      if (is_row) {
        ++rows;
        if (++block_rows == block_size) block_rows = 0;  // that block is on its way
      }
      if (lines % block_size == 0) progress.push_back(lines);
    }
    if (segment.error) fail(*segment.error);
  }

  void handle_lines(std::size_t to, bool final) {
    auto row_fast = [&](std::size_t at, std::size_t stop) {
      std::size_t n = scan_row_line(std::string_view(buf.data() + at, stop - at), buf.size() - at, ncols, block,
                                    rows_here.scan_scratch);
      if (n == kNoRowLine) return kNone;
      ++rows;
      ++block_rows;
      begin = at + n + 1;
      count_line();
      return at + n;
    };
    begin = each_line(begin, to, final, row_fast, [&](std::string_view line, std::size_t at, std::size_t next) {
      handle_row(line, buf.size() - at);
      begin = next;
      count_line();
      return true;
    });
  }

  Step run(bool final) {
    if (header_waiting) return Step::kHeader;
    if (!final && !break_from(std::max(begin, unbroken))) {
      unbroken = end;
      return Step::kMore;
    }
    if (!started) {
      bool found = false;
      begin = each_line(begin, end, final, [&](std::string_view line, std::size_t, std::size_t) {
        header.assign(line);
        header_waiting = found = true;
        return false;
      });
      if (found) return Step::kHeader;
      return Step::kMore;
    }
    std::size_t done = final ? end : last_break_end(begin, end);
    if (done == kNone) return Step::kMore;
    if (done - begin >= split_min && split_min > 0) {
      std::size_t cut = last_break_end(begin, begin + (done - begin) / 2);
      if (cut != kNone && cut > begin && cut < done) {
        side.start([this, cut, done] { parse_segment(cut, done); });
        try {
          handle_lines(cut, false);
        } catch (...) {
          side.quiesce();
          throw;
        }
        side.settle();
        begin = segment.stop;
        merge_segment();
        if (final) handle_lines(end, true);
        return Step::kMore;
      }
    }
    handle_lines(done, final);
    return Step::kMore;
  }

  void take(std::string_view bytes) {
    if (bytes.empty()) return;
    if (begin > 0) {
      std::memmove(buf.data(), buf.data() + begin, end - begin);
      end -= begin;
      unbroken = unbroken > begin ? unbroken - begin : 0;
      begin = 0;
    }
    std::size_t need = end + bytes.size() + simdjson::SIMDJSON_PADDING;
    if (buf.size() < need) buf.grow(need, end);
    std::memcpy(buf.data() + end, bytes.data(), bytes.size());
    end += bytes.size();
    std::memset(buf.data() + end, 0, simdjson::SIMDJSON_PADDING);
  }
};

CsvExport::CsvExport(std::string path, std::size_t block_size, std::size_t split_min) {
  if (block_size == 0) throw Error(Error::Code::kFormat, "block_size must be at least 1");
  impl_ = std::make_unique<Impl>(std::move(path), block_size, split_min);
  impl_->buf.grow(1 << 16, 0);
  std::memset(impl_->buf.data(), 0, simdjson::SIMDJSON_PADDING);
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
  d.ncols = d.rows_here.ncols = d.rows_side.ncols = ncols;
  d.count_line();
}

void CsvExport::close() {
  Impl& d = *impl_;
  if (!d.file) return;
  d.writer.settle();
  if (d.block_rows > 0) d.file->append(d.block.view());
  d.block.clear();
  d.block_rows = 0;
  d.file->keep();
}

void CsvExport::discard() noexcept {
  impl_->writer.quiesce();
  if (impl_->file) impl_->file->discard();
}

std::vector<std::uint64_t> CsvExport::take_progress() { return std::exchange(impl_->progress, {}); }
std::uint64_t CsvExport::lines() const noexcept { return impl_->lines; }
std::uint64_t CsvExport::rows() const noexcept { return impl_->rows; }
bool CsvExport::started() const noexcept { return impl_->started; }

}  // namespace kestro::query
