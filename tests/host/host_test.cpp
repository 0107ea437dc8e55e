#include <gtest/gtest.h>

#include <array>
#include <random>

#include "cli/recording_request.hpp"
#include "corvane/host/base_policy.hpp"
#include "corvane/host/ini_settings.hpp"
#include "corvane/host/log_context.hpp"
#include "corvane/host/request.hpp"
#include "corvane/users/configuration_files.hpp"
#include "corvane/users/users.hpp"
#include "corvane/util/errors.hpp"
#include "corvane/util/file.hpp"
#include "corvane/util/unicode.hpp"
#include "support/http_server.hpp"

namespace corvane::host {

namespace {

TEST(Users, MatchesInRecordOrder) {
  Users users = Users::from_json(Json::parse(R"({
    "alice": {"email": "alice@example.org", "age": 30},
    "bob": {"name": "Bob"},
    "carol": {"email": "carol@example.org", "name": "Carol"}})"));
  ASSERT_EQ(users.size(), 3u);
  EXPECT_EQ(users.user_id(1), "bob");
  EXPECT_EQ(users.find("carol"), 2u);
  EXPECT_FALSE(users.find("dave"));

  // The walk's first failing record decides, in record order.
  struct Case {
    std::string name, form, expected;  // user id, or the error's kind and message
  } cases[] = {
      {"email", "alice@example.org", "AttributeError: 'User' object has no attribute 'email'"},  // bob lacks it
      {"name", "bob", "AttributeError: 'User' object has no attribute 'name'"},  // alice lacks it, before bob
      {"age", "30", "AttributeError: 'int' object has no attribute 'strip'"},
      {"nobody has it", "x", "AttributeError: 'User' object has no attribute 'nobody has it'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      users.match(c.name, c.form);
      ADD_FAILURE() << "no error";
    } catch (const Exception& error) {
      EXPECT_EQ(std::string(error.kind()) + ": " + error.what(), c.expected);
    }
  }
  Users both = Users::from_json(Json::parse(R"({"a": {"n": "X "}, "b": {"n": "y"}, "c": {"n": "x"}})"));
  EXPECT_EQ(both.match("n", "x").count, 2u);
  EXPECT_EQ(both.match("n", "y").user_id, "b");
  EXPECT_EQ(both.match("n", "z").count, 0u);
  EXPECT_EQ(Users().match(nullptr, "x").count, 0u);  // no users: the name is never read
  EXPECT_THROW(both.match(nullptr, "x"), TypeError);

  EXPECT_EQ(users.attribute(0, "age"), 30);
  EXPECT_THROW(users.attribute(1, "email"), AttributeError);
}

// What a walk over every record in order gives: "none", the user id, "two
// from" the first, or the error of the first record that fails.
std::string walked(const Users& users, const std::string& name, const std::string& form) {
  std::size_t count = 0;
  std::string first;
  try {
    for (std::size_t i = 0; i < users.size(); ++i) {
      const Json& value = users.attribute(i, name);
      if (!value.is_string()) {
        throw AttributeError(std::string("'") + python_type_name(value) + "' object has no attribute 'strip'");
      }
      if (comparison_form_equals(value.get_ref<const std::string&>(), form) && count++ == 0) first = users.user_id(i);
    }
  } catch (const Exception& error) {
    return std::string(error.kind()) + ": " + error.what();
  }
  return count == 0 ? "none" : count == 1 ? first : "two from " + first;
}

std::string matched(const Users& users, const std::string& name, const std::string& form) {
  try {
    const UserMatch match = users.match(name, form);
    return match.count == 0 ? "none" : match.count == 1 ? match.user_id : "two from " + match.user_id;
  } catch (const Exception& error) {
    return std::string(error.kind()) + ": " + error.what();
  }
}

// The store answers from its index what the walk answers, on stores of
// every size with records that lack the attribute, hold no text, or hold
// text that is not UTF-8.
TEST(Users, IndexAnswersAsTheWalk) {
  const Json good[] = {"a@x", "A@X ", " b@x", "c@x", "J\u00dcrgen", "j\u00fcrgen\u00a0", "d@x", "e@x"};
  const Json flawed[] = {42, nullptr, "a@x\xff", "\xff", "zz\xff"};
  const std::string forms[] = {"a@x", "b@x", "c@x", "j\u00fcrgen", "d@x", "e@x", "nobody", "zz"};
  std::mt19937 random(7);  // the engine's sequence is fixed by the standard
  std::size_t seen_errors = 0, seen_two = 0, seen_one = 0;
  for (int store = 0; store < 80; ++store) {
    Users users;
    const std::size_t size = std::array{1, 2, 5, 17, 40, 300}[random() % 6];
    const unsigned flaws = store % 2 ? 8 : 0;  // in percent; half the stores are clean
    for (std::size_t row = 0; row < size; ++row) {
      Json record = {{"other", "o"}};
      const unsigned roll = random() % 100;
      if (roll < flaws / 2) {
        // lacks "mail"
      } else if (roll < flaws) {
        record["mail"] = flawed[random() % std::size(flawed)];
      } else {
        record["mail"] = good[random() % std::size(good)];
      }
      users.add("u" + std::to_string(row), std::move(record));
    }
    for (const std::string& form : forms) {
      SCOPED_TRACE("store " + std::to_string(store) + ", form " + form);
      const std::string expected = walked(users, "mail", form);
      EXPECT_EQ(matched(users, "mail", form), expected);
      seen_errors += expected.find("Error") != std::string::npos;
      seen_two += expected.rfind("two", 0) == 0;
      seen_one += expected.rfind("u", 0) == 0;
    }
    EXPECT_EQ(matched(users, "absent", "a@x"), walked(users, "absent", "a@x"));
  }
  EXPECT_GT(seen_errors, 20u);  // the table exercises every kind of answer
  EXPECT_GT(seen_two, 20u);
  EXPECT_GT(seen_one, 20u);
}

// Users who each carry an attribute name of their own cost memory in
// proportion to their data, not users times names.
TEST(Users, MemoryFollowsTheData) {
  Users users;
  for (int i = 0; i < 8000; ++i) users.add("u" + std::to_string(i), {{"attribute" + std::to_string(i), "value"}});
  EXPECT_LT(users.column_bytes(), 8000u * 256);
}

// What a store holds, as text: each user id with its record and the answers
// to a few matches, or the error that building it gave.
template <class Build>
std::string held(Build build) {
  try {
    const Users users = build();
    std::string text;
    for (std::size_t i = 0; i < users.size(); ++i) text += std::string(users.user_id(i)) + "=" + dump(users.record(i)) + " ";
    for (const char* form : {"a@x", "b@x", "c@x", "j\u00fcrgen", "\u00e9t\u00e9@x", "m", "n"}) {
      text += matched(users, "mail", form) + " ";
    }
    return text;
  } catch (const Exception& error) {
    return std::string(error.kind()) + ": " + error.what();
  }
}

// A users file read in pieces gives what its parsed document gives: the same
// records in the same order, the same answers, or the same error.
TEST(Users, FileGivesWhatItsDocumentGives) {
  testing::TempDir dir;
  const std::string deep = std::string(600, '[') + std::string(600, ']');
  const std::string texts[] = {
      "{}",
      // a user id given twice keeps its first place and takes its last record
      R"({"a": {"mail": "A@x", "n": 1}, "b": {"mail": " b@X "}, "a": {"mail": "c@x", "k": [1, -2, 3.5e300,
          18446744073709551615, -9223372036854775808, 0.0, null, true, {"d": 1, "d": 2}, "\u0000\n"]}})",
      R"({"a": {"mail": "a@x"}, "b": {"mail": "b@x"}, "a": {"other": "z"}})",
      R"({"a": {"mail": "a@x"}, "a": {"mail": 7}, "b": {"mail": "b@x", "mail": "a@x"}})",
      "{\"\\u00e9t\\u00e9\": {\"mail\": \"\\u00c9T\\u00c9@x\", \"q\": \"\\\"\\\\\"}, \"b\": {\"mail\": \"J\\u00fcrgen\"},"
      " \"c\": {\"mail\": \"j\u00fcrgen\\t\"}}",
      "\xef\xbb\xbf {\"a\": {\"mail\": \"m\"}}\n",
      R"({"a": [], "b": 1})",
      R"({"a": 1, "a": {"mail": "m"}})",
      R"({"a": {}, "b": "text", "a": 3})",
      R"([{"a": {}}])",
      R"("users")",
      R"({"a": {"mail": "m"}} x)",
      R"({"a": {"mail": "m"}, "b": [)",
      R"({"a": {"mail": "m"}, "b": {"mail": tru}})",
      "{\"a\": {\"mail\": \"\xff\"}}",
      "{\"a\": {\"m\": " + deep + "}}",
      "{\"a\": x, \"b\": " + deep + "}",
      "{\"a\": {\"m\": [[[1]]]}}",
      "",
  };
  for (const std::string& text : texts) {
    SCOPED_TRACE(text.substr(0, 80));
    const std::string path = dir.write("users.json", text);
    for (std::size_t depth : {512, 3}) {
      EXPECT_EQ(held([&] { return Users::from_file(path, kMaxUsersFileSize, depth); }),
                held([&] { return Users::from_json(parse_json(read_text_file(path, kMaxUsersFileSize), depth)); }));
    }
  }
  for (const std::string& path : {dir.path() + "/none.json", dir.path(), dir.write("big.json", "{}  ")}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(held([&] { return Users::from_file(path, 3); }),
              held([&] { return Users::from_json(parse_json(read_text_file(path, 3))); }));
  }
}

