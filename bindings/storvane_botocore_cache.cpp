// Every file task builds its own boto3 session and S3 client. Most of that
// cost (several milliseconds with the GIL held, times fifty threads) is
// botocore redoing the same pure work for each new session: aliasing event
// names, inspecting handler signatures, parsing the endpoint rules, wrapping
// the service model and generating the client class. While a Storvane
// factory runs on a thread, those results are taken from process-wide
// caches instead. Only immutable or idempotently filled objects are shared;
// every session, client, credential set, configuration, event emitter and
// connection pool is still made anew for each call and never leaves its
// thread. Outside the factories botocore behaves exactly as it would
// without kestro.
#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "kestro/release.hpp"
#include "storvane_shared.hpp"

namespace py = pybind11;
using namespace pybind11::literals;

namespace kestro::storvane {

namespace {

// Depth of Storvane factory calls on this thread.
thread_local int t_building = 0;

// The botocore releases the sharing is tested with: from the newest that
// installs on Python 3.8 (the compatibility matrix's oldest leg) to the
// series of the newest release (its newest leg). botocore publishes a
// patch release of that series almost daily; a new series is outside until
// it is tested.
constexpr const char* kOldestBotocore = "1.37.38";
constexpr const char* kBotocoreBelow = "1.45";

bool g_shared = false;

// Originals and caches; leaked on purpose, like the module itself.
PyObject* g_accepts_kwargs = nullptr;
PyObject* g_accepts_weak = nullptr;     // weak keys: handlers
PyObject* g_accepts_by_code = nullptr;  // code objects
PyObject* g_missing = nullptr;
PyObject* g_aliaser_init = nullptr;
PyObject* g_aliases = nullptr;  // the default aliases when the cache started
PyObject* g_alias_names = nullptr;
PyObject* g_endpoint_provider = nullptr;
PyObject* g_providers = nullptr;
PyObject* g_load_service_model = nullptr;
PyObject* g_service_models = nullptr;
PyObject* g_create_client_class = nullptr;
PyObject* g_client_classes = nullptr;

py::int_ identity(py::handle o) { return py::int_(reinterpret_cast<std::uintptr_t>(o.ptr())); }

// Entries are keyed by the identity of data they keep alive. Sessions whose
// loader is not the shared one bring new data every time; past this many
// entries their results are used as they are instead of being kept.
constexpr std::size_t kMaxEntries = 64;

// The entry's first item when `key` is known; otherwise `entry` is kept
// (unless the cache is full) and its first item returned.
py::object remember(PyObject* cache, const py::object& key, const py::tuple& entry) {
  py::dict entries = py::reinterpret_borrow<py::dict>(cache);
  if (entries.contains(key)) return entries[key][py::int_(0)];
  if (py::len(entries) >= kMaxEntries) return entry[py::int_(0)];
  return entries.attr("setdefault")(key, entry)[py::int_(0)];
}

// A handler accepts **kwargs or not; inspect answers from the handler's
// code and signature, which botocore never changes. A plain function with
// no attributes of its own is answered by its code object, which every
// closure made from one definition shares (bound methods by their
// function's). Other functions, and instances of classes that keep
// identity equality, are keyed weakly by the object itself, so handlers
// made per session cost nothing once they are gone.
py::object accepts_kwargs(py::object func) {
  if (t_building == 0) return h(g_accepts_kwargs)(func);
  py::object fn = PyMethod_Check(func.ptr()) ? py::object(func.attr("__func__")) : func;
  py::object cache = py::reinterpret_borrow<py::object>(g_accepts_weak);
  py::object key = fn;
  if (PyFunction_Check(fn.ptr())) {
    if (py::len(fn.attr("__dict__")) == 0) {
      cache = py::reinterpret_borrow<py::object>(g_accepts_by_code);
      key = fn.attr("__code__");
    }
  } else {
    py::handle type = py::type::handle_of(fn);
    py::handle base = reinterpret_cast<PyObject*>(&PyBaseObject_Type);
    if (!PyObject_HasAttrString(type.ptr(), "__weakref__") || !type.attr("__eq__").is(base.attr("__eq__")) ||
        !type.attr("__hash__").is(base.attr("__hash__")))
      return h(g_accepts_kwargs)(func);
  }
  py::object cached = cache.attr("get")(key, h(g_missing));
  if (!cached.is(h(g_missing))) return cached;
  py::object result = h(g_accepts_kwargs)(func);
  cache.attr("__setitem__")(key, result);
  return result;
}

// An alias name depends only on the event name and the alias table; every
// aliaser built with the default table shares one name cache (entries are
// only ever added, each as a whole).
void aliaser_init(py::args args, py::kwargs kwargs) {
  h(g_aliaser_init)(*args, **kwargs);
  if (t_building == 0) return;
  py::object self = args[0];
  if (!py::hasattr(self, "_event_aliases")) return;
  py::object aliases = self.attr("_event_aliases");
  if (!aliases.equal(py::reinterpret_borrow<py::object>(g_aliases))) return;
  self.attr("_alias_name_cache") = h(g_alias_names);
}

// The endpoint rules parsed into rule objects: read-only once built;
// resolving copies its inputs and memoises per provider behind a lock-free
// lru cache. Keyed by the identity of the loader's rule and partition data
// (kept alive here), which the shared model loader hands to every session.
py::object endpoint_provider(py::args args, py::kwargs kwargs) {
  if (t_building == 0 || args.size() != 0 || !kwargs.contains("ruleset_data") || !kwargs.contains("partition_data"))
    return h(g_endpoint_provider)(*args, **kwargs);
  py::object rules = kwargs["ruleset_data"];
  py::object partitions = kwargs["partition_data"];
  py::object excluded = kwargs.contains("excluded_params") ? py::object(kwargs["excluded_params"]) : py::none();
  py::object excluded_key = py::module_::import("builtins").attr("frozenset")(
      excluded.is_none() ? py::object(py::tuple()) : excluded);
  py::tuple key = py::make_tuple(identity(rules), identity(partitions), excluded_key);
  py::object hit = h(g_providers).attr("get")(key);
  if (!hit.is_none()) return hit[py::int_(0)];
  py::object provider = h(g_endpoint_provider)(*args, **kwargs);
  return remember(g_providers, key, py::make_tuple(provider, rules, partitions));
}

// The service model wraps the loader's (shared, never modified) description;
// its operation and shape objects are built lazily and cached on it, so a
// shared one pays that once instead of once per client.
py::object load_service_model(py::args args, py::kwargs kwargs) {
  py::object model = h(g_load_service_model)(*args, **kwargs);
  if (t_building == 0 || !py::hasattr(model, "_service_description") || !py::hasattr(model, "service_name"))
    return model;
  py::object description = model.attr("_service_description");
  py::tuple key = py::make_tuple(identity(description), model.attr("service_name"));
  return remember(g_service_models, key, py::make_tuple(model, description));
}

// What the handlers of an event amount to: their code in order. Sessions
// made by the factories all carry botocore's and boto3's default handlers;
// any other handler makes the signature differ.
py::tuple handler_signature(py::handle creator, const std::string& event) {
  py::object aliaser = creator.attr("_event_emitter");
  py::object handlers = aliaser.attr("_emitter").attr("_handlers").attr("prefix_search")(event);
  py::list codes;
  for (py::handle handler : handlers) {
    py::object fn = py::reinterpret_borrow<py::object>(handler);
    if (PyMethod_Check(fn.ptr())) fn = fn.attr("__func__");
    if (PyFunction_Check(fn.ptr()))
      codes.append(fn.attr("__code__"));
    else
      codes.append(py::type::handle_of(fn));
  }
  return py::tuple(codes);
}

// The generated client class holds only methods that read the instance's
// own state. It is shared while no session initializer is registered and
// the class-building handlers are botocore's and boto3's defaults.
py::object create_client_class(py::object self, py::object service_name, py::object service_model) {
  auto make = [&] { return h(g_create_client_class)(self, service_name, service_model); };
  if (t_building == 0) return make();
  py::object key;
  try {
    py::object initializers = py::module_::import("botocore").attr("_INITIALIZERS");
    if (py::len(initializers) != 0) return make();
    std::string event = "creating-client-class." +
                        py::str(service_model.attr("service_id").attr("hyphenize")()).cast<std::string>();
    key = py::make_tuple(service_name, identity(service_model), handler_signature(self, event));
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_AttributeError)) throw;
    return make();
  }
  py::object hit = h(g_client_classes).attr("get")(key);
  if (!hit.is_none()) return hit[py::int_(0)];
  py::object cls = make();
  return remember(g_client_classes, key, py::make_tuple(cls, service_model));
}

