#pragma once
// What the host process provides: the data root that stands for
// "/mydata", and Python's own clock and sleep (looked up at call time so
// that tests can replace them). GIL held for the Python ones.
#include <pybind11/pybind11.h>

#include <cstdlib>
#include <string>

namespace kestro::py_common {

namespace py = pybind11;

// The folder that stands for "/mydata": KESTRO_DATA_ROOT when set (tests,
// the main job), otherwise "/mydata" itself.
inline std::string data_root() {
  const char* root = std::getenv("KESTRO_DATA_ROOT");
  return root && *root ? root : "/mydata";
}

// Python's time.sleep, looked up at call time so that tests can replace
// it; the GIL is free while it waits.
inline void py_sleep(py::handle seconds) {
  py::module_::import("time").attr("sleep")(seconds);
}

// Python's time.time(), looked up at call time.
inline double py_time() { return py::module_::import("time").attr("time")().cast<double>(); }

}  // namespace kestro::py_common
