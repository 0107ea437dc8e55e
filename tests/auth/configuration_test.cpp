#include <gtest/gtest.h>

#include "corvane/auth/jwt/jwt.hpp"
#include "corvane/users/users.hpp"
#include "corvane/util/errors.hpp"
#include "corvane/util/logging.hpp"
#include "support/http_server.hpp"
#include "support/mint.hpp"
#include "support/silent_server.hpp"

namespace corvane::auth::jwt {
namespace {

const Json kComplete = {{"jwks_uri", "/keys.json"},
                        {"authorization_endpoint", "https://idp/auth"},
                        {"token_endpoint", "https://idp/token"}};

IDPConfig make_record(Json& config, host::IniSettings ini = {}) {
  return IDPConfig(std::make_shared<Users>(), config, ini);
}

TEST(IDPConfigRecord, ConstructorCopiesFieldsAndKeepsTheMapping) {
  Json config = {{"enabled", true}, {"claim_attribute", "email"}, {"other", 1}};
  IDPConfig record = make_record(config);
  EXPECT_EQ(record.idp_config, &config);
  EXPECT_EQ(record.claim_attribute, "email");
  EXPECT_TRUE(record.user_config_attribute.is_null());
  EXPECT_TRUE(record.well_known_configuration_url.is_null());
  EXPECT_EQ(record.jwt_settings_http_timeout, 1);
  EXPECT_TRUE(record.offline_verification.is_null());  // not ready: no verification
  EXPECT_THROW(record.secure_load_claims("a.b.c"), NotImplementedError);

  EXPECT_EQ(make_record(config, host::IniSettings{{"jwt_cvn.http_timeout", " 5 "}}).jwt_settings_http_timeout, 5);
  EXPECT_THROW(make_record(config, host::IniSettings{{"jwt_cvn.http_timeout", "soon"}}), ValueError);
}

TEST(IDPConfigMerge, LocalTruthyValuesWinAndOthersComeFromRemote) {
  struct Case {
    const char* name;
    Json local;
    Json remote;
    Json expected;  // the local mapping afterwards
    const char* error_kind;  // nullptr when the merge succeeds
  } cases[] = {
      {"fills missing keys",
       {{"jwks_uri", "local"}},
       {{"jwks_uri", "r1"}, {"authorization_endpoint", "r2"}, {"token_endpoint", "r3"}, {"extra", 1}},
       {{"jwks_uri", "local"}, {"authorization_endpoint", "r2"}, {"token_endpoint", "r3"}},
       nullptr},
      {"replaces empty text",
       {{"jwks_uri", ""}, {"authorization_endpoint", "a"}, {"token_endpoint", "t"}},
       {{"jwks_uri", "remote"}},
       {{"jwks_uri", "remote"}, {"authorization_endpoint", "a"}, {"token_endpoint", "t"}},
       nullptr},
      {"missing remote key after partial writes",
       {{"authorization_endpoint", "a"}},
       {{"jwks_uri", "remote"}},
       {{"authorization_endpoint", "a"}, {"jwks_uri", "remote"}},
       "KeyError"},
      {"first key missing: nothing written", Json::object(), Json::object(), Json::object(), "KeyError"},
      {"remote null is copied",
       {{"jwks_uri", "j"}, {"authorization_endpoint", "a"}},
       {{"token_endpoint", nullptr}},
       {{"jwks_uri", "j"}, {"authorization_endpoint", "a"}, {"token_endpoint", nullptr}},
       nullptr},
      {"remote not a mapping", {{"jwks_uri", "j"}}, Json::array({1}), {{"jwks_uri", "j"}}, "TypeError"},
      {"complete local never reads remote", kComplete, Json::array({1}), kComplete, nullptr},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    Json local = c.local;
    IDPConfig record = make_record(local);
    try {
      Json& result = record._merge_jwt_configuration(local, c.remote);
      EXPECT_EQ(c.error_kind, nullptr);
      EXPECT_EQ(&result, &local);
    } catch (const Exception& error) {
      ASSERT_NE(c.error_kind, nullptr) << error.what();
      EXPECT_STREQ(error.kind(), c.error_kind);
    }
    EXPECT_EQ(local, c.expected);
  }
}

TEST(IDPConfigValidate, ReportsEveryMissingKeyInOrder) {
  struct Case {
    Json config;
    const char* message;  // nullptr when valid
  } cases[] = {
      {Json::object(), "Missing required attributes: jwks_uri, authorization_endpoint, token_endpoint"},
      {{{"jwks_uri", "j"}, {"authorization_endpoint", 0}, {"token_endpoint", "t"}},
       "Missing required attributes: authorization_endpoint"},
      {{{"jwks_uri", "j"}, {"authorization_endpoint", false}, {"token_endpoint", nullptr}},
       "Missing required attributes: authorization_endpoint, token_endpoint"},
      {{{"jwks_uri", 5}, {"authorization_endpoint", Json::array({1})}, {"token_endpoint", "t"}}, nullptr},
  };
  for (auto& c : cases) {
    Json config = c.config;
    IDPConfig record = make_record(config);
    if (c.message) {
      try {
        record._validate_jwt_configuration(config);
        ADD_FAILURE() << c.message;
      } catch (const ValueError& error) {
        EXPECT_STREQ(error.what(), c.message);
      }
    } else {
      EXPECT_NO_THROW(record._validate_jwt_configuration(config));
    }
  }
}

// get_idp_config with a discovery document from files and loopback servers.
class Discovery : public ::testing::Test {
 protected:
  void SetUp() override {
    document = dir.write("openid.json", R"({"jwks_uri": "/remote/jwks.json",
      "authorization_endpoint": "https://idp/auth", "token_endpoint": "https://idp/token"})");
    auto& s = server.server();
    s.Get("/doc", [this](const httplib::Request&, httplib::Response& res) {
      res.set_content(testing::read_file(document), "application/json");
    });
    s.Get("/missing", [](const httplib::Request&, httplib::Response& res) { res.status = 404; });
    s.Get("/broken", [](const httplib::Request&, httplib::Response& res) { res.status = 500; });
    s.Get("/html", [](const httplib::Request&, httplib::Response& res) {
      res.set_content("<html><body>login</body></html>", "text/html");
    });
    s.Get("/to-file", [this](const httplib::Request&, httplib::Response& res) {
      res.set_redirect("file://" + document);
    });
    // A discovery document whose "jwks_uri" is the query parameter "at".
    s.Get("/pointing", [](const httplib::Request& req, httplib::Response& res) {
      res.set_content(Json{{"jwks_uri", req.get_param_value("at")}}.dump(), "application/json");
    });
    s.Get("/keys", [this](const httplib::Request&, httplib::Response& res) {
      res.set_content(testing::read_file(keys), "application/json");
    });
    server.start();
  }


