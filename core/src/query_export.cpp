#include "kestro/query_export.hpp"

#include <simdjson.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

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

// A failed line; its message is head + line number + tail, the number
// being known only where lines are counted.
struct RowError {
  Error::Code code;
  std::string head, tail;

  [[noreturn]] void raise(std::uint64_t line) const { throw Error(code, head + std::to_string(line) + tail); }
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

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

// ---- the line splitter ------------------------------------------------------
//
// The bytes fed and not handled yet, cut into complete lines, and the
// counts of the lines handled: `lines`, the `rows` they held, and a
// progress mark at every block_size-th line. Lines end at "\n", "\r" or
// "\r\n"; empty ones are skipped, so "\r\n" ends one line.
class LineSplitter {
 public:
  explicit LineSplitter(std::size_t block_size) : block_size_(block_size) {
    buf_.grow(1 << 16, 0);
    std::memset(buf_.data(), 0, simdjson::SIMDJSON_PADDING);
  }

  // The bytes not handled yet are data()[begin, end), followed by at least
  // simdjson's padding.
  std::size_t begin = 0, end = 0;
  const char* data() const noexcept { return buf_.data(); }
  // What a scan may read from `at` on, padding included.
  std::size_t room(std::size_t at) const noexcept { return buf_.size() - at; }

  // Appends `bytes` after the unhandled ones.
  void take(std::string_view bytes) {
    if (bytes.empty()) return;
    if (begin > 0) {
      std::memmove(buf_.data(), buf_.data() + begin, end - begin);
      end -= begin;
      unbroken_ = unbroken_ > begin ? unbroken_ - begin : 0;
      begin = 0;
    }
    std::size_t need = end + bytes.size() + simdjson::SIMDJSON_PADDING;
    if (buf_.size() < need) buf_.grow(need, end);
    std::memcpy(buf_.data() + end, bytes.data(), bytes.size());
    end += bytes.size();
    std::memset(buf_.data() + end, 0, simdjson::SIMDJSON_PADDING);
  }

  // Whether a line break follows `begin`. A long line that arrives in many
  // small pieces is searched once, not once per piece (which took time
  // quadratic in the line's length).
  bool break_waiting() {
    std::size_t from = std::max(begin, unbroken_);
    if (std::memchr(buf_.data() + from, '\n', end - from) || std::memchr(buf_.data() + from, '\r', end - from))
      return true;
    unbroken_ = end;
    return false;
  }

  // Calls on_line(line, at, next) for each line in [from, to) that ends in
  // a break (or at `to` when `final`), empty lines skipped; stops early
  // when on_line returns false. Returns where it stopped. A row line that
  // row_fast(at, to) takes whole (returning where its break is) is not
  // looked for first: the scan that writes it finds its end.
  template <class F>
  std::size_t each_line(std::size_t from, std::size_t to, bool final, F&& on_line) const {
    return each_line(from, to, final, [](std::size_t, std::size_t) { return kNone; }, on_line);
  }
  template <class Fast, class F>
  std::size_t each_line(std::size_t from, std::size_t to, bool final, Fast&& row_fast, F&& on_line) const {
    const char* base = buf_.data();
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

  // End of the last line break in [from, to), or kNone.
  std::size_t last_break_end(std::size_t from, std::size_t to) const {
    const char* base = buf_.data();
    const void* lf = memrchr(base + from, '\n', to - from);
    const void* cr = memrchr(base + from, '\r', to - from);
    const char* last = std::max(static_cast<const char*>(lf), static_cast<const char*>(cr));
    return last ? static_cast<std::size_t>(last - base) + 1 : kNone;
  }

  std::uint64_t lines = 0, rows = 0;
  std::vector<std::uint64_t> progress;  // marks not taken yet

  // After `lines` went up by one.
  void mark_progress() {
    if (lines % block_size_ == 0) progress.push_back(lines);
  }

 private:
  // Grown without zero-filling: only the padding after `end` is cleared,
  // so every byte a scan may read is defined.
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
  } buf_;
  // [begin, unbroken_) is known to hold no line break.
  std::size_t unbroken_ = 0;
  std::size_t block_size_;
};

// ---- the block writer -------------------------------------------------------
//
// The CSV text of the rows parsed and the file it goes to, a block
// (block_size rows) at a time, or a slice when a block's text grows past
// kSlice, so memory stays bounded whatever the block size (the bytes are
// the same). Double-buffered: `block` fills on the caller's thread while
// the text before it is written on a thread of its own; each write waits
// for the one before, and a write's failure (Error kIo) comes out of the
// next line_counted(), hand_over() or close().
class BlockWriter {
 public:
  BlockWriter(std::string path, std::size_t block_size) : path_(std::move(path)), block_size_(block_size) {}

