#pragma once
// Secrets kept out of kestro's own texts (task-log lines, "django" log
// lines, Et messages and the errors chained to them). A secret reaches a
// text not only as given: an HTTP library that refuses a header echoes it
// escaped (repr of a str or of bytes), a service echoes it percent-encoded
// or inside JSON, a file read leaves a line feed that some layer strips,
// and an error text quoted inside another one is escaped twice. SecretMask
// knows all those forms of each secret and replaces them with "******".
// GIL held throughout.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <string>
#include <unordered_set>
#include <vector>

#include "py_errors.hpp"

namespace kestro::py_common {

class SecretMask {
 public:
  static constexpr const char* kMask = "******";
  // Shorter texts are not real secrets, and masking them would garble
  // ordinary words of a message.
  static constexpr std::size_t kMaskableLength = 8;

  // Adds a secret (str or bytes; anything else, None included, is not a
  // secret and is ignored) with every form it takes in texts.
  void add(py::handle secret) {
    py::object text;
    if (py::isinstance<py::str>(secret))
      text = py::reinterpret_borrow<py::object>(secret);
    else if (py::isinstance<py::bytes>(secret))
      text = secret.attr("decode")("utf-8", "surrogateescape");
    else
      return;
    if (PyUnicode_GetLength(text.ptr()) < static_cast<Py_ssize_t>(kMaskableLength)) return;
    add_forms(text);
  }

  bool empty() const { return forms_.empty(); }

  // `text` with every form of every secret replaced. Never fails.
  std::string apply(std::string text) const {
    for (const auto& form : forms_)
      for (std::size_t at = text.find(form); at != std::string::npos; at = text.find(form, at + 6))
        text.replace(at, form.size(), kMask);
    return text;
  }

  // True when `text` holds a form of a secret.
  bool holds(const std::string& text) const {
    for (const auto& form : forms_)
      if (text.find(form) != std::string::npos) return true;
    return false;
  }

  // str(value), masked; the type's name when str() fails. Never fails on
  // an ordinary error.
  std::string text_of(py::handle value) const {
    std::string text;
    auto failure = catch_ordinary([&] { text = utf8(py::str(value)); });
    if (failure) return type_name_of(value);
    return apply(std::move(text));
  }

  // What may be logged for `value` where the object itself would be:
  // `value` unchanged when its text holds no secret, else its masked text.
  py::object loggable(py::handle value) const {
    std::string text;
    auto failure = catch_ordinary([&] { text = utf8(py::str(value)); });
    if (failure || !holds(text)) return py::reinterpret_borrow<py::object>(value);
    return py::str(apply(std::move(text)));
  }

  // The error to chain to kestro's own Et: `error` itself when no text of
  // it or of its chain (__cause__, __context__) holds a secret, else a
  // RuntimeError whose text is the masked first line of `error` as a
  // traceback shows it (its own chain is then left out).
  py::object chainable(py::handle error) const {
    if (forms_.empty() || !chain_holds(error)) return py::reinterpret_borrow<py::object>(error);
    std::string line = type_name_of(error);
    catch_ordinary([&] {
      py::object lines = py::module_::import("traceback").attr("format_exception_only")(
          py::type::handle_of(error), error);
      std::string joined = utf8(py::str("").attr("join")(lines));
      while (!joined.empty() && joined.back() == '\n') joined.pop_back();
      line = joined;
    });
    return py::module_::import("builtins").attr("RuntimeError")(apply(line));
  }

 private:
  static std::string type_name_of(py::handle value) {
    py::handle type = py::type::handle_of(value);
    std::string module = utf8(py::str(py::getattr(type, "__module__", py::str(""))));
    std::string name = utf8(py::str(py::getattr(type, "__qualname__", py::str("?"))));
    return module.empty() || module == "builtins" ? name : module + "." + name;
  }

