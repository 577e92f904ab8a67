#pragma once
// The pieces of kestro.common.defines, one source file per area;
// defines.cpp builds the module from them. Every function here needs the
// GIL.
#include <pybind11/pybind11.h>

#include <string>

#include "common.hpp"
#include "pyclass.hpp"

namespace kestro::defines {

namespace py = pybind11;
using kestro::py_common::ClassBuilder;

// A module-level name (settings, apps, `_`, json, Et, ...), looked up at
// call time so that a test or a service can rebind it on the module.
using kestro::py_common::module_attr;

// The run mode, "server" or "local" (defines.cpp).
std::string current_env();

// The task-record model of a task type ("dtask", "retask", "sptask"); none
// for any other value (defines.cpp).
py::object record_model(py::handle task_type);

// Et's constructor and message accessors (defines_errors.cpp).
void define_error_record(ClassBuilder& et);

// Each adds its BaseMethod operations to `base`:
void define_task_log(ClassBuilder& base);        // clog, get_log_str, log_* (defines_logging.cpp)
void define_error_reports(ClassBuilder& base);   // logerr, geterr (defines_errors.cpp)
void define_work_files(ClassBuilder& base);      // local work files (defines_work_files.cpp)
void define_data_utilities(ClassBuilder& base);  // get_var ... tran (defines_utilities.cpp)

// Defines Qz57HttpApi on `m` and returns it (defines_scheduler.cpp).
py::object define_scheduler_client(py::module_& m);

}  // namespace kestro::defines