  csv::Buffer block;           // text not handed over yet
  std::size_t block_rows = 0;  // rows of the current block, its sliced-off text included

  void open(std::string_view header) { file_.emplace(path_, header); }

  // After each counted line: a full block, or a slice, goes to the file.
  void line_counted() {
    if (block_rows == block_size_)
      flush_block();
    else if (block.size() >= kSlice)
      flush_slice();
  }

  // Hands `block` over, and `more` right after it, as they stand (no
  // copy); both are left empty. Nothing in `more`: nothing to do (the
  // block goes on filling).
  void hand_over(csv::Buffer& more) {
    if (more.size() == 0) return;
    task_.settle();
    writing_.swap(block);
    writing_more_.swap(more);
    block.clear();
    more.clear();
    start_write();
  }

  // A row whose text was handed over outside `block`: counted as if it had
  // gone through it.
  void row_merged() {
    if (++block_rows == block_size_) block_rows = 0;  // that block is on its way
  }

  // Appends what is left and closes the file, keeping it.
  void close() {
    if (!file_) return;
    task_.settle();
    if (block_rows > 0) file_->append(block.view());
    block.clear();
    block_rows = 0;
    file_->keep();
  }

  void discard() noexcept {
    task_.quiesce();
    if (file_) file_->discard();
  }

 private:
  static constexpr std::size_t kSlice = 1 << 20;

  void flush_block() {
    task_.settle();
    writing_more_.clear();
    if (block.size() < (64 << 10)) {  // small blocks: a hand-over would cost more than the write
      file_->append(block.view());
      block.clear();
      block_rows = 0;
      return;
    }
    writing_.swap(block);
    block.clear();
    block_rows = 0;
    start_write();
  }

  void flush_slice() {
    task_.settle();
    writing_.swap(block);
    writing_more_.clear();
    block.clear();
    start_write();
  }

  // `writing_`, then `writing_more_`, to the file on the writer thread.
  void start_write() {
    task_.start([this] {
      file_->append(writing_.view());
      if (writing_more_.size() > 0) file_->append(writing_more_.view());
    });
  }

  std::string path_;
  std::size_t block_size_;
  std::optional<csv::BlockFile> file_;
  csv::Buffer writing_;       // being written
  csv::Buffer writing_more_;  // written right after `writing_`, when not empty
  // Declared last: a write in progress ends before what it reads goes.
  BackgroundTask task_;
};

// ---- the split parser -------------------------------------------------------
//
// A big stretch of complete lines is cut in two at a line break: the
// second half is parsed on a side thread into a segment of its own while
// the caller parses the first, then merged after it, so the text, the
// counts and the progress marks are those of parsing every line in turn.
// A failing line in the second half is kept and reported at the merge,
// after the first half's lines were counted.
class SplitParser {
 public:
  SplitParser(const LineSplitter& in, std::size_t split_min) : in_(in), split_min_(split_min) {}

  void columns(std::size_t ncols) { rows_.ncols = ncols; }

  // Where to cut [from, to), or kNone: too short to be worth it (or
  // split_min 0), or no line break in its first half.
  std::size_t cut(std::size_t from, std::size_t to) const {
    if (split_min_ == 0 || to - from < split_min_) return kNone;
    std::size_t at = in_.last_break_end(from, from + (to - from) / 2);
    return at != kNone && at > from && at < to ? at : kNone;
  }

  // Parses [cut, to) on the side while first_half() parses up to `cut`
  // here. Returns where the second half's lines ended: `to`, or past the
  // failing line.
  template <class F>
  std::size_t run(std::size_t cut, std::size_t to, F&& first_half) {
    side_.start([this, cut, to] { parse(cut, to); });
    try {
      first_half();
    } catch (...) {
      side_.quiesce();
      throw;
    }
    side_.settle();
    return segment_.stop;
  }

  // The second half after the first: its text to `out`, its lines and
  // rows counted in `in`; then its failure, if any.
  void merge(LineSplitter& in, BlockWriter& out) {
    out.hand_over(segment_.csv);
    for (char is_row : segment_.is_row) {
      ++in.lines;
      if (is_row) {
        ++in.rows;
        out.row_merged();
      }
      in.mark_progress();
    }
    if (segment_.error) segment_.error->raise(in.lines + 1);
  }

 private:
  void parse(std::size_t from, std::size_t to) {
    Segment& seg = segment_;
    seg.csv.clear();
    seg.is_row.clear();
    seg.error.reset();
    auto row_fast = [&](std::size_t at, std::size_t stop) {
      std::size_t n = scan_row_line(std::string_view(in_.data() + at, stop - at), in_.room(at), rows_.ncols, seg.csv,
                                    rows_.scan_scratch);
      if (n == kNoRowLine) return kNone;
      seg.is_row.push_back(true);
      return at + n;
    };
    seg.stop = in_.each_line(from, to, false, row_fast, [&](std::string_view line, std::size_t at, std::size_t) {
      try {
        bool row = rows_.parse(line, in_.room(at), seg.csv);
        seg.is_row.push_back(row);
        return true;
      } catch (const RowError& e) {
        seg.error = e;
        return false;
      }
    });
  }

