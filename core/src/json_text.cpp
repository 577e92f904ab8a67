#include "kestro/json_text.hpp"

#include <unordered_map>
#include <utility>
#include <vector>

#include "kestro/text.hpp"

namespace kestro::json_text {

namespace od = simdjson::ondemand;

namespace {

void append_number(std::string& out, od::value& v) {
  std::string_view token;
  if (number_token(v, token) == 1)
    pytext::append_int_token(out, token);
  else
    append_float_token(out, token);
}

void append_py_dict(std::string& out, od::value& v) {
  od::object obj;
  if (auto err = v.get_object().get(obj)) malformed(err);
  std::vector<std::pair<std::string, std::string>> items;
  std::unordered_map<std::string, std::size_t> where;
  for (auto field : obj) {
    std::string_view key;
    if (auto err = field.unescaped_key().get(key)) malformed(err);
    od::value fv;
    if (auto err = field.value().get(fv)) malformed(err);
    std::string text;
    append_py(text, fv);
    std::string k(key);
    auto [it, fresh] = where.emplace(k, items.size());
    if (fresh)
      items.emplace_back(std::move(k), std::move(text));
    else
      items[it->second].second = std::move(text);
  }
  out += '{';
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i) out += ", ";
    pytext::append_str_repr(out, items[i].first);
    out += ": ";
    out += items[i].second;
  }
  out += '}';
}

}  // namespace

// From the token's own digits, not simdjson's get_double: its 3.0 builtin
// parser misreads long mantissas (0.20000000000000000001 gave 0.0155...).
void append_float_token(std::string& out, std::string_view token) {
  char buf[text::kFloatReprMax];
  out.append(buf, text::write_float_token_repr(buf, token));
}

void append_py(std::string& out, od::value& v) {
  switch (type_of(v)) {
    case od::json_type::string:
      pytext::append_str_repr(out, string_of(v));
      return;
    case od::json_type::number:
      append_number(out, v);
      return;
    case od::json_type::boolean:
      out += bool_of(v) ? "True" : "False";
      return;
    case od::json_type::null:
      expect_null(v);
      out += "None";
      return;
    case od::json_type::array: {
      od::array arr;
      if (auto err = v.get_array().get(arr)) malformed(err);
      out += '[';
      bool first = true;
      for (auto item : arr) {
        od::value iv;
        if (auto err = item.get(iv)) malformed(err);
        if (!first) out += ", ";
        first = false;
        append_py(out, iv);
      }
      out += ']';
      return;
    }
    case od::json_type::object:
      append_py_dict(out, v);
      return;
  }
}

}  // namespace kestro::json_text
