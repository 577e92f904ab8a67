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

#include <cstdint>
#include <string>

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
PyObject* g_os = nullptr;  // the os module
// botocore's variable tables when sharing started: (session variables, s3
// section, proxies section), copies holding botocore's own descriptions.
// Sessions are given the lazy table only while botocore's tables still
// hold exactly these.
PyObject* g_tables = nullptr;

// Attribute and key names, interned once: these run for every chain and
// every client.
struct Names {
  PyObject *env, *name, *value, *providers, *environ, *create_config_chain, *mapping, *overrides,
      *set_config_variable, *components, *register_component, *config_store, *env_kind, *constant_kind;
};
Names n{};

void intern_names() {
  n = Names{interned("_env"), interned("_name"), interned("_value"), interned("_providers"), interned("environ"),
            interned("create_config_chain"), interned("_mapping"), interned("_overrides"),
            interned("set_config_variable"), interned("_components"), interned("register_component"),
            interned("config_store"), interned("env"), interned("constant")};
}

// `o.<name>` or NULL, with no error left set.
py::object attr_or_null(py::handle o, PyObject* name) {
  PyObject* value = PyObject_GetAttr(o.ptr(), name);
  if (value == nullptr) PyErr_Clear();
  return py::reinterpret_steal<py::object>(value);
}

constexpr const char* kTableNames[] = {"BOTOCORE_DEFAUT_SESSION_VARIABLES", "DEFAULT_S3_CONFIG_VARS",
                                       "DEFAULT_PROXIES_CONFIG_VARS"};
constexpr const char* kSections[] = {"s3", "proxies_config"};

// Py_NewRef, which Python 3.8 lacks.
PyObject* new_ref(PyObject* o) {
  Py_INCREF(o);
  return o;
}

// The lazy table's state (its type is made below).
struct Chains {
  PyObject_HEAD
  PyObject* session;  // the session its chains read
  PyObject* environ;  // the environment they read
  PyObject* made;     // name -> chain built so far; shared with the copies
  PyObject* own;      // name -> provider assigned; NULL once whole
  PyObject* entries;  // NULL until the table is made whole; then the plain dict
};

Chains* chains(PyObject* o) { return reinterpret_cast<Chains*>(o); }

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
PyObject* g_common = nullptr;  // ("env", name, environment) or ("constant", type, value) -> provider

bool immutable_value(py::handle value) {
  PyObject* v = value.ptr();
  return v == Py_None || PyBool_Check(v) || PyLong_CheckExact(v) || PyFloat_CheckExact(v) || PyUnicode_CheckExact(v);
}

// The shared provider for `provider`, or `provider` itself.
py::object common_provider(py::handle provider) {
  PyTypeObject* type = Py_TYPE(provider.ptr());
  py::object key;
  if (type == reinterpret_cast<PyTypeObject*>(g_environment_type)) {
    py::object env = attr_or_null(provider, n.env);
    py::object name = attr_or_null(provider, n.name);
    py::object environ = attr_or_null(h(g_os), n.environ);
    if (!env || !name || env.ptr() != environ.ptr() || !PyUnicode_CheckExact(name.ptr()))
      return py::reinterpret_borrow<py::object>(provider);
    // keyed by the environment too: a provider keeps the one it reads alive
    key = py::make_tuple(py::handle(n.env_kind), name, py::int_(reinterpret_cast<std::uintptr_t>(env.ptr())));
  } else if (type == reinterpret_cast<PyTypeObject*>(g_constant_type)) {
    py::object value = attr_or_null(provider, n.value);
    if (!value || !immutable_value(value)) return py::reinterpret_borrow<py::object>(provider);
    key = py::make_tuple(py::handle(n.constant_kind), py::type::handle_of(value), value);
  } else {
    return py::reinterpret_borrow<py::object>(provider);
  }
  PyObject* shared = PyDict_SetDefault(g_common, key.ptr(), provider.ptr());  // borrowed
  if (shared == nullptr) throw py::error_already_set();
  return py::reinterpret_borrow<py::object>(shared);
}

// The chain with its shareable providers replaced by the shared ones.
void share_common(py::handle chain) {
  if (g_common == nullptr || Py_TYPE(chain.ptr()) != reinterpret_cast<PyTypeObject*>(g_chain_type)) return;
  py::object providers = attr_or_null(chain, n.providers);
  if (!providers || !PyList_CheckExact(providers.ptr())) return;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(providers.ptr()); ++i) {
    py::object shared = common_provider(PyList_GET_ITEM(providers.ptr(), i));
    if (PyList_SetItem(providers.ptr(), i, shared.release().ptr()) < 0) throw py::error_already_set();
  }
}

