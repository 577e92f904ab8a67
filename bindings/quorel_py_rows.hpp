#pragma once
// Python rows and labels to CSV text for kestro.quorel.quorel, as both
// export paths use it: the HTTP export (bindings/quorel.cpp, rows parsed
// from JSON in the core) and the Presto path (bindings/quorel_presto.cpp,
// rows as Python values).
// Both write the same bytes for the same values: what
// pandas.DataFrame(rows, columns=cols).to_csv(path, index=None) writes,
// except that every value keeps its own form (an integer column holding a
// null or a float is not turned into floats; integers stay exact).
//
// Contract (header-only; include it from either binding file):
//  - csv_header(cols): the header line, "\n" included; one column with an
//    empty name gives "\"\"\n", no columns give "\n". csv_header_py(cols)
//    does the same for any iterable of Python labels (str() of each, as the
//    csv module does; None is empty). GIL held for the _py form.
//  - add_py_row(cells, row, ncols): GIL held. Copies one row's values
//    into `cells` (CellRows), to be written without the GIL by
//    kestro::csv::put_rows; append_py_row(out, row, ncols) does both at
//    once. Values are written as: bool as
//    True/False, int exactly (any size), float by repr (NaN empty, as
//    pandas' null), None empty, str as UTF-8 with minimal quoting, anything
//    else (lists, dicts, Decimal, dates, ...) through Python's own str().
//    A row is a list, a tuple or another sequence (not str/bytes: TypeError)
//    and must hold exactly `ncols` values, else ValueError("<ncols> columns
//    passed, passed data had <n> columns"), the words pandas uses. A str
//    that cannot be encoded as UTF-8 raises UnicodeEncodeError. Nothing is
//    appended for a row that raises.
//  - BlockFile (kestro::csv::BlockFile): the result file, usable with the
//    GIL released. The constructor creates or truncates the file and writes
//    the header; append(block) appends a block; keep() closes it and keeps
//    it; discard() or the destructor (without keep) closes and removes it.
//    Errors are kestro::Error; run it through py_common::without_gil(f),
//    which releases the GIL around f and raises I/O failures as OSError
//    (errno, path) once the GIL is back.
#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common.hpp"
#include "kestro/csv_cells.hpp"
#include "kestro/csv_writer.hpp"

namespace kestro::quorel {

namespace py = pybind11;
using kestro::csv::BlockFile;

inline std::string csv_header(const std::vector<std::string>& cols) { return kestro::csv::header_line(cols); }

// Texts copied out of the rows, for the formatter to read. Viewing them
// inside the str objects instead made the two threads share those objects'
// memory: the caller then frees them and builds the next batch in the same
// memory, and every line the formatter had read had to come back to it.
// Blocks are kept for reuse, so a batch costs no allocation once warm.
class TextArena {
 public:
  // A copy of the `n` bytes at `p`, aligned to `align` (a power of two).
  const char* copy(const void* p, std::size_t n, std::size_t align = 1) {
    std::size_t pad = static_cast<std::size_t>(-reinterpret_cast<std::uintptr_t>(cur_)) & (align - 1);
    if (left_ < n + pad) {
      next_block(n + align);
      pad = static_cast<std::size_t>(-reinterpret_cast<std::uintptr_t>(cur_)) & (align - 1);
    }
    char* at = cur_ + pad;
    if (n > 0) std::memcpy(at, p, n);
    cur_ = at + n;
    left_ -= pad + n;
    return at;
  }

  // Forgets every copy; the blocks stay for the next rows.
  void clear() noexcept {
    next_ = 0;
    cur_ = nullptr;
    left_ = 0;
  }

 private:
  static constexpr std::size_t kBlock = 256 << 10;

  void next_block(std::size_t need) {
    while (next_ < blocks_.size() && blocks_[next_].size < need) ++next_;
    if (next_ == blocks_.size()) {
      std::size_t size = need > kBlock ? need : kBlock;
      blocks_.push_back({std::unique_ptr<char[]>(new char[size]), size});
    }
    cur_ = blocks_[next_].data.get();
    left_ = blocks_[next_].size;
    ++next_;
  }

  struct Block {
    std::unique_ptr<char[]> data;
    std::size_t size;
  };
  std::vector<Block> blocks_;
  std::size_t next_ = 0;  // blocks_[next_ - 1] is being filled
  char* cur_ = nullptr;
  std::size_t left_ = 0;
};

// Rows copied out of Python rows with the GIL held, to be formatted
// without it (kestro::csv::put_rows). Nothing in them points into a
// Python object: texts are copies in `texts`.
struct CellRows {
  std::vector<kestro::csv::Cell> cells;
  std::size_t rows = 0;
  TextArena texts;

