#pragma once
// The one checker of public arguments, used by every module before an
// operation does anything. The rule it keeps:
//  - numbers (counts, sizes, time-outs, pauses): anything that is not a
//    usable value, a wrong type included, raises Et(2) naming the
//    parameter. bool is not a number here, nor is a float a count; NaN and
//    infinities are out of range (a pause or time-out of inf is a hang).
//  - texts, paths, sequences: a wrong type raises TypeError naming the
//    parameter; a value that cannot be meant (a NUL, an empty name where
//    one is needed) raises Et(2) naming it.
// Messages name the parameter and the expected value, and show the given
// value only for numbers: a text may be a secret. GIL held throughout.
#include <pybind11/pybind11.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>

#include "py_errors.hpp"

namespace kestro::py_common {

constexpr long long kNoLimit = std::numeric_limits<long long>::max();

inline std::string type_name(py::handle value) {
  return py::str(py::type::handle_of(value).attr("__name__")).cast<std::string>();
}

// What a refusal may show of a value: numbers and None as they are,
// anything else by its type only.
inline std::string shown(py::handle value) {
  if (value.is_none() || PyBool_Check(value.ptr()) || PyFloat_Check(value.ptr()))
    return py::repr(value).cast<std::string>();
  if (PyLong_Check(value.ptr())) {
    std::string digits = py::repr(value).cast<std::string>();
    return digits.size() <= 40 ? digits : "an integer of " + std::to_string(digits.size()) + " digits";
  }
  return "a " + type_name(value);
}

[[noreturn]] inline void refuse_type(const char* name, const char* expected, py::handle value) {
  throw py::type_error(std::string(name) + " must be " + expected + ", not " + type_name(value));
}

inline std::string range_text(long long lo, long long hi) {
  if (hi == kNoLimit) return "at least " + std::to_string(lo);
  if (lo == std::numeric_limits<long long>::min()) return "at most " + std::to_string(hi);
  return "from " + std::to_string(lo) + " to " + std::to_string(hi);
}

// An int (not a bool) from lo to hi; Et(2) for anything else: "<name>
// must be <requirement>", by default the range.
inline long long count_arg(py::handle value, const char* name, long long lo, long long hi = kNoLimit,
                           const char* requirement = nullptr) {
  bool is_int = PyLong_Check(value.ptr()) && !PyBool_Check(value.ptr());
  long long n = 0;
  int overflow = 0;
  if (is_int) {
    n = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (n == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow == 0 && n >= lo && n <= hi) return n;
  }
  std::string message = std::string(name) + " must be ";
  if (requirement) message += requirement;
  else if (is_int && overflow == 0)
    message += n < lo ? "at least " + std::to_string(lo) : "at most " + std::to_string(hi);
  else message += "a whole number " + range_text(lo, hi) + ", not " + shown(value);
  raise_et(2, message);
}

// The most workers, pool connections or attempts per task a caller may ask
// for: more are not threads a process can start, a pool's queue is filled
// up front, and more attempts, minutes apart, are a hang.
constexpr long long kMaxCount = 10000;

// A count of workers, connections or attempts: count_arg from 1 to
// kMaxCount ("<name> must be at least 1" below 1).
inline long long bounded_count_arg(py::handle value, const char* name) { return count_arg(value, name, 1, kMaxCount); }

// A count with no upper bound (rows of a block, of a fetch): Et(2,
// "<name> must be a positive integer") for anything but an int of at least 1.
inline long long positive_count_arg(py::handle value, const char* name) {
  return count_arg(value, name, 1, kNoLimit, "a positive integer");
}

// A size in bytes from 1 to `max_bytes`; Et(2, "<name> must be an integer
// from 1 to <max_text>") for anything else.
inline long long byte_size_arg(py::handle value, const char* name, long long max_bytes, const char* max_text) {
  std::string requirement = "an integer from 1 to " + std::string(max_text);
  return count_arg(value, name, 1, max_bytes, requirement.c_str());
}

// count_arg, or nothing for None.
inline std::optional<long long> optional_count_arg(py::handle value, const char* name, long long lo,
                                                   long long hi = kNoLimit) {
  if (value.is_none()) return std::nullopt;
  return count_arg(value, name, lo, hi, nullptr);
}

// An int or float (not a bool), finite, above `lo` (or from `lo` when
// `lo_included`) and at most `hi`; Et(2) for anything else.
inline double seconds_arg(py::handle value, const char* name, double lo, bool lo_included, double hi) {
  bool ok = (PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr())) && !PyBool_Check(value.ptr());
  double x = 0;
  if (ok) {
    x = PyFloat_AsDouble(value.ptr());
    if (x == -1.0 && PyErr_Occurred()) {
      PyErr_Clear();  // an int too large for a double
      ok = false;
    }
  }
  ok = ok && std::isfinite(x) && (lo_included ? x >= lo : x > lo) && x <= hi;
  if (!ok) {
    std::string bound = lo_included ? "at least " : "above ";
    raise_et(2, std::string(name) + " must be a finite number of seconds " + bound +
                    py::repr(py::float_(lo)).cast<std::string>() + " and at most " +
                    py::repr(py::float_(hi)).cast<std::string>() + ", not " + shown(value));
  }
  return x;
}

