#include <gtest/gtest.h>

#include <tuple>

#include "corvane/auth/jwt/jwt.hpp"
#include "corvane/util/errors.hpp"
#include "corvane/util/logging.hpp"
#include "support/http_server.hpp"
#include "support/policy_fixture.hpp"

namespace corvane::auth::jwt {
namespace {

using logging::Record;
using spdlog::level::debug;
using spdlog::level::info;
using spdlog::level::warn;

// A symmetric key set written to a file: enough to construct providers.
class PolicyConstruction : public ::testing::Test {
 protected:
  void SetUp() override {
    jwks = dir.write("jwks.json",
                     R"({"keys": [{"kty": "oct", "kid": "k1", "k": "c2VjcmV0LXNlY3JldC1zZWNyZXQtc2VjcmV0LXNlY3JldA"}]})");
  }

  Json provider(bool enabled = true) const { return testing::email_provider(jwks, enabled); }

  host::AuthConfiguration with_jwt(Json jwt) const {
    host::AuthConfiguration configuration;
    *configuration.auth_settings = {{"authentication_policies", {{"jwt", std::move(jwt)}}}};
    return configuration;
  }

  testing::TempDir dir;
  std::string jwks;
  host::IniSettings ini;
};

TEST_F(PolicyConstruction, NotConfigured) {
  struct Case {
    Json auth_settings;
    const char* record;
  } cases[] = {
      {Json::object(), "JWT authentication method is not configured. 'authentication_policies'"},
      {{{"authentication_policies", Json::object()}}, "JWT authentication method is not configured. 'jwt'"},
  };
  for (auto& c : cases) {
    logging::Capture capture;
    host::AuthConfiguration configuration;
    *configuration.auth_settings = c.auth_settings;
    JWTAuthenticationPolicy policy(ini, configuration);
    EXPECT_EQ(capture.records(), (std::vector<Record>{{info, c.record}}));
    EXPECT_EQ(policy.jwt_enabled, false);
    EXPECT_EQ(policy.jwt_settings, nullptr);
    EXPECT_FALSE(policy.idps);
  }
}

TEST_F(PolicyConstruction, Disabled) {
  for (const Json& off : {Json(false), Json(nullptr), Json(0), Json(""), Json::array()}) {
    logging::Capture capture;
    auto configuration = with_jwt({{"enabled", off}, {"identity_providers", nullptr}});
    JWTAuthenticationPolicy policy(ini, configuration);
    EXPECT_EQ(capture.records(), (std::vector<Record>{{debug, "JWT disabled"}}));
    EXPECT_FALSE(policy.idps);
    EXPECT_EQ(policy.jwt_enabled, off);
    // left as it was, even though null
    EXPECT_TRUE((*configuration.auth_settings)["authentication_policies"]["jwt"]["identity_providers"].is_null());
  }
}

TEST_F(PolicyConstruction, NullProvidersBecomeAnEmptyMapping) {
  logging::Capture capture;
  auto configuration = with_jwt({{"enabled", "no"}, {"identity_providers", nullptr}});  // "no" is true
  JWTAuthenticationPolicy policy(ini, configuration);
  EXPECT_TRUE(capture.records().empty());
  ASSERT_TRUE(policy.idps);
  EXPECT_TRUE(policy.idps->empty());
  EXPECT_EQ((*configuration.auth_settings)["authentication_policies"]["jwt"]["identity_providers"], Json::object());
  EXPECT_EQ(policy.jwt_settings, &(*configuration.auth_settings)["authentication_policies"]["jwt"]);
}

TEST_F(PolicyConstruction, SkipsDisabledAndFailingProvidersInOrder) {
  Json failing = provider();
  failing["jwks_uri"] = dir.path() + "/missing.json";
  Json providers = {{"first", provider()}, {"off", provider(false)}, {"broken", failing}, {"last", provider()}};
  auto configuration = with_jwt({{"enabled", true}, {"identity_providers", providers}});
  logging::Capture capture;
  JWTAuthenticationPolicy policy(ini, configuration);

  ASSERT_TRUE(policy.idps);
  std::vector<std::string> ids;
  for (const auto& [id, idp] : *policy.idps) ids.push_back(id);
  EXPECT_EQ(ids, (std::vector<std::string>{"first", "last"}));

  Json& settings = (*configuration.auth_settings)["authentication_policies"]["jwt"]["identity_providers"];
  EXPECT_EQ(settings["broken"]["enabled"], false);
  EXPECT_EQ(settings["off"]["enabled"], false);
  EXPECT_EQ(settings["first"]["enabled"], true);

  auto records = capture.records();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].level, debug);
  EXPECT_EQ(records[0].message, "Resulting JWT config for first is " + dump(settings["first"]));
  EXPECT_EQ(records[1], (Record{warn, "Identity provider \"broken\" was skipped due to invalid configuration in "
                                      "JWT authentication policy. Data could not be retrieved from the resource " +
                                          dir.path() + "/missing.json. Verify the local file path or URI."}));
  EXPECT_EQ(records[2].message.rfind("Resulting JWT config for last is ", 0), 0u);
  EXPECT_EQ(policy.idps->find("first")->idp_config, &settings["first"]);

