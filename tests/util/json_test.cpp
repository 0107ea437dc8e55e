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