  // Runs get_idp_config on `config` with `location`; returns the warnings.
  std::vector<std::string> settle(Json& config, const Json& location, const char* expected_error = nullptr) {
    config["well_known_configuration"] = location;
    logging::Capture capture;
    IDPConfig record = make_record(config);
    try {
      Json& result = record.get_idp_config(config);
      EXPECT_EQ(expected_error, nullptr);
      EXPECT_EQ(&result, &config);
    } catch (const Exception& error) {
      EXPECT_NE(expected_error, nullptr) << error.what();
      if (expected_error) {
        EXPECT_STREQ(error.kind(), expected_error) << error.what();
      }
    }
    return capture.messages();
  }

  testing::TempDir dir;
  testing::LoopbackServer server;
  std::string document;
  std::string keys = dir.write("jwks.json", Json{{"keys", {testing::oct_jwk("a symmetric key of 32 bytes or more", "k")}}}.dump());
};

TEST_F(Discovery, LocationsThatLoad) {
  const std::string locations[] = {document, "file://" + document, "file://" + document + "?x=1#top",
                                   server.url("/doc")};
  for (const auto& location : locations) {
    SCOPED_TRACE(location);
    Json config = {{"idp_name", "Idp"}, {"jwks_uri", "/local/jwks.json"}};
    EXPECT_TRUE(settle(config, location).empty());
    EXPECT_EQ(config["jwks_uri"], "/local/jwks.json");
    EXPECT_EQ(config["token_endpoint"], "https://idp/token");
  }
}

TEST_F(Discovery, RelativePathIsReadFromTheWorkingDirectory) {
  auto previous = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  Json config = {{"idp_name", "Idp"}};
  EXPECT_TRUE(settle(config, "openid.json").empty());
  std::filesystem::current_path(previous);
  EXPECT_EQ(config["jwks_uri"], "/remote/jwks.json");
}

TEST_F(Discovery, FailuresWarnAndFallBackToLocal) {
  const std::string prefix = "Failed to load .well-known configuration for Idp, ";
  const std::string suffix = ". Using only local configuration";
  struct Case {
    std::string location;
    std::string reason_start;
  } cases[] = {
      {dir.path() + "/nope.json", "Can not read: FileNotFoundError: "},
      {dir.write("bad.json", "{not json"), "Invalid json: "},
      {dir.write("empty.json", "{}"), "Response in empty"},
      {dir.write("latin1.json", "{\"a\": \"\xe4\"}"), "'utf-8' codec can't decode"},
      {server.url("/missing"), "Can not read: HTTPError: 404"},
      {server.url("/broken"), "Can not read: HTTPError: 500"},
      {server.url("/html"), "Invalid json: "},
      {server.url("/to-file"), "Can not read: InvalidSchema: "},
      {"ftp://127.0.0.1/openid.json", "Can not read: InvalidSchema: "},
      {"http://[::1/openid", "Can not parse url or file path, "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.location);
    Json config = kComplete;
    config["idp_name"] = "Idp";
    auto warnings = settle(config, c.location);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].rfind(prefix + c.reason_start, 0), 0u) << warnings[0];
    EXPECT_TRUE(warnings[0].ends_with(suffix)) << warnings[0];
    EXPECT_EQ(config["jwks_uri"], "/keys.json");
  }
}

