// A file task's own session and client, taken apart when the task is done
// with them. Both are knots of reference cycles (every event emitter holds
// bound methods of objects that hold the emitter back, configuration
// providers point at their session, parsers at themselves), so dropping
// the last reference frees nothing: the graph waits, all of it tracked, for
// a full run of the cyclic collector, which holds the GIL for every thread
// and walks all the garbage the tasks left since the previous run.
// Clearing the instance state of the few objects every cycle passes
// through lets reference counting free the rest at once.
//
// Only objects the task made itself are touched: the client and session
// come from Storvane's own factories (a subclass or instance that replaces
// one keeps whatever it returns intact), nothing else holds them, and
// only on the botocore releases the sharing is tested with.
#include <pybind11/pybind11.h>

#include <initializer_list>
#include <vector>

#include "storvane_shared.hpp"

namespace py = pybind11;

namespace kestro::storvane {

namespace {

// Storvane's own get_s3_client and get_s3_session (the functions behind
// the methods); leaked with the class.
PyObject* g_own_client_factory = nullptr;
PyObject* g_own_session_factory = nullptr;

// `self.<name>` is the method Storvane defines, not a replacement.
bool is_own_method(py::handle self, const char* name, PyObject* own) {
  if (own == nullptr) return false;
  py::object bound = py::getattr(self, name, py::none());
  return PyMethod_Check(bound.ptr()) && PyMethod_GET_FUNCTION(bound.ptr()) == own;
}

// `o.<name>` when it is there, else None; what a client's __getattr__ or
// a property raises is not the caller's business here.
py::object attr_or_none(py::handle o, const char* name) {
  if (o.is_none()) return py::none();
  PyObject* value = PyObject_GetAttrString(o.ptr(), name);
  if (value == nullptr) {
    PyErr_Clear();
    return py::none();
  }
  return py::reinterpret_steal<py::object>(value);
}

void add(std::vector<py::object>& knots, py::object o) {
  if (!o.is_none()) knots.push_back(std::move(o));
}

// The objects every cycle of a session and its client passes through: the
// event emitters (their handlers), the response parsers (which hold bound
// methods of themselves) and the botocore session (its components). All
// are looked up before any is cleared. The client, its meta and the boto3
// session keep their state: a client used after this fails on its emptied
// emitter with an AttributeError.
std::vector<py::object> knots_of(py::handle session, py::handle client) {
  std::vector<py::object> knots;
  // an object, after what it holds under `inner`
  auto add_with = [&](py::object o, const char* inner) {
    add(knots, attr_or_none(o, inner));
    add(knots, std::move(o));
  };
  add_with(attr_or_none(attr_or_none(client, "meta"), "events"), "_emitter");
  add_with(attr_or_none(client, "_response_parser"), "_event_stream_parser");
  py::object core = attr_or_none(session, "_session");
  add_with(attr_or_none(core, "_events"), "_emitter");
  add_with(core, "_original_handler");
  return knots;
}

void clear_instance_state(py::handle o) {
  PyObject* dict = PyObject_GenericGetDict(o.ptr(), nullptr);
  if (dict == nullptr) {
    PyErr_Clear();  // no __dict__: nothing of ours to let go
    return;
  }
  if (PyDict_Check(dict)) PyDict_Clear(dict);
  Py_DECREF(dict);
}

}  // namespace

void remember_own_factories(py::handle cls) {
  g_own_client_factory = py::object(cls.attr("get_s3_client")).release().ptr();
  g_own_session_factory = py::object(cls.attr("get_s3_session")).release().ptr();
}

TaskClient::TaskClient(py::object self) {
  dismantle_ = botocore_shared() && is_own_method(self, "get_s3_client", g_own_client_factory) &&
               is_own_method(self, "get_s3_session", g_own_session_factory);
  if (!dismantle_) {
    client = self.attr("get_s3_client")();
    return;
  }
  // What get_s3_client does, keeping hold of the session it makes.
  BuildingScope building;
  session_ = self.attr("get_s3_session")();
  client = make_s3_from(self, session_, "client");
}

void TaskClient::release() {
  py::object session = std::move(session_);
  py::object own = std::move(client);
  client = py::none();
  if (!dismantle_ || !session || !own) return;
  dismantle_ = false;
  // Best effort: whatever fails here only leaves the rest to the
  // collector, as without it; the task's outcome is already decided.
  try {
    for (const py::object& knot : knots_of(session, own)) clear_instance_state(knot);
  } catch (py::error_already_set&) {
  }
}

TaskClient::~TaskClient() {
  if (!dismantle_) return;
  // Also on the way out of an error: keep that error as it is.
  PyObject *type, *value, *trace;
  PyErr_Fetch(&type, &value, &trace);
  try {
    release();
  } catch (...) {
  }
  PyErr_Restore(type, value, trace);
}

}  // namespace kestro::storvane
