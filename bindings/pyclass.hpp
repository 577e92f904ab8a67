#pragma once
// Plain Python classes whose methods are C++ functions: real `type`
// objects, so instances have a __dict__, subclasses and tests can replace
// any method, and exception classes derive from Exception. Used while a
// module loads; GIL held.
#include <pybind11/pybind11.h>

#include <string>
#include <utility>

namespace kestro::py_common {

namespace py = pybind11;

class ClassBuilder {
 public:
  // Creates type(name, bases, {"__module__": module}) and stores it as
  // module.<name>. The class object is leaked on purpose: it lives as long
  // as the interpreter.
  ClassBuilder(py::module_& module, const char* name, py::tuple bases) : module_(module) {
    py::dict ns;
    ns["__module__"] = module.attr("__name__");
    ns["__qualname__"] = name;
    cls_ = py::reinterpret_borrow<py::object>(
        reinterpret_cast<PyObject*>(&PyType_Type))(name, std::move(bases), ns);
    cls_.inc_ref();
    module.attr(name) = cls_;
  }

  // A method; `f` takes the instance (py::object) first. Extra pybind11
  // attributes (py::arg, defaults, docs) describe the parameters after self.
  template <class F, class... Extra>
  ClassBuilder& def(const char* name, F&& f, const Extra&... extra) {
    py::cpp_function cf(std::forward<F>(f), py::name(name), py::is_method(cls_),
                        py::sibling(py::getattr(cls_, name, py::none())), extra...);
    cls_.attr(name) = cf;
    return *this;
  }

  // __init__ must not be named "__init__" for pybind11 (it would treat it
  // as a constructor of a bound C++ type), so it is made under another
  // name and assigned.
  template <class F, class... Extra>
  ClassBuilder& def_init(F&& f, const Extra&... extra) {
    py::cpp_function cf(std::forward<F>(f), py::name("_kestro_init"), py::is_method(cls_), extra...);
    cls_.attr("__init__") = cf;
    return *this;
  }

  // A read-only property computed by `f(self)`.
  template <class F>
  ClassBuilder& def_property(const char* name, F&& f) {
    py::cpp_function getter(std::forward<F>(f), py::name(name));
    cls_.attr(name) = py::module_::import("builtins").attr("property")(getter);
    return *this;
  }

  ClassBuilder& attr(const char* name, py::object value) {
    cls_.attr(name) = std::move(value);
    return *this;
  }

  py::object cls() const { return cls_; }

 private:
  py::module_& module_;
  py::object cls_;
};

}  // namespace kestro::py_common