PyObject* g_aliaser_type = nullptr;

// ---- the session's built-in handlers -----------------------------------------
//
// Every new botocore session registers the same few hundred built-in
// handlers one by one (aliasing, checking and filing each), about a fifth
// of a file task's time with the GIL held. The handler tree that comes out
// depends only on that list and the alias table, so the first session made
// by a factory registers them and its tree is kept; the later ones start
// from that tree (below).

PyObject* g_register_builtin = nullptr;
PyObject* g_nodelist_type = nullptr;
PyObject* g_session_type = nullptr;
PyObject* g_emitter_type = nullptr;
PyObject* g_builtin_specs = nullptr;     // the handler list the tree was made from, as a tuple
PyObject* g_builtin_handlers = nullptr;  // the tree: a _PrefixTrie, never handed out
PyObject* g_builtin_unique = nullptr;    // its unique-id table

// A node's handler lists (a NodeList of three lists), or None, copied.
py::object copy_nodelist(py::handle values) {
  if (values.is_none()) return py::none();
  py::tuple lists = py::reinterpret_borrow<py::tuple>(values);
  py::list first(PySequence_List(lists[0].ptr()), false), middle(PySequence_List(lists[1].ptr()), false),
      last(PySequence_List(lists[2].ptr()), false);
  return h(g_nodelist_type)(first, middle, last);
}