// The provider botocore's create_botocore_default_config_mapping makes for
// `name`.
py::object make_provider(Chains* table, py::handle name) {
  py::handle session(table->session), environ(table->environ);
  // Positional, in the order botocore's signatures have them.
  py::object factory = h(g_chain_factory)(session, environ);
  if (is_section(name)) {
    py::handle table = h(g_tables)[py::int_(name.cast<std::string>() == "s3" ? 1 : 2)];
    py::object chains = h(g_chain_mapping)(factory, table);
    for (auto item : py::reinterpret_borrow<py::dict>(chains)) share_common(item.second);
    return h(g_section_provider)(name, session, chains);
  }
  py::tuple config = session_variables()[name];
  py::object create = py::reinterpret_steal<py::object>(PyObject_GetAttr(factory.ptr(), n.create_config_chain));
  if (!create) throw py::error_already_set();
  py::object chain = create(name, config[1], config[0], config[2], config[3]);
  share_common(chain);
  return chain;
}

// ---- the lazy table ----------------------------------------------------------
//
// A C-level mapping: botocore looks a variable up (`in`, then `[]`) dozens
// of times per client, so the lookups cost what a dict's do. A Python
// subclass adds MutableMapping's methods and the copies.

// Runs `body`, turning a C++ exception into the Python error it carries.
template <typename R, typename F>
R guarded(R failed, F&& body) {
  try {
    return body();
  } catch (py::error_already_set& e) {
    e.restore();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  }
  return failed;
}

// The provider for `name` while the table is lazy: assigned, built, or
// built now; NULL with KeyError set for any other name.
PyObject* lazy_lookup(Chains* self, PyObject* name) {
  PyObject* hit = PyDict_GetItemWithError(self->own, name);  // borrowed
  if (hit == nullptr && !PyErr_Occurred()) hit = PyDict_GetItemWithError(self->made, name);
  if (hit != nullptr) return new_ref(hit);
  if (PyErr_Occurred()) return nullptr;
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    py::handle key(name);
    if (!is_default_name(key)) {
      PyErr_SetObject(PyExc_KeyError, name);
      return nullptr;
    }
    py::object built = make_provider(self, key);
    PyObject* kept = PyDict_SetDefault(self->made, name, built.ptr());  // borrowed
    if (kept == nullptr) return nullptr;
    return new_ref(kept);
  });
}

// Every entry, in the order botocore's table has them: its variables, its
// sections, then the names assigned besides.
PyObject* make_whole(Chains* self) {
  if (self->entries != nullptr) return self->entries;
  PyObject* all = guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    py::dict whole;
    auto add = [&](py::handle name) {
      PyObject* provider = lazy_lookup(self, name.ptr());
      if (provider == nullptr) throw py::error_already_set();
      whole[name] = py::reinterpret_steal<py::object>(provider);
    };
    for (auto item : session_variables()) add(item.first);
    for (const char* section : kSections) add(py::str(section));
    for (auto item : py::reinterpret_borrow<py::dict>(self->own)) whole[item.first] = item.second;
    return whole.release().ptr();
  });
  if (all == nullptr) return nullptr;
  if (self->entries != nullptr) {  // made whole meanwhile, by another thread
    Py_DECREF(all);
    return self->entries;
  }
  self->entries = all;
  Py_CLEAR(self->own);
  return all;
}

PyObject* chains_subscript(PyObject* o, PyObject* name) {
  Chains* self = chains(o);
  if (self->entries != nullptr) return PyObject_GetItem(self->entries, name);
  return lazy_lookup(self, name);
}

int chains_contains(PyObject* o, PyObject* name) {
  Chains* self = chains(o);
  if (self->entries != nullptr) return PyDict_Contains(self->entries, name);
  int found = PyDict_Contains(self->own, name);
  if (found != 0) return found;
  return guarded<int>(-1, [&] { return is_default_name(py::handle(name)) ? 1 : 0; });
}

int chains_ass_subscript(PyObject* o, PyObject* name, PyObject* value) {
  Chains* self = chains(o);
  if (value != nullptr && self->entries == nullptr) return PyDict_SetItem(self->own, name, value);
  PyObject* whole = make_whole(self);
  if (whole == nullptr) return -1;
  return value == nullptr ? PyDict_DelItem(whole, name) : PyDict_SetItem(whole, name, value);
}

