#include "corvane/util/json.hpp"

#include <gtest/gtest.h>

#include "corvane/util/errors.hpp"
#include "corvane/util/json_members.hpp"

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
  EXPECT_THROW(parse_json(std::string(513, '[')), JSONDecodeError);
  EXPECT_NO_THROW(parse_json(std::string(100, '[') + std::string(100, ']')));
  EXPECT_EQ(parse_json("{\"a\":\"[[[[\"}")["a"], "[[[[");  // brackets in strings do not nest
  EXPECT_EQ(parse_json("{\"a\":1,\"a\":2}")["a"], 2);      // the last duplicate wins
}

// An object of `n` members k0, k1, ... with `tail` appended before the brace.
std::string object_of(int n, const std::string& tail) {
  std::string text = "{";
  for (int i = 0; i < n; ++i) text += (i ? ",\"k" : "\"k") + std::to_string(i) + "\":" + std::to_string(i);
  return text + tail + "}";
}

bool same(const JsonMember& a, const JsonMember& b) {
  return a.kind == b.kind && a.boolean == b.boolean && a.number == b.number && a.text == b.text && a.size == b.size &&
         a.all_strings == b.all_strings && a.first_text == b.first_text;
}

// parse_json gives what the general parser gives (a repeated member keeps
// its first place and takes the last value); the in-place member reader
// accepts and refuses the same documents, with the same message, reads the
// same members, and falls back on the general parser only where marked.
TEST(Json, ReadersAgreeWithTheGeneralParser) {
  struct Case {
    std::string text;
    bool falls_back = false;  // the in-place reader refuses what the general parser accepts
  } cases[] = {
      {R"({"sub":"a","email":"Alice@Example.org","exp":1700000000,"aud":["x","y"],"ok":true,"n":null})"},
      {R"({"f":1.5,"g":-0.25,"h":1e3,"i":-12,"big":123456789012345678})"},
      {R"(  {"nested":{"a":[{"b":[]},{}]} , "s":"tab\tquote\"slash\/"}  )"},
      {R"({"u":"\u00e4","k":"\ud83d\ude00"})"}, {R"({"a":1,"a":2})"}, {R"({"a":1,"\u0061":2,"b":3})"},
      // Numbers: past 64 bits an integer is a float; -0 is an integer; out
      // of range is refused, underflow is zero.
      {R"({"a":12345678901234567890123,"k":18446744073709551615,"i":-9223372036854775809})"},
      {R"({"a":0.95000000000000000000,"k":-0.95000000000000000000e10,"i":1.00000000000000000000000000001e-400})"},
      {R"({"a":-0,"k":1E400})"}, {R"({"a":1e-400})"}, {"-0"}, {"18446744073709551616"}, {"1.0"},
      {R"({"a":[1,"x"],"k":["x",1],"i":[]})"}, {R"({"a":{},"k":[[]],"i":"" })"},
      {R"([1,2,{"k":"v"}])"}, {R"("text")"}, {"3"}, {"null"}, {"true"}, {" false "},
      // Malformed anywhere, even in a value nobody asked for.
      {R"({"a":})"}, {R"({"a":1,})"}, {"{"}, {R"({"a":"\x"})"}, {"\"\xff\""}, {"01"}, {"1."}, {"-"}, {"[1 2]"},
      {R"({"z":[nul]})"}, {R"({"z":[truex]})"}, {R"({"z":1x})"}, {R"({"z":"\ud800"})"}, {R"({"z":"\udc00x"})"},
      {"{\"z\":\"a\tb\"}"}, {std::string("{\"z\":\"a\0b\"}", 11)}, {R"({"z":1} {})"}, {"1 2"}, {""}, {"  "},
      {R"({"z":.5})"}, {R"({"z":+1})"}, {R"({"z":1e})"}, {R"({"z":0x1})"}, {R"({"z":Infinity})"}, {"{'a':1}"},
      // Only the general parser skips a byte order mark, and ends a document
      // at a NUL byte between tokens: the in-place reader leaves these to it.
      {"\xef\xbb\xbf{\"a\":1}", true}, {std::string("{\"a\":1}\0{{", 10), true}, {std::string("7\0e", 3), true},
      {R"({"z":3e000000000000000000000000000000000000000000005})", true},  // an exponent of 45 digits
      // Past the few members a scan finds, names go through a hash table.
      {object_of(40, "")}, {object_of(40, R"(,"k3":"last","k39":[1],"k3":{"k0":0})")},
      {object_of(9, R"(,"k8":"again")")}, {object_of(40, ",\"k\\u0031\":\"escaped\"")},
      {"[" + object_of(20, ",\"in\":" + object_of(20, ",\"k19\":true")) + "," + object_of(12, ",\"k0\":1") + "]"},
      // Nesting up to the limit (16 here) passes, one more is refused.
      {R"({"a":)" + std::string(15, '[') + std::string(15, ']') + "}"},
      {R"({"a":)" + std::string(16, '[') + std::string(16, ']') + "}"}, {std::string(17, '[') + std::string(17, ']')},
      {std::string(17, '[')}, {R"({"a":)" + std::string(16, '{') + "}"},
  };
  const std::string_view names[] = {"a", "k", "i", "z", "k3", "k8", "k1", "\xef"};
  JsonMemberReader reader(16);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    Json general;
    try {
      general = Json::parse(c.text);
      EXPECT_EQ(parse_json(c.text).dump(), general.dump());
    } catch (const Json::exception&) {
      EXPECT_THROW(parse_json(c.text), JSONDecodeError);
    }
    Json full;
    std::string refusal;
    try {
      full = parse_json(c.text, 16);
    } catch (const JSONDecodeError& e) {
      refusal = e.what();
    }
    JsonMember members[std::size(names)];
    if (!refusal.empty()) {
      try {
        reader.read(c.text, names, members);
        ADD_FAILURE() << "accepted";
      } catch (const JSONDecodeError& e) {
        EXPECT_EQ(e.what(), refusal);
      }
      continue;
    }
    EXPECT_EQ(reader.read(c.text, names, members), describe(full).kind);
    EXPECT_EQ(reader.fell_back(), c.falls_back);
    for (std::size_t i = 0; i < std::size(names); ++i) {
      SCOPED_TRACE(names[i]);
      const bool present = full.is_object() && full.contains(names[i]);
      EXPECT_TRUE(same(members[i], present ? describe(full[std::string(names[i])]) : JsonMember{}));
    }
  }
}

}  // namespace
}  // namespace corvane
