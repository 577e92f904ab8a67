#pragma once
// The CSV writer of kestro.quorel.quorel as both export paths use it: the
// HTTP export (bindings/quorel.cpp, rows parsed from JSON in the core) and
// the Presto path (bindings/quorel_presto.cpp, rows as Python values).
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
//  - append_py_value(out, v) / append_py_row(out, row, ncols): GIL held.
//    Appends one field / one whole row ("\n" included) to `out`: bool as
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
#include <string>
#include <vector>

#include "common.hpp"
#include "kestro/csv_writer.hpp"

namespace kestro::quorel {

namespace py = pybind11;
using kestro::csv::BlockFile;

inline std::string csv_header(const std::vector<std::string>& cols) { return kestro::csv::header_line(cols); }

inline void append_py_value(std::string& out, py::handle v) {
  PyObject* o = v.ptr();
  if (o == Py_None) return;
  if (PyBool_Check(o)) {
    out += o == Py_True ? "True" : "False";
    return;
  }
  if (PyLong_Check(o)) {
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (x == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (!overflow) {
      kestro::csv::append_int(out, x);
      return;
    }
    // Beyond 64 bits: int's own decimal text (never repr of a subclass).
    py::object text = py::reinterpret_steal<py::object>(PyLong_Type.tp_str(o));
    if (!text) throw py::error_already_set();
    out += text.cast<std::string>();
    return;
  }
  if (PyFloat_Check(o)) {
    kestro::csv::append_float(out, PyFloat_AS_DOUBLE(o));
    return;
  }
  Py_ssize_t n = 0;
  const char* p = nullptr;
  py::object text;
  if (PyUnicode_Check(o)) {
    p = PyUnicode_AsUTF8AndSize(o, &n);
  } else {
    text = py::reinterpret_steal<py::object>(PyObject_Str(o));
    if (!text) throw py::error_already_set();
    p = PyUnicode_AsUTF8AndSize(text.ptr(), &n);
  }
  if (!p) throw py::error_already_set();
  kestro::csv::append_field(out, std::string_view(p, static_cast<std::size_t>(n)));
}

inline void append_py_row(std::string& out, py::handle row, std::size_t ncols) {
  if (PyUnicode_Check(row.ptr()) || PyBytes_Check(row.ptr()))
    throw py::type_error("a row must be a sequence of values, not " + std::string(Py_TYPE(row.ptr())->tp_name));
  py::object seq = py::reinterpret_steal<py::object>(PySequence_Fast(row.ptr(), "a row must be a sequence of values"));
  if (!seq) throw py::error_already_set();
  Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.ptr());
  if (static_cast<std::size_t>(n) != ncols)
    throw py::value_error(std::to_string(ncols) + " columns passed, passed data had " + std::to_string(n) +
                          " columns");
  PyObject** items = PySequence_Fast_ITEMS(seq.ptr());
  std::size_t start = out.size();
  try {
    for (Py_ssize_t k = 0; k < n; ++k) {
      if (k) out += ',';
      append_py_value(out, items[k]);
    }
  } catch (...) {
    out.resize(start);
    throw;
  }
  kestro::csv::end_row(out, start, ncols);
}

inline std::string csv_header_py(py::handle cols) {
  std::string out;
  std::size_t n = 0;
  for (py::handle c : cols) {
    if (n++) out += ',';
    append_py_value(out, c);
  }
  kestro::csv::end_row(out, 0, n);
  return out;
}

}  // namespace kestro::quorel