Py_ssize_t chains_length(PyObject* o) {
  PyObject* whole = make_whole(chains(o));
  return whole == nullptr ? -1 : PyDict_Size(whole);
}

PyObject* chains_iter(PyObject* o) {
  PyObject* whole = make_whole(chains(o));
  return whole == nullptr ? nullptr : PyObject_GetIter(whole);
}

int chains_traverse(PyObject* o, visitproc visit, void* arg) {
  // The heap subclass's own traverse visits the type.
  Chains* self = chains(o);
  Py_VISIT(self->session);
  Py_VISIT(self->environ);
  Py_VISIT(self->made);
  Py_VISIT(self->own);
  Py_VISIT(self->entries);
  return 0;
}

int chains_clear(PyObject* o) {
  Chains* self = chains(o);
  Py_CLEAR(self->session);
  Py_CLEAR(self->environ);
  Py_CLEAR(self->made);
  Py_CLEAR(self->own);
  Py_CLEAR(self->entries);
  return 0;
}

// Instances are always of the heap subclass, whose dealloc releases the
// type after this.
void chains_dealloc(PyObject* o) {
  PyObject_GC_UnTrack(o);
  chains_clear(o);
  Py_TYPE(o)->tp_free(o);
}

PyObject* chains_get_made(PyObject* o, void*) { return new_ref(chains(o)->made); }