  bool chain_holds(py::handle error) const {
    std::vector<PyObject*> seen;
    std::vector<py::object> todo{py::reinterpret_borrow<py::object>(error)};
    while (!todo.empty() && seen.size() < 64) {
      py::object e = std::move(todo.back());
      todo.pop_back();
      if (e.is_none() || std::find(seen.begin(), seen.end(), e.ptr()) != seen.end()) continue;
      seen.push_back(e.ptr());
      bool leak = true;  // a text that cannot be read is not known to be clean
      catch_ordinary([&] {
        py::object lines = py::module_::import("traceback").attr("format_exception_only")(py::type::handle_of(e), e);
        std::string text = utf8(py::str("").attr("join")(lines));
        text += utf8(py::repr(py::getattr(e, "args", py::tuple())));
        leak = holds(text);
      });
      if (leak) return true;
      todo.push_back(py::getattr(e, "__cause__", py::none()));
      todo.push_back(py::getattr(e, "__context__", py::none()));
    }
    return false;
  }

  // A str's UTF-8, lone surrogates kept as their own bytes.
  static std::string utf8(py::handle text) {
    return text.attr("encode")("utf-8", "surrogatepass").cast<std::string>();
  }

  void add_forms(py::handle secret) {
    using namespace pybind11::literals;
    py::module_ builtins = py::module_::import("builtins");
    py::module_ json = py::module_::import("json");
    py::module_ parse = py::module_::import("urllib.parse");
    py::object repr = builtins.attr("repr");
    auto inner = [](py::object quoted, std::size_t head) {  // drops the quotes of a repr / JSON text
      std::string s = utf8(quoted);
      return s.size() >= head + 1 ? s.substr(head, s.size() - head - 1) : std::string();
    };
    // as given, stripped of blanks, and without any control character
    py::dict controls;
    for (int c = 0; c < 0x20; ++c) controls[py::int_(c)] = py::none();
    for (int c = 0x7f; c < 0xa0; ++c) controls[py::int_(c)] = py::none();
    std::vector<py::object> bases{py::reinterpret_borrow<py::object>(secret), secret.attr("strip")(),
                                  secret.attr("translate")(controls).attr("strip")()};
    std::unordered_set<std::string> forms;
    for (const auto& b : bases) {
      std::vector<std::string> escaped{
          inner(repr(b), 1),
          inner(repr(b.attr("encode")("utf-8", "surrogatepass")), 2),
          inner(json.attr("dumps")(b), 1),
          inner(json.attr("dumps")(b, "ensure_ascii"_a = false), 1),
      };
      std::vector<std::string> percent{
          utf8(parse.attr("quote")(b, "safe"_a = "")),
          utf8(parse.attr("quote")(b)),
          utf8(parse.attr("quote_plus")(b)),
      };
      forms.insert(utf8(b));
      for (const auto& e : escaped) {
        forms.insert(e);
        // quoted once more: an error text inside another error's repr
        py::str once(e);
        forms.insert(inner(repr(once), 1));
        forms.insert(inner(json.attr("dumps")(once), 1));
      }
      for (auto p : percent) {
        forms.insert(p);
        for (std::size_t i = 0; i + 2 < p.size(); ++i)  // the same with lower-case hex digits
          if (p[i] == '%') p[i + 1] = lower(p[i + 1]), p[i + 2] = lower(p[i + 2]);
        forms.insert(p);
      }
    }
    for (const auto& f : forms)
      if (f.size() >= kMaskableLength && std::find(forms_.begin(), forms_.end(), f) == forms_.end())
        forms_.push_back(f);
    // longest first: a form that holds a shorter one is masked whole
    std::sort(forms_.begin(), forms_.end(),
              [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
  }

  static char lower(char c) { return c >= 'A' && c <= 'F' ? static_cast<char>(c - 'A' + 'a') : c; }

  std::vector<std::string> forms_;
};

// Raises Et(state, message) with `cause` as its context, as raise_et_from
// does, but neither the message nor the chained error shows a secret of
// `mask` (see SecretMask::chainable).
[[noreturn]] inline void raise_et_from(int state, const std::string& message, const py::error_already_set& cause,
                                       const SecretMask& mask) {
  py::object et_type = module_attr("Et");
  py::object err = et_type(state, mask.apply(message));
  PyException_SetContext(err.ptr(), mask.chainable(cause.value()).release().ptr());  // steals the reference
  PyErr_SetObject(et_type.ptr(), err.ptr());
  throw py::error_already_set();
}

}  // namespace kestro::py_common
