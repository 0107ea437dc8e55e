#include "corvane/util/json.hpp"

#include <gtest/gtest.h>

#include "corvane/util/errors.hpp"

namespace corvane {
namespace {

TEST(Json, Truthiness) {
  for (const char* text : {"null", "false", "0", "0.0", "\"\"", "[]", "{}"}) {
    EXPECT_FALSE(truthy(Json::parse(text))) << text;
  }
  for (const char* text : {"true", "1", "-1", "0.5", "\"no\"", "\" \"", "[0]", "{\"a\":null}"}) {
    EXPECT_TRUE(truthy(Json::parse(text))) << text;
  }
}

TEST(Json, LookUps) {
  Json mapping = {{"present", nullptr}, {"text", "t"}};
  Json fallback = 7;
  EXPECT_TRUE(get_or(mapping, "present", fallback).is_null());  // a null value is not absent
  EXPECT_EQ(get_or(mapping, "absent", fallback), 7);
  EXPECT_TRUE(get_or_null(mapping, "absent").is_null());
  EXPECT_EQ(strict_get(mapping, "text"), "t");
  try {
    strict_get(mapping, "absent");
    FAIL();
  } catch (const KeyError& error) {
    EXPECT_STREQ(error.what(), "'absent'");
  }
  EXPECT_THROW(strict_get(Json::array({1}), "x"), TypeError);
}

TEST(Json, TextForms) {
  EXPECT_EQ(to_text("plain"), "plain");
  EXPECT_EQ(to_text(nullptr), "None");
  EXPECT_EQ(to_text(true), "True");
  EXPECT_EQ(to_text(Json{{"b", 1}, {"a", 2}}), "{\"b\":1,\"a\":2}");  // settings order kept
}

TEST(Json, ParseFailuresAreDecodeErrors) {
  EXPECT_THROW(parse_json("{"), JSONDecodeError);
  EXPECT_THROW(parse_json("<html></html>"), JSONDecodeError);
  EXPECT_THROW(parse_json(std::string(600, '[') + std::string(600, ']')), JSONDecodeError);
  EXPECT_NO_THROW(parse_json(std::string(100, '[') + std::string(100, ']')));
  EXPECT_EQ(parse_json("{\"a\":\"[[[[\"}")["a"], "[[[[");  // brackets in strings do not nest
  EXPECT_EQ(parse_json("{\"a\":1,\"a\":2}")["a"], 2);      // the last duplicate wins
}

}  // namespace
}  // namespace corvane

#include "corvane/util/json_common.hpp"

namespace corvane {
namespace {

// An object of `n` members k0, k1, ... with `tail` appended before the brace.
std::string object_of(int n, const std::string& tail) {
  std::string text = "{";
  for (int i = 0; i < n; ++i) text += (i ? ",\"k" : "\"k") + std::to_string(i) + "\":" + std::to_string(i);
  return text + tail + "}";
}

// Both readers give what the general parser gives (a repeated member keeps
// its first place and takes the last value), or the direct one declines.
TEST(Json, ReadersAgreeWithTheGeneralParser) {
  const std::string documents[] = {
      R"({"sub":"a","email":"Alice@Example.org","exp":1700000000,"aud":["x","y"],"ok":true,"n":null})",
      R"({"f":1.5,"g":-0.25,"h":1e3,"i":-12,"big":123456789012345678})",
      R"(  {"nested":{"a":[{"b":[]},{}]} , "s":"tab\tquote\"slash\/"}  )",
      R"({"u":"\u00e4"})",                      // declines: \u escape
      R"({"a":1,"a":2})",                       // declines: duplicate member
      R"({"a":1,"\u0061":2,"b":3})",           // the same name, escaped
      R"({"x":12345678901234567890123})",       // declines: long integer
      R"([1,2,{"k":"v"}])", R"("text")", "3", "null", "true",
      R"({"a":})", R"({"a":1,})", "{", R"({"a":"\x"})", "\"\xff\"", "01", "1.", "-", "[1 2]",
      // Past the few members a scan finds, names go through a hash table.
      object_of(40, ""), object_of(40, R"(,"k3":"last","k39":[1],"k3":{"k0":0})"),
      object_of(9, R"(,"k8":"again")"), object_of(40, ",\"k\\u0031\":\"escaped\""),
      "[" + object_of(20, ",\"in\":" + object_of(20, ",\"k19\":true")) + "," + object_of(12, ",\"k0\":1") + "]",
  };
  for (const std::string& text : documents) {
    SCOPED_TRACE(text);
    Json full;
    bool refused = false;
    try {
      full = Json::parse(text);
    } catch (const Json::exception&) {
      refused = true;
    }
    if (refused) {
      EXPECT_THROW(parse_json(text), JSONDecodeError);
    } else {
      EXPECT_EQ(parse_json(text).dump(), full.dump());
    }
    Json fast;
    if (!detail::read_common_json(text, fast)) continue;
    ASSERT_FALSE(refused);
    EXPECT_EQ(fast.dump(), full.dump());
  }
  Json out;
  EXPECT_TRUE(detail::read_common_json(documents[0], out));  // the common case takes the direct path
  EXPECT_TRUE(detail::read_common_json(object_of(40, ""), out));
  EXPECT_FALSE(detail::read_common_json(R"({"a":1,"a":2})", out));
  EXPECT_FALSE(detail::read_common_json(object_of(40, R"(,"k3":0)"), out));
}

}  // namespace
}  // namespace corvane