// A str without NUL; TypeError for another type, Et(2) for a NUL (no
// file name, key or address holds one) or, unless `empty_ok`, an empty
// text.
inline std::string text_arg(py::handle value, const char* name, bool empty_ok = true) {
  if (!py::isinstance<py::str>(value)) refuse_type(name, "str", value);
  std::string text;
  try {
    text = value.cast<std::string>();
  } catch (py::cast_error&) {
    raise_et(2, std::string(name) + " must be valid text (it holds a lone surrogate)");
  }
  if (text.find('\0') != std::string::npos) raise_et(2, std::string(name) + " must not contain a NUL character");
  if (!empty_ok && text.empty()) raise_et(2, std::string(name) + " must not be empty");
  return text;
}

// An object key or prefix: text_arg, non-empty, and at most `max_bytes`
// of UTF-8 (the store's own limit: a longer one can name nothing there).
inline std::string key_arg(py::handle value, const char* name, std::size_t max_bytes) {
  std::string key = text_arg(value, name, false);
  if (key.size() > max_bytes)
    raise_et(2, std::string(name) + " must be at most " + std::to_string(max_bytes) + " bytes of UTF-8, not " +
                    std::to_string(key.size()));
  return key;
}

// text_arg, or nothing for None.
inline std::optional<std::string> optional_text_arg(py::handle value, const char* name, bool empty_ok = true) {
  if (value.is_none()) return std::nullopt;
  if (!py::isinstance<py::str>(value)) refuse_type(name, "str or None", value);
  return text_arg(value, name, empty_ok);
}

// A local path given as str or os.PathLike of str (not bytes), as text;
// TypeError naming `name` otherwise, Et(2) for a NUL.
inline std::string path_arg(py::handle value, const char* name) {
  py::object text = py::reinterpret_borrow<py::object>(value);
  if (!py::isinstance<py::str>(value)) {
    if (!py::hasattr(value, "__fspath__")) refuse_type(name, "str or os.PathLike", value);
    text = py::module_::import("os").attr("fspath")(value);
    if (!py::isinstance<py::str>(text)) refuse_type(name, "str or os.PathLike of str", text);
  }
  return text_arg(text, name);
}

// A list or tuple; TypeError otherwise (a str would be taken letter by
// letter, a set in no fixed order).
inline py::sequence list_arg(py::handle value, const char* name) {
  if (!PyList_Check(value.ptr()) && !PyTuple_Check(value.ptr())) refuse_type(name, "a list or tuple", value);
  return py::reinterpret_borrow<py::sequence>(value);
}

}  // namespace kestro::py_common
