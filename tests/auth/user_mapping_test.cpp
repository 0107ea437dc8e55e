#include <gtest/gtest.h>

#include "corvane/auth/jwt/jwt.hpp"
#include "corvane/users/users.hpp"
#include "corvane/util/errors.hpp"
#include "corvane/util/logging.hpp"

namespace corvane::auth::jwt {
namespace {

// get_user_id_for_claims and get_sso_user_id over a users configuration.
class UserMapping : public ::testing::Test {
 protected:
  IDPConfig record(const Json& users_json, Json claim = "email", Json attribute = "mail") {
    users = std::make_shared<Users>();
    for (const auto& [id, attributes] : users_json.items()) users->add(id, attributes);
    config = {{"claim_attribute", claim}, {"user_config_attribute", attribute}};
    return IDPConfig(users, config, host::IniSettings{});
  }

  // The user id, or the error's kind and message.
  std::string map(const IDPConfig& idp, const Json& claims) {
    try {
      return idp.get_user_id_for_claims(claims);
    } catch (const Exception& error) {
      return std::string(error.kind()) + ": " + error.what();
    }
  }

  std::shared_ptr<Users> users;
  Json config;
};

TEST_F(UserMapping, Matches) {
  const Json people = Json::parse(R"({
    "ann": {"mail": "ann@example.org "},
    "ben": {"mail": "Ben@Example.org"},
    "twin-a": {"mail": "twin@example.org"},
    "twin-b": {"mail": "TWIN@EXAMPLE.ORG"},
    "blank": {"mail": "   "},
    "empty": {"mail": ""},
    "jurgen": {"mail": "J\u00dcRGEN@example.org"}})");
  IDPConfig idp = record(people);
  struct Case {
    Json claim;
    std::string expected;
  } cases[] = {
      {" ANN@example.org", "ann"},
      {"ben@example.org\u00a0", "ben"},
      {"Twin@Example.org", "ValueError: More than one user found for the token."},
      {"\t ", "ValueError: More than one user found for the token."},  // matches blank and empty
      {"j\u00fcrgen@EXAMPLE.ORG", "jurgen"},
      {"nobody@example.org", "ValueError: User not found for the token."},
      {42, "AttributeError: 'int' object has no attribute 'strip'"},
      {Json::array({"ann@example.org"}), "AttributeError: 'list' object has no attribute 'strip'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(dump(c.claim));
    EXPECT_EQ(map(idp, {{"email", c.claim}}), c.expected);
  }
}

TEST_F(UserMapping, ClaimAndRecordProblems) {
  EXPECT_EQ(map(record(Json::object()), {{"email", "a"}}), "ValueError: User not found for the token.");
  EXPECT_EQ(map(record(Json::object()), {{"sub", "a"}}), "ValueError: Missing expected claim email in JWT.");
  EXPECT_EQ(map(record(Json::object(), nullptr), {{"email", "a"}}), "ValueError: Missing expected claim None in JWT.");

  // A record without the attribute fails the walk wherever it stands.
  const Json with_gap = Json::parse(R"({"a": {"mail": "x@y"}, "b": {"name": "B"}, "c": {"mail": "z@y"}})");
  EXPECT_EQ(map(record(with_gap), {{"email", "x@y"}}), "AttributeError: 'User' object has no attribute 'mail'");
  EXPECT_EQ(map(record(Json::parse(R"({"a": {"mail": 5}})")), {{"email", "x@y"}}),
            "AttributeError: 'int' object has no attribute 'strip'");
  EXPECT_EQ(map(record(with_gap, "email", nullptr), {{"email", "x@y"}}).rfind("TypeError: ", 0), 0u);
  EXPECT_EQ(map(record(with_gap), Json::array({1})).rfind("TypeError: ", 0), 0u);  // claims not a mapping
}

TEST_F(UserMapping, SingleSignOnId) {
  IDPConfig idp = record(Json::object());
  struct Case {
    Json claims;
    std::string id;
    std::string warning;  // empty when none
  } cases[] = {
      {{{"sub", "  User-42 "}}, "user-42", ""},
      {{{"sub", "\u00c4nne"}}, "\u00e4nne", ""},
      {{{"email", "x"}}, "", "'sub' value not found in returned claims from identity provider."},
      {{{"sub", 42}}, "",
       "The sso_user_id was not acquired from 'sub' attribute in token due to 'int' object has no attribute "
       "'strip'. Empty string is used instead."},
      {{{"sub", nullptr}}, "",
       "The sso_user_id was not acquired from 'sub' attribute in token due to 'NoneType' object has no attribute "
       "'strip'. Empty string is used instead."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(dump(c.claims));
    logging::Capture capture;
    EXPECT_EQ(idp.get_sso_user_id(c.claims), c.id);
    auto records = capture.records();
    if (c.warning.empty()) {
      EXPECT_TRUE(records.empty());
    } else {
      EXPECT_EQ(records, (std::vector<logging::Record>{{spdlog::level::warn, c.warning}}));
    }
  }
}

}  // namespace
}  // namespace corvane::auth::jwt