  using Status = ProviderState::Status;
  std::vector<std::tuple<std::string, Status, std::string>> states;
  for (const auto& state : policy.provider_states) states.emplace_back(state.idp_id, state.status, state.error);
  EXPECT_EQ(states, (std::vector<std::tuple<std::string, Status, std::string>>{
                        {"first", Status::ready, ""},
                        {"off", Status::disabled, ""},
                        {"broken", Status::skipped, "Data could not be retrieved from the resource " + dir.path() +
                                                        "/missing.json. Verify the local file path or URI."},
                        {"last", Status::ready, ""}}));
}

TEST_F(PolicyConstruction, EveryProviderFailingLeavesAnEmptyTable) {
  Json failing = provider();
  failing.erase("jwks_uri");
  auto configuration = with_jwt({{"enabled", true}, {"identity_providers", {{"only", failing}}}});
  logging::Capture capture;
  JWTAuthenticationPolicy policy(ini, configuration);
  ASSERT_TRUE(policy.idps);
  EXPECT_TRUE(policy.idps->empty());
  EXPECT_EQ(capture.messages(),
            std::vector<std::string>{"Identity provider \"only\" was skipped due to invalid configuration in JWT "
                                     "authentication policy. Missing required attributes: jwks_uri"});
}

TEST_F(PolicyConstruction, MalformedSectionsFailConstruction) {
  Json no_enabled = provider();
  no_enabled.erase("enabled");
  struct Case {
    const char* name;
    Json jwt;
    const char* kind;
  } cases[] = {
      {"section without enabled", {{"identity_providers", nullptr}}, "KeyError"},
      {"enabled without providers", {{"enabled", true}}, "KeyError"},
      {"provider without enabled", {{"enabled", true}, {"identity_providers", {{"p", no_enabled}}}}, "KeyError"},
      {"provider not a mapping", {{"enabled", true}, {"identity_providers", {{"p", 5}}}}, "TypeError"},
      {"providers a list", {{"enabled", true}, {"identity_providers", Json::array()}}, "AttributeError"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      JWTAuthenticationPolicy policy(ini, with_jwt(c.jwt));
      ADD_FAILURE() << "constructed";
    } catch (const Exception& error) {
      EXPECT_STREQ(error.kind(), c.kind);
    }
  }
  host::AuthConfiguration not_a_mapping;
  *not_a_mapping.auth_settings = {{"authentication_policies", "jwt"}};
  EXPECT_THROW(JWTAuthenticationPolicy(ini, not_a_mapping), TypeError);
}

}  // namespace
}  // namespace corvane::auth::jwt