  void clear() noexcept {
    cells.clear();
    rows = 0;
    texts.clear();
  }
};

// A text cell of the UTF-8 of a str (made or cached inside it).
inline kestro::csv::Cell text_cell(PyObject* str, TextArena& texts) {
  Py_ssize_t n = 0;
  const char* p = PyUnicode_AsUTF8AndSize(str, &n);
  if (!p) throw py::error_already_set();
  return kestro::csv::Cell::text(texts.copy(p, static_cast<std::size_t>(n)), static_cast<std::size_t>(n));
}

// True when one of the `n` units at `p` is a surrogate (which UTF-8 cannot
// hold).
template <class Unit>
bool has_surrogate(const Unit* p, Py_ssize_t n) {
  bool found = false;
  for (Py_ssize_t k = 0; k < n; ++k) found |= (static_cast<std::uint32_t>(p[k]) & 0xfffff800u) == 0xd800u;
  return found;
}

// The cell of a str: its own characters, copied as they are stored.
// Non-ASCII ones are encoded to UTF-8 by the writer, off the GIL, rather
// than here (which would also store a UTF-8 copy inside every such str);
// one holding a surrogate raises UnicodeEncodeError here, at its row.
inline kestro::csv::Cell str_cell(PyObject* o, TextArena& texts) {
  using kestro::csv::Cell;
  if (!PyUnicode_IS_COMPACT(o)) return text_cell(o, texts);
  const void* data = PyUnicode_DATA(o);
  const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(o));
  if (PyUnicode_IS_ASCII(o)) return Cell::text(texts.copy(data, n), n);
  switch (PyUnicode_KIND(o)) {
    case PyUnicode_1BYTE_KIND:
      return Cell::code_points(texts.copy(data, n), n, 1);
    case PyUnicode_2BYTE_KIND:
      if (has_surrogate(static_cast<const Py_UCS2*>(data), static_cast<Py_ssize_t>(n))) return text_cell(o, texts);
      return Cell::code_points(texts.copy(data, 2 * n, 2), n, 2);
    default:
      if (has_surrogate(static_cast<const Py_UCS4*>(data), static_cast<Py_ssize_t>(n))) return text_cell(o, texts);
      return Cell::code_points(texts.copy(data, 4 * n, 4), n, 4);
  }
}

// The cell of one value.
inline kestro::csv::Cell py_cell(PyObject* o, TextArena& texts) {
  using kestro::csv::Cell;
  if (o == Py_None) return Cell::null();
  if (PyUnicode_Check(o)) return str_cell(o, texts);
  if (PyBool_Check(o)) return Cell::boolean(o == Py_True);
  if (PyLong_Check(o)) {
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (x == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (!overflow) return Cell::integer(x);
    // Beyond 64 bits: int's own decimal text (never repr of a subclass).
    py::object text = py::reinterpret_steal<py::object>(PyLong_Type.tp_str(o));
    if (!text) throw py::error_already_set();
    return text_cell(text.ptr(), texts);
  }
  if (PyFloat_Check(o)) return Cell::real(PyFloat_AS_DOUBLE(o));
  py::object text = py::reinterpret_steal<py::object>(PyObject_Str(o));
  if (!text) throw py::error_already_set();
  return text_cell(text.ptr(), texts);
}

// Copies one row into `out` (GIL held): `ncols` cells. Raises as the
// writer documents; nothing is added for a row that raises.
// Appends one row of ncols cells, value k being item(k); none of them when
// one fails.
template <class Item>
void add_cells(CellRows& out, std::size_t ncols, Item&& item) {
  std::size_t start = out.cells.size();
  try {
    for (std::size_t k = 0; k < ncols; ++k) out.cells.push_back(py_cell(item(k), out.texts));
  } catch (...) {
    out.cells.resize(start);
    throw;
  }
  ++out.rows;
}

inline void add_py_row(CellRows& out, py::handle row, std::size_t ncols) {
  if (PyTuple_CheckExact(row.ptr()) && static_cast<std::size_t>(PyTuple_GET_SIZE(row.ptr())) == ncols) {
    // the row as PyHive makes it: a tuple, read in place (it cannot change)
    add_cells(out, ncols, [&](std::size_t k) { return PyTuple_GET_ITEM(row.ptr(), static_cast<Py_ssize_t>(k)); });
    return;
  }
  if (PyList_CheckExact(row.ptr()) && static_cast<std::size_t>(PyList_GET_SIZE(row.ptr())) == ncols) {
    // the usual row: a list of the right length, read in place (its size
    // checked each time: str() of a value could change it)
    add_cells(out, ncols, [&](std::size_t k) {
      if (static_cast<std::size_t>(PyList_GET_SIZE(row.ptr())) != ncols)
        throw py::value_error("a row changed while it was read");
      return PyList_GET_ITEM(row.ptr(), static_cast<Py_ssize_t>(k));
    });
    return;
  }
  if (PyUnicode_Check(row.ptr()) || PyBytes_Check(row.ptr()))
    throw py::type_error("a row must be a sequence of values, not " + std::string(Py_TYPE(row.ptr())->tp_name));
  py::object seq = py::reinterpret_steal<py::object>(PySequence_Fast(row.ptr(), "a row must be a sequence of values"));
  if (!seq) throw py::error_already_set();
  Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.ptr());
  if (static_cast<std::size_t>(n) != ncols)
    throw py::value_error(std::to_string(ncols) + " columns passed, passed data had " + std::to_string(n) +
                          " columns");
  PyObject** items = PySequence_Fast_ITEMS(seq.ptr());
  std::size_t start = out.cells.size();
  try {
    for (Py_ssize_t k = 0; k < n; ++k) out.cells.push_back(py_cell(items[k], out.texts));
  } catch (...) {
    out.cells.resize(start);
    throw;
  }
  ++out.rows;
}

// One whole row as CSV text ("\n" included), GIL held; for tests.
inline void append_py_row(std::string& out, py::handle row, std::size_t ncols) {
  CellRows cells;
  add_py_row(cells, row, ncols);
  kestro::csv::Buffer text;
  std::string scratch;
  kestro::csv::put_rows(text, cells.cells.data(), 1, ncols, scratch);
  out.append(text.view());
}

inline std::string csv_header_py(py::handle cols) {
  CellRows cells;
  py::list labels;
  for (py::handle c : cols) labels.append(c);
  add_py_row(cells, labels, labels.size());
  kestro::csv::Buffer text;
  std::string scratch;
  kestro::csv::put_rows(text, cells.cells.data(), 1, labels.size(), scratch);
  return std::string(text.view());
}

}  // namespace kestro::quorel