TEST(Users, RejectsMalformedConfigurations) {
  EXPECT_THROW(Users::from_json(Json::array()), TypeError);
  EXPECT_THROW(Users::from_json(Json::parse(R"({"a": "not a record"})")), TypeError);
  Users users;
  users.add("a", Json::object());
  EXPECT_THROW(users.add("a", Json::object()), ValueError);
}

TEST(Asint, ParsesSettings) {
  struct Case {
    Json value;
    long expected;  // -99 means a ValueError
  } cases[] = {
      {1, 1}, {"5", 5}, {" 7 ", 7}, {"-2", -2}, {nullptr, 3}, {2.0, 2},
      {"", -99}, {"5s", -99}, {"1.5", -99}, {1.5, -99}, {true, -99}, {Json::array(), -99},
      {"99999999999999999999", -99},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(dump(c.value));
    if (c.expected == -99) {
      EXPECT_THROW(asint(c.value, 3, "jwt_cvn.http_timeout"), ValueError);
    } else {
      EXPECT_EQ(asint(c.value, 3, "jwt_cvn.http_timeout"), c.expected);
    }
  }
}

TEST(Request, HeadersIgnoreCaseAndQueryKeepsTheLastValue) {
  apps::SimpleRequest request;
  request.header("Authorization", "Bearer x").query("idp_id", "one").query("idp_id", "two");
  EXPECT_EQ(request.headers().get("authorization"), "Bearer x");
  EXPECT_EQ(request.headers().get("X-Identity-Provider-Id"), std::nullopt);
  EXPECT_EQ(request.headers().get("Missing", ""), "");
  EXPECT_EQ(request.GET().get("idp_id"), "two");
  EXPECT_EQ(request.GET().get("IDP_ID"), std::nullopt);

  EXPECT_EQ(request.first_data_format("json"), "json");
  request.format("html");
  EXPECT_EQ(request.first_data_format("json"), "html");

  EXPECT_FALSE(request.has_attribute("cvn_cookie_updated"));
  request.set_attribute("cvn_cookie_updated", false);
  EXPECT_TRUE(request.has_attribute("cvn_cookie_updated"));

  request.remember("alice");
  EXPECT_EQ(request.session().remembered, "alice");
  request.session().invalidate();
  EXPECT_EQ(request.session().invalidated, 1);
  EXPECT_FALSE(request.session().remembered);
}