// A trie node (or the trie's attributes) with new dicts and handler lists
// all the way down and the same handlers, as the trie's own copy makes it.
py::object copy_node(py::handle node) {
  py::dict copied;
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(node.ptr(), &pos, &key, &value)) {
    if (Py_TYPE(value) == reinterpret_cast<PyTypeObject*>(g_nodelist_type)) {
      copied[key] = copy_nodelist(value);
    } else if (PyDict_CheckExact(value)) {
      copied[key] = copy_node(value);
    } else {
      copied[key] = py::handle(value);
    }
  }
  return std::move(copied);
}

py::object copy_trie(py::handle trie) {
  py::object copied = py::type::handle_of(trie)();
  copied.attr("__dict__") = copy_node(trie.attr("__dict__"));
  return copied;
}

// ---- handler trees shared until written ------------------------------------
//
// Even copied, a session's handler tree is some eight hundred tracked
// objects (a dict per node, a tuple and three lists per handler slot), made
// for every file task and alive for all of it, so the collector moves most
// of them to its oldest generation and walks them again and again. The
// sessions the factories make instead start from the kept tree itself and
// copy only the nodes on the path of what they register or remove; a
// node they copied carries the tree's token, so it is copied only once.

PyObject* g_shared_trie_type = nullptr;
PyObject* g_trie_append = nullptr;
PyObject* g_trie_remove = nullptr;
PyObject* g_default_section = nullptr;  // append_item's default section
PyObject* g_empty_section = nullptr;    // an empty handler list

// Node keys and trie attributes, interned once: every handler a session or
// client registers goes through them.
struct TrieNames {
  PyObject *chunk, *values, *children, *owner, *kids, *token, *root, *split;
};
TrieNames tn{};

// node[key] (borrowed); KeyError when it is missing.
PyObject* item(py::handle node, PyObject* key) {
  PyObject* value = PyDict_GetItemWithError(node.ptr(), key);
  if (value == nullptr) {
    if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
    throw py::error_already_set();
  }
  return value;
}

