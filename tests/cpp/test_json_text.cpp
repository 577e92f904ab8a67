// JSON values written as Python's str() of what json.loads gives.
#include <gtest/gtest.h>

#include <simdjson.h>

#include <string>
#include <string_view>

#include "kestro/json_text.hpp"

namespace json_text = kestro::json_text;

namespace {
// The text of the one value `json`, as an element of a row.
std::string py_text(std::string_view json) {
  simdjson::ondemand::parser parser;
  simdjson::padded_string padded("[" + std::string(json) + "]");
  auto doc = parser.iterate(padded);
  std::string out;
  for (auto item : doc.get_array()) {
    simdjson::ondemand::value v = item.value();
    json_text::append_py(out, v, 2);  // inside the wrapping array
  }
  return out;
}
}  // namespace

TEST(JsonText, NestedValuesAsPythonStrOfTheLoadedObjects) {
  // a repeated key keeps its first place and its last value
  EXPECT_EQ(py_text(R"({"a":1,"b":[],"a":2})"), "{'a': 2, 'b': []}");
  EXPECT_EQ(py_text("{}"), "{}");
  EXPECT_EQ(py_text(R"(["\n\u00a0\t",1.0,false,null])"), "['\\n\\xa0\\t', 1.0, False, None]");
  EXPECT_EQ(py_text(R"(["q\"'"])"), R"(['q"\''])");
  EXPECT_EQ(py_text(R"({"k": {"x": [true]}})"), "{'k': {'x': [True]}}");
}

TEST(JsonText, NumbersInsideValuesStayExact) {
  EXPECT_EQ(py_text("[123456789012345678901234567890, -0, 1E-5, 0.20000000000000000001, 1e400]"),
            "[123456789012345678901234567890, 0, 1e-05, 0.2, inf]");
}

TEST(JsonText, InvalidNumbersAreRefused) {
  // simdjson hands such tokens over; the number grammar must not
  for (const char* bad : {"[01]", "[1.]", "[-]", "{\"k\": .5}"}) {
    EXPECT_THROW(py_text(bad), json_text::Malformed) << bad;
  }
}

TEST(JsonText, NonFiniteTokensAsPythonWritesThem) {
  EXPECT_EQ(py_text(R"([NaN, Infinity, -Infinity, {"k": NaN}])"), "[nan, inf, -inf, {'k': nan}]");
  // json.loads reads these three spellings only
  for (const char* bad : {"[nan]", "[-NaN]", "[+Infinity]", "[Inf]", "[NaNx]", "[-Infinityy]"})
    EXPECT_THROW(py_text(bad), json_text::Malformed) << bad;
}

namespace {
std::string nested(int levels, std::string_view inner = "") {
  return std::string(levels, '[') + std::string(inner) + std::string(levels, ']');
}
}  // namespace

TEST(JsonText, NestingIsBoundedAndDeeperIsRefused) {
  // py_text's own array is the first level
  std::string deepest = py_text(nested(json_text::kMaxNesting - 1, "1"));
  EXPECT_EQ(deepest, nested(json_text::kMaxNesting - 1, "1"));
  for (int levels : {json_text::kMaxNesting, 100000}) {
    try {
      py_text(nested(levels));
      ADD_FAILURE() << levels << " levels were accepted";
    } catch (const json_text::Malformed& e) {
      EXPECT_NE(e.why.find("nested deeper than 1000 levels"), std::string::npos) << e.why;
    }
  }
  std::string objects;
  for (int k = 0; k < 2000; ++k) objects += "{\"a\":";
  objects += "1" + std::string(2000, '}');
  EXPECT_THROW(py_text(objects), json_text::Malformed);
}
