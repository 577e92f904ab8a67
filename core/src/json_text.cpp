#include "kestro/json_text.hpp"

#include <limits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "kestro/number_text.hpp"

namespace kestro::json_text {

namespace od = simdjson::ondemand;

namespace {

void append_number(std::string& out, od::value& v) {
  std::string_view token;
  double nonfinite;
  switch (number_token(v, token, nonfinite)) {
    case 1:
      pytext::append_int_token(out, token);
      return;
    case 2:
      append_float_token(out, token);
      return;
    default:
      text::append_float_repr(out, nonfinite);
  }
}

void append_py_dict(std::string& out, od::value& v, int level) {
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
    append_py(text, fv, level + 1);
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

bool nonfinite_token(std::string_view token, double& value) noexcept {
  while (!token.empty() &&
         (token.back() == ' ' || token.back() == '\t' || token.back() == '\n' || token.back() == '\r'))
    token.remove_suffix(1);
  if (token == "NaN")
    value = std::numeric_limits<double>::quiet_NaN();
  else if (token == "Infinity")
    value = std::numeric_limits<double>::infinity();
  else if (token == "-Infinity")
    value = -std::numeric_limits<double>::infinity();
  else
    return false;
  return true;
}

void append_py(std::string& out, od::value& v, int level) {
  od::json_type type = type_of(v);
  if ((type == od::json_type::array || type == od::json_type::object) && level > kMaxNesting)
    throw Malformed{"nested deeper than " + std::to_string(kMaxNesting) + " levels"};
  switch (type) {
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
        append_py(out, iv, level + 1);
      }
      out += ']';
      return;
    }
    case od::json_type::object:
      append_py_dict(out, v, level);
      return;
  }
}

}  // namespace kestro::json_text