PyMappingMethods g_chains_mapping = {chains_length, chains_subscript, chains_ass_subscript};
PySequenceMethods g_chains_sequence = {};
PyGetSetDef g_chains_getset[] = {
    {const_cast<char*>("_made"), chains_get_made, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};
PyTypeObject g_chains_base = {PyVarObject_HEAD_INIT(nullptr, 0)};

// A new table of `type` (the subclass) over the given parts; `own` and
// `entries` are copied, either may be NULL.
PyObject* new_chains(PyObject* session, PyObject* environ, PyObject* made, PyObject* own, PyObject* entries) {
  PyTypeObject* type = reinterpret_cast<PyTypeObject*>(g_lazy_type);
  PyObject* o = type->tp_alloc(type, 0);
  if (o == nullptr) return nullptr;
  Chains* self = chains(o);
  self->session = new_ref(session);
  self->environ = new_ref(environ);
  self->made = new_ref(made);
  self->own = own == nullptr ? nullptr : PyDict_Copy(own);
  self->entries = entries == nullptr ? nullptr : PyDict_Copy(entries);
  if ((own != nullptr && self->own == nullptr) || (entries != nullptr && self->entries == nullptr)) {
    Py_DECREF(o);
    return nullptr;
  }
  return o;
}

py::object new_lazy(py::handle session, py::handle environ) {
  py::dict made, own;
  PyObject* o = new_chains(session.ptr(), environ.ptr(), made.ptr(), own.ptr(), nullptr);
  if (o == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(o);
}

// A copy shares the chains built, before and after, as a copied dict
// shares its values.
py::object lazy_copy(py::object table) {
  Chains* self = chains(table.ptr());
  PyObject* o = new_chains(self->session, self->environ, self->made, self->own, self->entries);
  if (o == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(o);
}

py::dict whole_of(py::object table) {
  PyObject* whole = make_whole(chains(table.ptr()));
  if (whole == nullptr) throw py::error_already_set();
  return py::reinterpret_borrow<py::dict>(whole);
}

// As botocore deep-copies its dict: every provider deep-copied.
py::object lazy_deepcopy(py::object self, py::object memo) {
  return py::module_::import("copy").attr("deepcopy")(whole_of(self), memo);
}

std::string lazy_repr(py::object self) {
  return "<configuration table of " + py::repr(whole_of(self)).cast<std::string>() + ">";
}

void make_lazy_type() {
  PyTypeObject& base = g_chains_base;
  base.tp_name = "kestro.s3.storvane._ConfigChainsBase";
  base.tp_basicsize = sizeof(Chains);
  base.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
  base.tp_doc = "Configuration providers built on first lookup.";
  base.tp_traverse = chains_traverse;
  base.tp_clear = chains_clear;
  base.tp_dealloc = chains_dealloc;
  base.tp_as_mapping = &g_chains_mapping;
  g_chains_sequence.sq_contains = chains_contains;
  base.tp_as_sequence = &g_chains_sequence;
  base.tp_iter = chains_iter;
  base.tp_getset = g_chains_getset;
  base.tp_hash = PyObject_HashNotImplemented;
  if (PyType_Ready(&base) < 0) throw py::error_already_set();

  py::module_ builtins = py::module_::import("builtins");
  py::dict ns;
  ns["__module__"] = "kestro.s3.storvane";
  ns["__doc__"] = "A session's configuration providers, each chain built when first looked up.";
  ns["__slots__"] = py::tuple();
  py::object bases = py::make_tuple(py::handle(reinterpret_cast<PyObject*>(&base)),
                                    py::module_::import("collections.abc").attr("MutableMapping"));
  py::object cls = builtins.attr("type")("_ConfigChains", bases, ns);
  auto method = [&](const char* name, auto&& fn) {
    cls.attr(name) = py::cpp_function(fn, py::name(name), py::is_method(cls));
  };
  method("__copy__", &lazy_copy);
  method("__deepcopy__", &lazy_deepcopy);
  method("__repr__", &lazy_repr);
  g_lazy_type = keep(cls).ptr();
}

// ---- where botocore makes and copies its store -------------------------------

bool tables_unchanged() {
  py::handle module = h(g_configprovider);
  if (module.attr("create_botocore_default_config_mapping").ptr() != g_default_mapping) return false;
  if (module.attr("ConfigValueStore").ptr() != g_store_type) return false;
  // Same names, each with the very description botocore had then (a
  // session builds its chains from these objects).
  for (int i = 0; i < 3; ++i) {
    py::object now = module.attr(kTableNames[i]);
    PyObject* then = PyTuple_GET_ITEM(g_tables, i);
    if (!PyDict_CheckExact(now.ptr()) || PyDict_GET_SIZE(now.ptr()) != PyDict_GET_SIZE(then)) return false;
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(then, &pos, &key, &value))
      if (PyDict_GetItemWithError(now.ptr(), key) != value) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return false;
      }
  }
  return true;
}

void register_config_store(py::object self) {
  if (!building_botocore() || Py_TYPE(self.ptr()) != reinterpret_cast<PyTypeObject*>(g_session_cls) ||
      !tables_unchanged())
    return void(h(g_register_config_store)(self));
  py::object store = h(g_store_type)();
  py::object environ = attr_or_null(h(g_os), n.environ);
  if (!environ) return void(h(g_register_config_store)(self));
  if (PyObject_SetAttr(store.ptr(), n.mapping, new_lazy(self, environ).ptr()) < 0) throw py::error_already_set();
  py::object components = py::reinterpret_steal<py::object>(PyObject_GetAttr(self.ptr(), n.components));
  if (!components) throw py::error_already_set();
  py::object do_register =
      py::reinterpret_steal<py::object>(PyObject_GetAttr(components.ptr(), n.register_component));
  if (!do_register) throw py::error_already_set();
  do_register(py::handle(n.config_store), store);
}

// botocore's copy rebuilds the store from its table's items, which would
// build every chain; a lazy table is copied as a table instead.
py::object store_copy(py::object self) {
  py::object table = attr_or_null(self, n.mapping);
  if (!table || Py_TYPE(table.ptr()) != reinterpret_cast<PyTypeObject*>(g_lazy_type)) return h(g_store_copy)(self);
  py::object copied = h(g_store_type)();
  if (PyObject_SetAttr(copied.ptr(), n.mapping, lazy_copy(table).ptr()) < 0) throw py::error_already_set();
  py::object overrides = py::reinterpret_steal<py::object>(PyObject_GetAttr(self.ptr(), n.overrides));
  if (!overrides) throw py::error_already_set();
  if (PyDict_Size(overrides.ptr()) > 0) {
    py::object set = py::reinterpret_steal<py::object>(PyObject_GetAttr(copied.ptr(), n.set_config_variable));
    if (!set) throw py::error_already_set();
    for (auto item : py::reinterpret_borrow<py::dict>(overrides)) set(item.first, item.second);
  }
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

  for (const char* name : kTableNames)
    if (!PyDict_CheckExact(cp.attr(name).ptr())) return;
  auto copied = [&](const char* name) { return py::reinterpret_steal<py::object>(PyDict_Copy(cp.attr(name).ptr())); };
  g_tables = keep(py::make_tuple(copied(kTableNames[0]), copied(kTableNames[1]), copied(kTableNames[2]))).ptr();
  intern_names();
  g_configprovider = keep(cp).ptr();
  g_os = keep(py::module_::import("os")).ptr();
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