TEST_F(Discovery, FailurePaths) {
  {  // an incomplete local configuration then fails the merge on the first missing key
    Json config = {{"idp_name", "Idp"}, {"jwks_uri", "j"}, {"token_endpoint", "t"}};
    EXPECT_EQ(settle(config, dir.path() + "/nope.json", "KeyError").size(), 1u);
  }
  {  // no "idp_name": the warning cannot be written
    Json config = kComplete;
    EXPECT_TRUE(settle(config, dir.path() + "/nope.json", "KeyError").empty());
  }
  {  // a location that is not text
    Json config = kComplete;
    config["idp_name"] = "Idp";
    EXPECT_TRUE(settle(config, 42, "AttributeError").empty());
  }
  {  // no location: validation only
    for (const Json& none : {Json(nullptr), Json("")}) {
      Json config = {{"idp_name", "Idp"}, {"jwks_uri", "j"}};
      EXPECT_TRUE(settle(config, none, "ValueError").empty());
    }
  }
  {  // a JSON array with a complete local configuration is never read
    Json config = kComplete;
    config["idp_name"] = "Idp";
    EXPECT_TRUE(settle(config, dir.write("array.json", "[1]")).empty());
  }
}

TEST_F(Discovery, ARemoteDocumentNamesKeysOnlyOverTheNetwork) {
  const std::string refused[] = {keys, "file://" + keys, "FILE:" + keys, "/proc/self/environ"};
  for (const auto& at : refused) {
    SCOPED_TRACE(at);
    Json config = {{"idp_name", "Idp"}, {"authorization_endpoint", "a"}, {"token_endpoint", "t"},
                   {"well_known_configuration", server.url("/pointing?at=" + at)}};
    IDPConfig record = make_record(config);
    logging::Capture capture;
    try {
      record.post_init();
      ADD_FAILURE() << "a local key set was loaded";
    } catch (const ValueError& error) {
      EXPECT_STREQ(error.what(), "Incorrect value for jwks_uri.");
    }
    EXPECT_EQ(capture.records(), (std::vector<logging::Record>{{spdlog::level::warn, "Incorrect value for jwks_uri."},
                                                               {spdlog::level::debug, "jwks_uri: " + at}}));
    EXPECT_FALSE(record.offline_jwks);
  }
  // Over the network, and every location a local value or a local document names, still load.
  const Json loading[] = {
      {{"well_known_configuration", server.url("/pointing?at=" + server.url("/keys"))}},
      {{"well_known_configuration", server.url("/pointing?at=/nowhere")}, {"jwks_uri", keys}},
      {{"well_known_configuration", dir.write("local.json", Json{{"jwks_uri", "file://" + keys}}.dump())}},
  };
  for (const Json& given : loading) {
    Json config = given;
    config.update({{"idp_name", "Idp"}, {"authorization_endpoint", "a"}, {"token_endpoint", "t"}});
    IDPConfig record = make_record(config);
    EXPECT_NO_THROW(record.post_init()) << config.dump();
    EXPECT_TRUE(record.offline_jwks) << config.dump();
  }
}

TEST_F(Discovery, UnansweredServerWarnsWithinTheTimeout) {
  testing::SilentServer silent;
  Json config = kComplete;
  config["idp_name"] = "Idp";
  auto started = std::chrono::steady_clock::now();
  auto warnings = settle(config, silent.url("/openid"));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(4));
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find("Can not read: Timeout: "), std::string::npos) << warnings[0];
}

}  // namespace
}  // namespace corvane::auth::jwt