  const LineSplitter& in_;
  std::size_t split_min_;
  struct Segment {
    csv::Buffer csv;
    std::vector<char> is_row;       // per counted line
    std::optional<RowError> error;  // the line after the last counted one failed
    std::size_t stop = 0;           // where its lines ended
  } segment_;
  RowParser rows_;
  // Declared last: stopped before anything it touches goes.
  BackgroundTask side_;
};

}  // namespace

// The three parts in turn: lines from `in`, parsed here (or by `split`),
// their text to `out`; the header line is answered by the caller.
struct CsvExport::Impl {
  Impl(std::string path, std::size_t block_size, std::size_t split_min)
      : in(block_size), out(std::move(path), block_size), split(in, split_min) {}

  std::string header;  // the first non-empty line, until start()
  bool header_waiting = false;
  bool started = false;

  LineSplitter in;
  BlockWriter out;
  RowParser rows_here;
  // Declared last: its side thread reads `in`, and stops before it goes.
  SplitParser split;

  void count_line() {
    ++in.lines;
    out.line_counted();
    in.mark_progress();
  }

  void handle_row(std::string_view line, std::size_t room) {
    try {
      if (rows_here.parse(line, room, out.block)) {
        ++in.rows;
        ++out.block_rows;
      }
    } catch (const RowError& e) {
      e.raise(in.lines + 1);
    }
  }

  void handle_lines(std::size_t to, bool final) {
    auto row_fast = [&](std::size_t at, std::size_t stop) {
      std::size_t n = scan_row_line(std::string_view(in.data() + at, stop - at), in.room(at), rows_here.ncols,
                                    out.block, rows_here.scan_scratch);
      if (n == kNoRowLine) return kNone;
      ++in.rows;
      ++out.block_rows;
      in.begin = at + n + 1;
      count_line();
      return at + n;
    };
    in.begin = in.each_line(in.begin, to, final, row_fast, [&](std::string_view line, std::size_t at, std::size_t next) {
      handle_row(line, in.room(at));
      in.begin = next;
      count_line();
      return true;
    });
  }

  Step run(bool final) {
    if (header_waiting) return Step::kHeader;
    if (!final && !in.break_waiting()) return Step::kMore;
    if (!started) {
      bool found = false;
      in.begin = in.each_line(in.begin, in.end, final, [&](std::string_view line, std::size_t, std::size_t) {
        header.assign(line);
        header_waiting = found = true;
        return false;
      });
      if (found) return Step::kHeader;
      return Step::kMore;
    }
    std::size_t done = final ? in.end : in.last_break_end(in.begin, in.end);
    if (done == kNone) return Step::kMore;
    if (std::size_t cut = split.cut(in.begin, done); cut != kNone) {
      in.begin = split.run(cut, done, [&] { handle_lines(cut, false); });
      split.merge(in, out);
      if (final) handle_lines(in.end, true);
      return Step::kMore;
    }
    handle_lines(done, final);
    return Step::kMore;
  }
};

CsvExport::CsvExport(std::string path, std::size_t block_size, std::size_t split_min) {
  if (block_size == 0) throw Error(Error::Code::kFormat, "block_size must be at least 1");
  impl_ = std::make_unique<Impl>(std::move(path), block_size, split_min);
}

CsvExport::~CsvExport() = default;

CsvExport::Step CsvExport::feed(std::string_view bytes) {
  impl_->in.take(bytes);
  return impl_->run(false);
}

CsvExport::Step CsvExport::finish() { return impl_->run(true); }

std::string_view CsvExport::header_line() const { return impl_->header; }

void CsvExport::start(std::string_view header, std::size_t ncols) {
  Impl& d = *impl_;
  d.out.open(header);
  d.started = true;
  d.header_waiting = false;
  d.header.clear();
  d.rows_here.ncols = ncols;
  d.split.columns(ncols);
  d.count_line();
}

void CsvExport::close() { impl_->out.close(); }

void CsvExport::discard() noexcept { impl_->out.discard(); }

std::vector<std::uint64_t> CsvExport::take_progress() { return std::exchange(impl_->in.progress, {}); }
std::uint64_t CsvExport::lines() const noexcept { return impl_->in.lines; }
std::uint64_t CsvExport::rows() const noexcept { return impl_->in.rows; }
bool CsvExport::started() const noexcept { return impl_->started; }

}  // namespace kestro::query