void set_item(py::handle node, PyObject* key, py::handle value) {
  if (PyDict_SetItem(node.ptr(), key, value.ptr()) < 0) throw py::error_already_set();
}

py::object get_attr(py::handle o, PyObject* name) {
  PyObject* value = PyObject_GetAttr(o.ptr(), name);
  if (value == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(value);
}

bool owned(py::handle node, py::handle token) {
  PyObject* owner = PyDict_GetItem(node.ptr(), tn.owner);  // borrowed
  return owner == token.ptr();
}

// The node as the tree's own, to set its keys in place; its table of
// children and its handler lists stay shared until they change.
py::dict own_node(py::handle node, py::handle token) {
  py::dict copied;
  set_item(copied, tn.chunk, item(node, tn.chunk));
  set_item(copied, tn.values, item(node, tn.values));
  set_item(copied, tn.children, item(node, tn.children));
  set_item(copied, tn.owner, token);
  return copied;
}

// An owned node's table of children, made the tree's own first.
py::dict own_children(py::handle node, py::handle token) {
  PyObject* kids = PyDict_GetItem(node.ptr(), tn.kids);  // borrowed
  PyObject* children = item(node, tn.children);
  if (kids == token.ptr()) return py::reinterpret_borrow<py::dict>(children);
  py::dict copied = py::reinterpret_steal<py::dict>(PyDict_Copy(children));
  if (!copied) throw py::error_already_set();
  set_item(node, tn.children, copied);
  set_item(node, tn.kids, token);
  return copied;
}

py::object own_root(py::handle self, py::handle token) {
  py::object node = get_attr(self, tn.root);
  if (owned(node, token)) return node;
  node = own_node(node, token);
  if (PyObject_SetAttr(self.ptr(), tn.root, node.ptr()) < 0) throw py::error_already_set();
  return node;
}

// Handler lists of a shared tree are never changed in place: a handler
// added makes a new list for its section, the node a new NodeList holding
// it and the two other lists as they were. The nodes on the way are made
// the tree's own (new ones are so from the start).
void shared_append(py::object self, py::object key, py::object value, py::args rest, py::kwargs options) {
  if (rest.size() + options.size() > 1 || (options.size() == 1 && !options.contains("section")))
    return void(h(g_trie_append)(self, key, value, *rest, **options));
  py::object section = rest.size() == 1 ? py::object(rest[0])
                       : options.size() == 1 ? py::object(options["section"])
                                             : py::reinterpret_borrow<py::object>(g_default_section);
  py::object token = get_attr(self, tn.token);
  py::object node = own_root(self, token);
  py::object parts = get_attr(key, tn.split)(".");
  for (py::handle part : parts) {
    py::dict children = own_children(node, token);
    PyObject* child = PyDict_GetItemWithError(children.ptr(), part.ptr());  // borrowed
    if (child == nullptr && PyErr_Occurred()) throw py::error_already_set();
    if (child == nullptr) {
      py::dict made;
      set_item(made, tn.chunk, part);
      set_item(made, tn.values, py::none());
      set_item(made, tn.children, py::dict());
      set_item(made, tn.owner, token);
      set_item(made, tn.kids, token);
      children[part] = made;
      node = std::move(made);
    } else if (owned(child, token)) {
      node = py::reinterpret_borrow<py::object>(child);
    } else {
      node = own_node(child, token);
      children[part] = node;
    }
  }
  py::object values = py::reinterpret_borrow<py::object>(item(node, tn.values));
  py::list lists;
  if (values.is_none()) {
    // Sections left empty share one empty list, which (like every list
    // here) is never changed in place.
    for (int i = 0; i < 3; ++i) lists.append(h(g_empty_section));
  } else {
    lists = py::list(values);
  }
  py::list grown = py::reinterpret_steal<py::list>(PySequence_List(lists.attr("__getitem__")(section).ptr()));
  if (!grown) throw py::error_already_set();
  grown.append(value);
  lists.attr("__setitem__")(section, grown);
  set_item(node, tn.values, h(g_nodelist_type)(*lists));
}

// Removing changes the last node's lists in place: the path and those
// lists are made the tree's own, then the trie's own method runs.
void shared_remove(py::object self, py::object key, py::object value) {
  py::object token = get_attr(self, tn.token);
  py::object node = own_root(self, token);
  py::list parts = get_attr(key, tn.split)(".");
  for (std::size_t i = 0; i < parts.size(); ++i) {
    py::dict children = own_children(node, token);
    PyObject* child = PyDict_GetItem(children.ptr(), parts[i].ptr());  // borrowed
    if (child == nullptr) break;
    if (owned(child, token)) {
      node = py::reinterpret_borrow<py::object>(child);
    } else {
      node = own_node(child, token);
      children[parts[i]] = node;
    }
    if (i + 1 == parts.size()) set_item(node, tn.values, copy_nodelist(item(node, tn.values)));
  }
  h(g_trie_remove)(self, key, value);
}

py::object new_shared_trie(py::handle root) {
  py::object trie = h(g_shared_trie_type)();
  py::dict state;
  state["_root"] = root;
  state["_token"] = py::module_::import("builtins").attr("object")();
  trie.attr("__dict__") = state;
  return trie;
}

// A copy shares every node with the original; from then on neither
// changes a node in place that it had owned.
py::object shared_copy(py::object self) {
  self.attr("_token") = py::module_::import("builtins").attr("object")();
  return new_shared_trie(self.attr("_root"));
}

void install_shared_trie(py::handle trie_cls) {
  if (!py::hasattr(trie_cls, "append_item") || !py::hasattr(trie_cls, "remove_item") ||
      !py::hasattr(trie_cls, "prefix_search"))
    return;
  tn = TrieNames{interned("chunk"),  interned("values"), interned("children"), interned("_owner"),
                 interned("_kids"),   interned("_token"), interned("_root"),    interned("split")};
  py::object defaults = py::getattr(trie_cls.attr("append_item"), "__defaults__", py::none());
  if (!PyTuple_Check(defaults.ptr()) || PyTuple_GET_SIZE(defaults.ptr()) != 1) return;
  g_default_section = keep(defaults[py::int_(0)]).ptr();
  g_empty_section = keep(py::list()).ptr();
  g_trie_append = keep(trie_cls.attr("append_item")).ptr();
  g_trie_remove = keep(trie_cls.attr("remove_item")).ptr();
  py::dict ns;
  ns["__module__"] = "kestro.s3.storvane";
  ns["__doc__"] = "A handler tree sharing unchanged nodes with the tree it was made from.";
  py::object cls = py::module_::import("builtins").attr("type")("_SharedPrefixTrie", py::make_tuple(trie_cls), ns);
  cls.attr("append_item") = py::cpp_function(&shared_append, py::name("append_item"), py::is_method(cls));
  cls.attr("remove_item") = py::cpp_function(&shared_remove, py::name("remove_item"), py::is_method(cls));
  cls.attr("__copy__") = py::cpp_function(&shared_copy, py::name("__copy__"), py::is_method(cls));
  g_shared_trie_type = keep(cls).ptr();
}

// The emitter a plain botocore session was just given, still empty, with
// the default alias table; None otherwise.
py::object fresh_default_emitter(py::handle session, py::handle events) {
  if (Py_TYPE(session.ptr()) != reinterpret_cast<PyTypeObject*>(g_session_type)) return py::none();
  if (Py_TYPE(events.ptr()) != reinterpret_cast<PyTypeObject*>(g_aliaser_type)) return py::none();
  if (!events.is(session.attr("_events"))) return py::none();
  py::object aliases = events.attr("_event_aliases");
  if (g_aliases == nullptr || !aliases.equal(py::reinterpret_borrow<py::object>(g_aliases))) return py::none();
  py::object emitter = events.attr("_emitter");
  if (Py_TYPE(emitter.ptr()) != reinterpret_cast<PyTypeObject*>(g_emitter_type)) return py::none();
  if (py::len(emitter.attr("_unique_id_handlers")) != 0) return py::none();
  py::object root = emitter.attr("_handlers").attr("_root");
  if (py::len(root["children"]) != 0 || !root["values"].is_none()) return py::none();
  return emitter;
}

// unique id -> {"handler": ..., "count": ...}: the entries are counted in
// place, so each is a copy.
py::dict copy_unique(py::handle table) {
  py::dict copied;
  for (auto item : py::reinterpret_borrow<py::dict>(table))
    copied[item.first] = py::reinterpret_steal<py::object>(PyDict_Copy(item.second.ptr()));
  return copied;
}

void register_builtin_handlers(py::object self, py::object events) {
  auto original = [&] { h(g_register_builtin)(self, events); };
  if (t_building == 0) return original();
  py::object emitter = fresh_default_emitter(self, events);
  if (emitter.is_none()) return original();
  py::tuple specs(py::module_::import("botocore.handlers").attr("BUILTIN_HANDLERS"));
  if (g_builtin_specs == nullptr || !specs.equal(py::reinterpret_borrow<py::object>(g_builtin_specs))) {
    original();
    py::object tree = copy_trie(emitter.attr("_handlers"));
    py::object unique = copy_unique(emitter.attr("_unique_id_handlers"));
    // A later handler list replaces the kept tree (the old one is leaked,
    // like the module's other caches).
    g_builtin_specs = keep(specs).ptr();
    g_builtin_handlers = keep(tree).ptr();
    g_builtin_unique = keep(unique).ptr();
    return;
  }
  if (g_shared_trie_type != nullptr)
    emitter.attr("_handlers") = new_shared_trie(h(g_builtin_handlers).attr("_root"));
  else
    emitter.attr("_handlers") = copy_trie(h(g_builtin_handlers));
  emitter.attr("_unique_id_handlers") = copy_unique(h(g_builtin_unique));
  emitter.attr("_lookup_cache") = py::dict();
}

// ---- boto3's default handlers ---------------------------------------------
//
// Every boto3 session registers a handful of handlers made by
// boto3.utils.lazy_call: closures that import a function by name when
// first called. One made for a name alone reads nothing else, so the
// sessions the factories make all get the same one (those given more
// arguments, such as the session's own emitter, are made anew).

PyObject* g_lazy_call = nullptr;
PyObject* g_lazy_handlers = nullptr;  // full name -> handler

py::object lazy_call(py::object full_name, py::kwargs kwargs) {
  if (t_building == 0 || kwargs.size() != 0 || !PyUnicode_CheckExact(full_name.ptr()))
    return h(g_lazy_call)(full_name, **kwargs);
  py::dict cache = py::reinterpret_borrow<py::dict>(g_lazy_handlers);
  PyObject* hit = PyDict_GetItemWithError(cache.ptr(), full_name.ptr());  // borrowed
  if (hit != nullptr) return py::reinterpret_borrow<py::object>(hit);
  if (PyErr_Occurred()) throw py::error_already_set();
  py::object handler = h(g_lazy_call)(full_name);
  if (py::len(cache) < kMaxEntries) cache[full_name] = handler;
  return handler;
}

// Replaces `owner.name` with `replacement` and keeps the original, unless
// botocore no longer has it.
bool swap(py::handle owner, const char* name, py::object replacement, PyObject*& original) {
  if (!py::hasattr(owner, name)) return false;
  original = keep(owner.attr(name)).ptr();
  owner.attr(name) = replacement;
  return true;
}

}  // namespace

