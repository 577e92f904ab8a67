// A botocore session builds, for its configuration store, one chain of
// providers per configuration variable it knows (some fifty chains, over
// three hundred objects the collector tracks), and every client copies
// that table. A file task reads about half of them. Sessions made by the
// Storvane factories get a table that builds each chain the first time it
// is looked up, with botocore's own chain factory and tables, so it is the
// chain botocore would have built. A copy of the table shares the chains
// already built and those built later, as a copied dict shares its values.
// Anything that walks the whole table (iteration, length, deletion, deep
// copies) first builds every chain, in botocore's order, and from then on
// the table is a plain dict underneath.
#include <pybind11/pybind11.h>

#include "storvane_shared.hpp"

namespace py = pybind11;

namespace kestro::storvane {

namespace {

PyObject* g_register_config_store = nullptr;  // Session._register_config_store
PyObject* g_store_copy = nullptr;             // ConfigValueStore.__copy__
PyObject* g_store_type = nullptr;             // ConfigValueStore
PyObject* g_default_mapping = nullptr;        // create_botocore_default_config_mapping
PyObject* g_session_cls = nullptr;            // botocore.session.Session
PyObject* g_chain_factory = nullptr;          // ConfigChainFactory
PyObject* g_section_provider = nullptr;       // SectionConfigProvider
PyObject* g_chain_mapping = nullptr;          // _create_config_chain_mapping
PyObject* g_configprovider = nullptr;         // the module
PyObject* g_lazy_type = nullptr;
// botocore's variable tables when sharing started, deep-copied: (session
// variables, s3 section, proxies section). Sessions are given the lazy
// table only while botocore's tables still equal these.
PyObject* g_tables = nullptr;

constexpr const char* kTableNames[] = {"BOTOCORE_DEFAUT_SESSION_VARIABLES", "DEFAULT_S3_CONFIG_VARS",
                                       "DEFAULT_PROXIES_CONFIG_VARS"};
constexpr const char* kSections[] = {"s3", "proxies_config"};

py::handle h(PyObject* p) { return py::handle(p); }

py::object keep(py::object value) { return py::reinterpret_borrow<py::object>(value.release()); }

py::dict session_variables() { return py::reinterpret_borrow<py::dict>(h(g_tables)[py::int_(0)]); }

bool is_section(py::handle name) {
  if (!PyUnicode_Check(name.ptr())) return false;
  for (const char* s : kSections)
    if (PyUnicode_CompareWithASCIIString(name.ptr(), s) == 0) return true;
  return false;
}

// One of botocore's default names: a session variable or a section.
bool is_default_name(py::handle name) {
  if (is_section(name)) return true;
  int found = PyDict_Contains(session_variables().ptr(), name.ptr());
  if (found < 0) throw py::error_already_set();
  return found == 1;
}

// ---- providers every session can share ------------------------------------
//
// An environment provider of the process environment and a constant
// provider of an immutable value read nothing of their session and are
// never changed once made (a chain's default is replaced in its list, not
// in the provider), so one of each serves every session's chains.

PyObject* g_environment_type = nullptr;  // EnvironmentProvider
PyObject* g_constant_type = nullptr;     // ConstantProvider
PyObject* g_chain_type = nullptr;        // ChainProvider
PyObject* g_common = nullptr;            // (kind, name or value's type, value) -> provider

bool immutable_value(py::handle value) {
  PyObject* v = value.ptr();
  return v == Py_None || PyBool_Check(v) || PyLong_CheckExact(v) || PyFloat_CheckExact(v) || PyUnicode_CheckExact(v);
}

// The shared provider for `provider`, or `provider` itself.
py::object common_provider(py::handle provider) {
  PyTypeObject* type = Py_TYPE(provider.ptr());
  py::object key;
  if (type == reinterpret_cast<PyTypeObject*>(g_environment_type)) {
    py::object env = py::getattr(provider, "_env", py::none());
    py::object name = py::getattr(provider, "_name", py::none());
    if (!env.is(py::module_::import("os").attr("environ")) || !PyUnicode_CheckExact(name.ptr()))
      return py::reinterpret_borrow<py::object>(provider);
    key = py::make_tuple("env", name);
  } else if (type == reinterpret_cast<PyTypeObject*>(g_constant_type)) {
    py::object value = py::getattr(provider, "_value", py::none());
    if (!immutable_value(value)) return py::reinterpret_borrow<py::object>(provider);
    key = py::make_tuple("constant", py::type::handle_of(value), value);
  } else {
    return py::reinterpret_borrow<py::object>(provider);
  }
  return h(g_common).attr("setdefault")(key, provider);
}

// The chain with its shareable providers replaced by the shared ones.
void share_common(py::handle chain) {
  if (g_common == nullptr || Py_TYPE(chain.ptr()) != reinterpret_cast<PyTypeObject*>(g_chain_type)) return;
  py::object providers = py::getattr(chain, "_providers", py::none());
  if (!PyList_CheckExact(providers.ptr())) return;
  py::list list = py::reinterpret_borrow<py::list>(providers);
  for (std::size_t i = 0; i < list.size(); ++i) list[i] = common_provider(list[i]);
}

// The provider botocore's create_botocore_default_config_mapping makes for
// `name`.
py::object make_provider(py::handle self, py::handle name) {
  py::object session = self.attr("_session");
  py::object factory = h(g_chain_factory)(py::arg("session") = session, py::arg("environ") = self.attr("_environ"));
  if (is_section(name)) {
    py::handle table = h(g_tables)[py::int_(name.cast<std::string>() == "s3" ? 1 : 2)];
    py::object chains = h(g_chain_mapping)(factory, table);
    for (auto item : py::reinterpret_borrow<py::dict>(chains)) share_common(item.second);
    return h(g_section_provider)(name, session, chains);
  }
  py::tuple config = session_variables()[name];
  py::object chain = factory.attr("create_config_chain")(
      py::arg("instance_name") = name, py::arg("env_var_names") = config[1],
      py::arg("config_property_names") = config[0], py::arg("default") = config[2],
      py::arg("conversion_func") = config[3]);
  share_common(chain);
  return chain;
}

// ---- the lazy table ----------------------------------------------------------
//
// Slots: _session, _environ (the environment its chains read), _made (the
// chains built so far, shared with its copies), _own (what was assigned),
// _entries (None until the table is made whole; then the plain dict).

py::object entries(py::handle self) { return self.attr("_entries"); }

py::object lazy_getitem(py::object self, py::object name) {
  py::object whole = entries(self);
  if (!whole.is_none()) return whole[name];
  py::dict own = self.attr("_own");
  if (own.contains(name)) return own[name];
  py::dict made = self.attr("_made");
  PyObject* hit = PyDict_GetItemWithError(made.ptr(), name.ptr());  // borrowed
  if (hit != nullptr) return py::reinterpret_borrow<py::object>(hit);
  if (PyErr_Occurred()) throw py::error_already_set();
  if (!is_default_name(name)) {
    PyErr_SetObject(PyExc_KeyError, name.ptr());
    throw py::error_already_set();
  }
  return made.attr("setdefault")(name, make_provider(self, name));
}

bool lazy_contains(py::object self, py::object name) {
  py::object whole = entries(self);
  if (!whole.is_none()) return whole.contains(name);
  py::dict own = self.attr("_own");
  return own.contains(name) || is_default_name(name);
}

void lazy_setitem(py::object self, py::object name, py::object provider) {
  py::object whole = entries(self);
  if (!whole.is_none()) {
    whole[name] = provider;
    return;
  }
  py::dict own = self.attr("_own");
  own[name] = provider;
}

// Every entry, in the order botocore's table has them: its variables, its
// sections, then the names assigned besides.
py::dict make_whole(py::object self) {
  py::object whole = entries(self);
  if (!whole.is_none()) return whole;
  py::dict all;
  for (auto item : session_variables()) all[item.first] = lazy_getitem(self, py::reinterpret_borrow<py::object>(item.first));
  for (const char* s : kSections) all[s] = lazy_getitem(self, py::str(s));
  py::dict own = self.attr("_own");
  for (auto item : own) all[item.first] = item.second;
  self.attr("_entries") = all;
  self.attr("_own") = py::none();
  return all;
}

void lazy_delitem(py::object self, py::object name) { make_whole(self).attr("__delitem__")(name); }

py::object lazy_iter(py::object self) { return make_whole(self).attr("__iter__")(); }

std::size_t lazy_len(py::object self) { return py::len(make_whole(self)); }

py::object new_lazy(py::handle session, py::handle environ, py::handle made, py::handle own, py::handle whole) {
  py::object table = h(g_lazy_type).attr("__new__")(h(g_lazy_type));
  table.attr("_session") = session;
  table.attr("_environ") = environ;
  table.attr("_made") = made;
  table.attr("_own") = own;
  table.attr("_entries") = whole;
  return table;
}

py::object lazy_copy(py::object self) {
  py::object whole = entries(self);
  py::object own = self.attr("_own");
  auto copied = [](const py::object& d) {
    return d.is_none() ? py::none() : py::reinterpret_steal<py::object>(PyDict_Copy(d.ptr()));
  };
  return new_lazy(self.attr("_session"), self.attr("_environ"), self.attr("_made"), copied(own), copied(whole));
}

// As botocore deep-copies its dict: every provider deep-copied.
py::object lazy_deepcopy(py::object self, py::object memo) {
  return py::module_::import("copy").attr("deepcopy")(make_whole(self), memo);
}

std::string lazy_repr(py::object self) {
  return "<configuration table of " + py::repr(make_whole(self)).cast<std::string>() + ">";
}

void make_lazy_type() {
  py::module_ builtins = py::module_::import("builtins");
  py::object base = py::module_::import("collections.abc").attr("MutableMapping");
  py::dict ns;
  ns["__module__"] = "kestro.s3.storvane";
  ns["__doc__"] = "A session's configuration providers, each chain built when first looked up.";
  ns["__slots__"] = py::make_tuple("_session", "_environ", "_made", "_own", "_entries");
  ns["__hash__"] = py::none();
  py::object cls = builtins.attr("type")("_ConfigChains", py::make_tuple(base), ns);
  auto method = [&](const char* name, auto&& fn) {
    cls.attr(name) = py::cpp_function(fn, py::name(name), py::is_method(cls));
  };
  method("__getitem__", &lazy_getitem);
  method("__contains__", &lazy_contains);
  method("__setitem__", &lazy_setitem);
  method("__delitem__", &lazy_delitem);
  method("__iter__", &lazy_iter);
  method("__len__", &lazy_len);
  method("__copy__", &lazy_copy);
  method("__deepcopy__", &lazy_deepcopy);
  method("__repr__", &lazy_repr);
  // Every abstract method is defined now.
  cls.attr("__abstractmethods__") = builtins.attr("frozenset")();
  g_lazy_type = keep(cls).ptr();
}

// ---- where botocore makes and copies its store -------------------------------

bool tables_unchanged() {
  py::handle module = h(g_configprovider);
  if (module.attr("create_botocore_default_config_mapping").ptr() != g_default_mapping) return false;
  if (module.attr("ConfigValueStore").ptr() != g_store_type) return false;
  for (int i = 0; i < 3; ++i) {
    py::object now = module.attr(kTableNames[i]);
    py::object then = h(g_tables)[py::int_(i)];
    if (!now.equal(then)) return false;
  }
  return true;
}

void register_config_store(py::object self) {
  if (!building_botocore() || Py_TYPE(self.ptr()) != reinterpret_cast<PyTypeObject*>(g_session_cls) ||
      !tables_unchanged())
    return void(h(g_register_config_store)(self));
  py::object store = h(g_store_type)();
  store.attr("_mapping") = new_lazy(self, py::module_::import("os").attr("environ"), py::dict(), py::dict(),
                                    py::none());
  self.attr("_components").attr("register_component")("config_store", store);
}

// botocore's copy rebuilds the store from its table's items, which would
// build every chain; a lazy table is copied as a table instead.
py::object store_copy(py::object self) {
  py::object table = py::getattr(self, "_mapping", py::none());
  if (Py_TYPE(table.ptr()) != reinterpret_cast<PyTypeObject*>(g_lazy_type)) return h(g_store_copy)(self);
  py::object copied = h(g_store_type)();
  copied.attr("_mapping") = lazy_copy(table);
  py::dict overrides = self.attr("_overrides");
  for (auto item : overrides) copied.attr("set_config_variable")(item.first, item.second);
  return copied;
}

}  // namespace

void install_lazy_config_store() {
  py::module_ cp = py::module_::import("botocore.configprovider");
  py::module_ session_mod = py::module_::import("botocore.session");
  for (const char* name : {"ConfigValueStore", "ConfigChainFactory", "SectionConfigProvider", "ChainProvider",
                           "EnvironmentProvider", "ConstantProvider",
                           "create_botocore_default_config_mapping", "_create_config_chain_mapping"})
    if (!py::hasattr(cp, name)) return;
  for (const char* name : kTableNames)
    if (!py::hasattr(cp, name)) return;
  py::object session_cls = py::getattr(session_mod, "Session", py::none());
  py::object store_cls = cp.attr("ConfigValueStore");
  if (session_cls.is_none() || !py::hasattr(session_cls, "_register_config_store") ||
      !py::hasattr(store_cls, "__copy__"))
    return;

  py::object deepcopy = py::module_::import("copy").attr("deepcopy");
  g_tables = keep(py::make_tuple(deepcopy(cp.attr(kTableNames[0])), deepcopy(cp.attr(kTableNames[1])),
                                 deepcopy(cp.attr(kTableNames[2]))))
                 .ptr();
  g_configprovider = keep(cp).ptr();
  g_store_type = keep(store_cls).ptr();
  g_default_mapping = keep(cp.attr("create_botocore_default_config_mapping")).ptr();
  g_chain_factory = keep(cp.attr("ConfigChainFactory")).ptr();
  g_section_provider = keep(cp.attr("SectionConfigProvider")).ptr();
  g_chain_mapping = keep(cp.attr("_create_config_chain_mapping")).ptr();
  g_session_cls = keep(session_cls).ptr();
  g_environment_type = keep(cp.attr("EnvironmentProvider")).ptr();
  g_constant_type = keep(cp.attr("ConstantProvider")).ptr();
  g_chain_type = keep(cp.attr("ChainProvider")).ptr();
  g_common = keep(py::dict()).ptr();
  make_lazy_type();

  g_register_config_store = keep(session_cls.attr("_register_config_store")).ptr();
  session_cls.attr("_register_config_store") = py::cpp_function(
      &register_config_store, py::name("_register_config_store"), py::is_method(session_cls));
  g_store_copy = keep(store_cls.attr("__copy__")).ptr();
  store_cls.attr("__copy__") = py::cpp_function(&store_copy, py::name("__copy__"), py::is_method(store_cls));
}

}  // namespace kestro::storvane