TEST(LogContext, IsPerThread) {
  current_thread_log_context()["sso_user_id"] = "main";
  std::thread([] { EXPECT_FALSE(current_thread_log_context().contains("sso_user_id")); }).join();
  EXPECT_EQ(current_thread_log_context()["sso_user_id"], "main");
}

TEST(IniSettings, ReadsTheAppSectionAndHere) {
  testing::TempDir dir;
  std::string ini = dir.write("app.ini",
                              "[app:main]\ncorvane.users = %(here)s/users.json ; a comment\n"
                              "jwt_cvn.http_timeout = 5\n[server:main]\nport = 8080\n");
  IniSettings settings = IniSettings::from_file(ini);
  EXPECT_EQ(settings.get("corvane.users"), dir.path() + "/users.json");
  EXPECT_EQ(settings.get("jwt_cvn.http_timeout", 1), "5");  // text, unconverted
  EXPECT_EQ(settings.get("port", 1), 1);
  EXPECT_EQ(IniSettings::from_file(ini, "server:main").get("port"), "8080");
  EXPECT_THROW(IniSettings::from_file(dir.write("bad.ini", "[app:main]\nno equals sign\n")), ValueError);
  EXPECT_THROW(IniSettings::from_file(dir.path() + "/none.ini"), FileNotFoundError);
  const std::string nul = dir.write("nul.ini", std::string("[app:main]\na = 1") + '\0' + "\ncorvane.users = u.json\n");
  try {
    IniSettings::from_file(nul);
    ADD_FAILURE() << "a NUL byte ended the file silently";
  } catch (const ValueError& error) {
    EXPECT_EQ(error.what(), nul + ":2: NUL byte in the ini file");
  }
}

TEST(FileConfiguration, LoadsTheNamedFiles) {
  testing::TempDir dir;
  IniSettings settings{{"corvane.auth_settings", dir.write("auth.json", R"({"authentication_policies": {}})")},
                        {"corvane.users", dir.write("users.json", R"({"alice": {"email": "a@x"}})")}};
  BaseAuthenticationPolicy policy(settings, load_file_configuration(settings));
  EXPECT_TRUE(policy.auth_settings().contains("authentication_policies"));
  EXPECT_EQ(dynamic_cast<const Users&>(*policy.users()).size(), 1u);
  EXPECT_EQ(policy.cvn_settings()["default_extension"], "html");

  IniSettings missing_key{{"corvane.users", settings.get("corvane.users").get<std::string>()}};
  EXPECT_THROW(load_file_configuration(missing_key), KeyError);
  settings.set("corvane.users", dir.write("broken.json", "{"));
  try {
    load_file_configuration(settings);
    FAIL();
  } catch (const JSONDecodeError& error) {
    EXPECT_NE(std::string(error.what()).find("broken.json"), std::string::npos);
  }
}

}  // namespace
}  // namespace corvane::host