BuildingScope::BuildingScope() { ++t_building; }
BuildingScope::~BuildingScope() { --t_building; }

bool botocore_shared() { return g_shared; }

bool building_botocore() { return t_building != 0; }

std::string botocore_version() {
  py::object version = py::getattr(py::module_::import("botocore"), "__version__", py::none());
  return py::isinstance<py::str>(version) ? version.cast<std::string>() : std::string("unknown");
}

void say_botocore_not_shared() {
  static bool said = false;  // under the GIL
  if (g_shared || said) return;
  said = true;
  kestro::py_common::bmobj().attr("log_debug")("storvane: botocore " + botocore_version() +
                                               " is outside the releases " + kOldestBotocore + " to " +
                                               kBotocoreBelow +
                                               " (excluded) that sharing is tested with: plain per-task "
                                               "sessions and clients");
}

void install_botocore_sharing() {
  // Everything below replaces private parts of botocore: only on releases
  // it was tested with.
  g_shared = kestro::release::in_range(botocore_version(), kOldestBotocore, kBotocoreBelow);
  if (!g_shared) return;
  py::module_ hooks = py::module_::import("botocore.hooks");
  py::module_ regions = py::module_::import("botocore.regions");
  py::module_ client = py::module_::import("botocore.client");
  py::module_ builtins = py::module_::import("builtins");

  g_missing = keep(builtins.attr("object")()).ptr();
  g_accepts_weak = keep(py::module_::import("weakref").attr("WeakKeyDictionary")()).ptr();
  g_accepts_by_code = keep(py::dict()).ptr();
  swap(hooks, "accepts_kwargs", py::cpp_function(&accepts_kwargs, py::name("accepts_kwargs")), g_accepts_kwargs);

  if (py::hasattr(hooks, "EventAliaser") && py::hasattr(hooks, "EVENT_ALIASES")) {
    g_aliases = keep(builtins.attr("dict")(hooks.attr("EVENT_ALIASES"))).ptr();
    g_alias_names = keep(py::dict()).ptr();
    py::object cls = hooks.attr("EventAliaser");
    swap(cls, "__init__", py::cpp_function(&aliaser_init, py::name("_kestro_init"), py::is_method(cls)),
         g_aliaser_init);
  }
  if (py::hasattr(hooks, "EventAliaser")) g_aliaser_type = keep(hooks.attr("EventAliaser")).ptr();

  py::module_ session_mod = py::module_::import("botocore.session");
  if (g_aliaser_type != nullptr && py::hasattr(hooks, "NodeList") && py::hasattr(hooks, "_PrefixTrie") &&
      py::hasattr(hooks, "HierarchicalEmitter") && py::hasattr(session_mod, "Session") &&
      py::hasattr(py::module_::import("botocore.handlers"), "BUILTIN_HANDLERS")) {
    g_nodelist_type = keep(hooks.attr("NodeList")).ptr();
    g_emitter_type = keep(hooks.attr("HierarchicalEmitter")).ptr();
    py::object trie = hooks.attr("_PrefixTrie");
    install_shared_trie(trie);
    py::object session_cls = session_mod.attr("Session");
    g_session_type = keep(session_cls).ptr();
    swap(session_cls, "_register_builtin_handlers",
         py::cpp_function(&register_builtin_handlers, py::name("_register_builtin_handlers"),
                          py::is_method(session_cls)),
         g_register_builtin);
  }

  install_lazy_config_store();

  py::module_ boto3_utils = py::module_::import("boto3.utils");
  g_lazy_handlers = keep(py::dict()).ptr();
  swap(boto3_utils, "lazy_call", py::cpp_function(&lazy_call, py::name("lazy_call"), py::arg("full_name")),
       g_lazy_call);

  g_providers = keep(py::dict()).ptr();
  swap(regions, "EndpointProvider", py::cpp_function(&endpoint_provider, py::name("EndpointProvider")),
       g_endpoint_provider);

  if (py::hasattr(client, "ClientCreator")) {
    py::object creator = client.attr("ClientCreator");
    g_service_models = keep(py::dict()).ptr();
    swap(creator, "_load_service_model",
         py::cpp_function(&load_service_model, py::name("_load_service_model"), py::is_method(creator)),
         g_load_service_model);
    g_client_classes = keep(py::dict()).ptr();
    swap(creator, "_create_client_class",
         py::cpp_function(&create_client_class, py::name("_create_client_class"), py::is_method(creator),
                           py::arg("service_name"), py::arg("service_model")),
         g_create_client_class);
  }
}

}  // namespace kestro::storvane
