#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <vector>

#include "cli/cli.hpp"
#include "common/app_errors.hpp"
#include "corvane/util/base64.hpp"
#include "site_fixture.hpp"

namespace corvane::apps {
namespace {

using testing::Site;

struct CliRun {
  int code;
  std::string out, err;
  Json json() const { return Json::parse(out); }
};

CliRun cli(std::vector<std::string> args) {
  args.insert(args.begin(), "corvane-jwt");
  std::vector<const char*> argv;
  for (const auto& a : args) argv.push_back(a.c_str());
  std::ostringstream out, err;
  const int code = run_cli(static_cast<int>(argv.size()), argv.data(), out, err);
  return {code, out.str(), err.str()};
}

TEST(Cli, CheckShowsEveryProviderAndItsStatus) {
  Site site(Alg::ES256, "signing-1");
  // A provider configured through a discovery document gets its endpoints merged.
  site.dir.write("openid-configuration.json",
                 Json{{"jwks_uri", site.jwks_path()}, {"authorization_endpoint", "https://d.example/a"},
                      {"token_endpoint", "https://d.example/t"}}
                     .dump());
  site.providers["discovered"] = {{"enabled", true}, {"idp_name", "D"}, {"claim_attribute", "email"},
                                  {"user_config_attribute", "email"},
                                  {"well_known_configuration", site.dir.path() + "/openid-configuration.json"}};
  site.providers["off"] = {{"enabled", false}};
  site.write();

  CliRun ok = cli({"check", "--ini", site.ini, "--json"});
  ASSERT_EQ(ok.code, 0) << ok.out;
  const Json report = ok.json();
  ASSERT_EQ(report["providers"].size(), 3u);
  const Json& discovered = report["providers"][1];
  EXPECT_EQ(discovered["status"], "ready");
  EXPECT_EQ(discovered["endpoints"]["token_endpoint"], "https://d.example/t");
  EXPECT_EQ(discovered["keys"], (Json::parse(R"([{"kid": "signing-1", "kty": "EC", "alg": "ES256"}])")));
  EXPECT_EQ(report["providers"][2]["status"], "disabled");
  EXPECT_EQ(report["token_cache"], (Json{{"entries", 4096}, {"max_token_bytes", 4096}}));

  site.providers["broken"] = corvane::testing::email_provider(site.dir.path() + "/missing.json");
  site.write();
  CliRun skipped = cli({"check", "--ini", site.ini, "--json"});
  EXPECT_EQ(skipped.code, 1);
  const Json broken = skipped.json()["providers"][3];
  EXPECT_EQ(broken["status"], "skipped");
  EXPECT_NE(broken["reason"].get<std::string>().find("missing.json"), std::string::npos);
  EXPECT_EQ(broken["keys"], Json::array());

  // A discovery document that does not load leaves "jwks_uri" missing: a bare key error, said in words.
  site.providers["no-discovery"] = {{"enabled", true}, {"idp_name", "N"},
                                    {"well_known_configuration", site.dir.path() + "/absent.json"},
                                    {"authorization_endpoint", "https://n/a"}, {"token_endpoint", "https://n/t"}};
  site.write();
  CliRun text = cli({"check", "--ini", site.ini});
  EXPECT_EQ(text.code, 1);
  EXPECT_NE(text.out.find("broken: skipped"), std::string::npos);
  EXPECT_NE(text.out.find("reason:                 'jwks_uri' (the key 'jwks_uri' is missing: "), std::string::npos)
      << text.out;
  EXPECT_NE(text.out.find("kid=signing-1 kty=EC alg=ES256"), std::string::npos);
  EXPECT_NE(text.out.find("\ntoken cache: 4096 entries, tokens up to 4096 bytes\n"), std::string::npos);
}

TEST(Cli, CheckWarnsAboutMistakesThatConstructionAccepts) {
  struct Case {
    const char* name;
    void (*change)(Site&);
    std::string key;      // of the one warning expected
    std::string message;  // part of its text
  } cases[] = {
      {"misspelt provider key", [](Site& s) { s.providers["local"]["claim_atribute"] = "email"; },
       "identity_providers.local.claim_atribute", "did you mean \"claim_attribute\""},
      {"misspelt ini key", [](Site& s) { s.extra_ini = "corvane.log_levle = debug\n"; }, "corvane.log_levle",
       "did you mean \"corvane.log_level\""},
      {"unknown ini key far from any", [](Site& s) { s.extra_ini = "corvane.colour = blue\n"; }, "corvane.colour",
       "unknown key \"corvane.colour\", ignored"},
      {"null claim attribute", [](Site& s) { s.providers["local"]["claim_attribute"] = nullptr; },
       "identity_providers.local.claim_attribute", "missing or null"},
      {"user without the attribute", [](Site& s) { s.users["carol"] = {{"name", "c"}}; }, "carol.email",
       "no attribute \"email\""},
      {"user with a number", [](Site& s) { s.users["carol"] = {{"email", 7}}; }, "carol.email", "holds int"},
      {"two users one form", [](Site& s) { s.users["carol"] = {{"email", " ALICE@example.org"}}; }, "email",
       "users \"alice\", \"carol\" share \"alice@example.org\""},
      {"two keys without kid",
       [](Site& s) {
         Json a = public_jwk(generate_private_jwk(Alg::ES256, "x")), b = public_jwk(generate_private_jwk(Alg::ES256, "y"));
         a.erase("kid"), b.erase("kid");
         s.write_key_set(Json::array({a, b}));
       },
       "identity_providers.local.jwks_uri", "2 keys without \"kid\""},
      {"sign-in without its return address", [](Site& s) { s.providers["local"]["client_id"] = "app"; },
       "identity_providers.local.redirect_uri", "no sign-in"},
      {"sign-in scopes as one text", [](Site& s) {
         s.providers["local"].update({{"client_id", "app"}, {"redirect_uri", "http://h/callback"}, {"scopes", "a b"}});
       }, "identity_providers.local.scopes", "a list of words"},
      {"sign-in at a path that is no callback", [](Site& s) {
         s.providers["local"].update({{"client_id", "app"}, {"redirect_uri", "http://h/login"}});
       }, "identity_providers.local.redirect_uri", "/callback/NAME"},
      {"sign-in by a claim the provider does not issue", [](Site& s) {
         s.providers["local"].update({{"client_id", "app"}, {"redirect_uri", "http://h/callback/local"},
                                      {"well_known_configuration",
                                       s.dir.write("discovery.json", R"({"claims_supported": ["sub", "name"]})")}});
       }, "identity_providers.local.claim_attribute", "claims_supported does not list"},
  };
  Site clean;
  clean.providers["local"].update({{"client_id", "app"}, {"client_secret", "s"}, {"redirect_uri", "http://h/callback"},
                                   {"scopes", {"email"}}});
  clean.write();
  CliRun quiet = cli({"check", "--ini", clean.ini, "--strict", "--json"});
  EXPECT_EQ(quiet.code, 0);
  EXPECT_EQ(quiet.json()["warnings"], Json::array());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Site site(Alg::ES256);
    c.change(site);
    site.write();
    CliRun run = cli({"check", "--ini", site.ini, "--json"});
    EXPECT_EQ(run.code, 0) << run.out;  // warnings alone leave the exit status as it is
    const Json warnings = run.json()["warnings"];
    ASSERT_EQ(warnings.size(), 1u) << warnings.dump();
    const std::string key = warnings[0]["key"], message = warnings[0]["message"];
    EXPECT_NE(key.find(c.key), std::string::npos) << key;
    EXPECT_EQ(key.size() - key.find(c.key), c.key.size()) << key;
    EXPECT_NE(message.find(c.message), std::string::npos) << message;
    EXPECT_FALSE(warnings[0]["file"].get<std::string>().empty());
    EXPECT_EQ(cli({"check", "--ini", site.ini, "--strict"}).code, 1);
  }

  // Two providers answering at one callback path could not be told apart:
  // neither gets a sign-in.
  Site twins(Alg::ES256);
  twins.providers["twin"] = twins.providers["local"];
  for (const char* id : {"local", "twin"}) {
    twins.providers[id].update({{"client_id", "app"}, {"redirect_uri", "http://h/callback"}});
  }
  twins.write();
  const Json shared = cli({"check", "--ini", twins.ini, "--json"}).json()["warnings"];
  ASSERT_EQ(shared.size(), 2u) << shared.dump();
  for (const Json& warning : shared) {
    EXPECT_NE(warning["message"].get<std::string>().find("the same path /callback"), std::string::npos) << warning;
  }
}

TEST(Cli, AuthReportsTheRequestAndItsSession) {
  Site site;
  struct Case {
    const char* name;
    std::vector<std::string> extra;
    Json user_id;
    int invalidated;
    Json remembered;
  } cases[] = {
      {"json via query", {"--idp-id", "local", "--format", "json"}, "alice", 0, nullptr},
      {"html via header", {"--idp-header", "local", "--format", "html"}, "alice", 1, "alice"},
      {"default extension", {"--idp-id", "local"}, "alice", 0, nullptr},
      {"unknown provider", {"--idp-id", "nobody"}, nullptr, 0, nullptr},
      {"no provider named", {}, nullptr, 0, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = {"auth", "--ini", site.ini, "--authorization", site.bearer("Alice@Example.org"),
                                     "--json"};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    CliRun run = cli(args);
    ASSERT_EQ(run.code, c.user_id.is_null() ? 1 : 0) << run.err;
    const Json report = run.json();
    std::vector<std::string> members;
    for (const auto& [name, value] : report.items()) members.push_back(name);
    EXPECT_EQ(members, (std::vector<std::string>{"user_id", "principals", "startup_log", "log", "log_context",
                                                 "session", "settings"}));
    EXPECT_EQ(report["user_id"], c.user_id);
    EXPECT_EQ(report["session"]["invalidated"], c.invalidated);
    EXPECT_EQ(report["session"]["remembered"], c.remembered);
    if (c.user_id.is_null()) {
      EXPECT_EQ(report["principals"], Json::array());
      EXPECT_EQ(report["log_context"], Json::object());
    } else {
      EXPECT_EQ(report["principals"][2], "alice");
      EXPECT_EQ(report["log_context"]["sso_user_id"], "sso-alice@example.org");
      EXPECT_EQ(report["session"]["sso_user_id"], "sso-alice@example.org");
    }
    for (const Json& record : report["log"]) {
      EXPECT_TRUE(record["level"] == "debug" || record["level"] == "info" || record["level"] == "warning");
    }
    EXPECT_FALSE(report["startup_log"].empty());  // debug records of construction are kept
  }
}

TEST(Cli, AuthRefusesBadTokensWithExitOne) {
  Site site;
  const Json stranger = generate_private_jwk(Alg::HS256, "k1");
  const std::string good = site.bearer("alice@example.org");
  const std::string compact = b64decode_padded(good.substr(7));
  struct Case {
    std::string value;
    std::string why;  // part of the explanation the readable output gives
  } cases[] = {
      {site.bearer("alice@example.org", stranger), "see the warning"},  // another key under the known kid
      {site.bearer("alice@example.org", nullptr, -3600), "see the warning"},  // expired
      {site.bearer("carol@example.org"), "see the warning"},                  // no such user
      {"Bearer " + compact, "compact JWT sent as it is"},
      {"Bearer !!!", "\"!\" at position 8 is not standard base64"},
      {"Basic abc", "does not begin with \"Bearer \""},
      {"bearer " + good.substr(7), "written \"Bearer\" exactly"},
      {"Bearer  " + good.substr(7), "exactly one blank"},
      {good + " ", "followed by \" \""},
      {"Bearer abc", "ends with \"=\""},
      {"Bearer ab=", "ends with \"==\""},
      {"Bearer ab-_", "URL-safe"},
      {"Bearer gA==", "128 or above"},
      {"", "empty"},
      {"Bearer", "followed by exactly one blank and the token"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value.substr(0, 40));
    CliRun run = cli({"auth", "--ini", site.ini, "--authorization", c.value, "--idp-id", "local", "--json"});
    EXPECT_EQ(run.code, 1) << run.err;
    EXPECT_TRUE(run.json()["user_id"].is_null());
    CliRun text = cli({"auth", "--ini", site.ini, "--authorization", c.value, "--idp-id", "local"});
    EXPECT_NE(text.out.find("not authenticated"), std::string::npos);
    EXPECT_NE(text.out.find("why:"), std::string::npos);
    EXPECT_NE(text.out.find(c.why), std::string::npos) << text.out;
  }
  CliRun text = cli({"auth", "--ini", site.ini, "--authorization", cases[1].value, "--idp-id", "local"});
  EXPECT_NE(text.out.find("warning JWT authentication failed"), std::string::npos);
  // Both calls authenticate; each call's records are labelled, so the repeat is not read as a fault.
  EXPECT_NE(text.out.find("request log, authenticated_userid:"), std::string::npos);
  EXPECT_NE(text.out.find("request log, effective_principals"), std::string::npos);
  CliRun unnamed = cli({"auth", "--ini", site.ini, "--authorization", good});
  EXPECT_NE(unnamed.out.find("no provider was named: pass --idp-id ID"), std::string::npos) << unnamed.out;
  EXPECT_NE(unnamed.out.find("ready providers: local"), std::string::npos) << unnamed.out;
  CliRun unknown = cli({"auth", "--ini", site.ini, "--authorization", good, "--idp-header", "other"});
  EXPECT_NE(unknown.out.find("provider \"other\" is not ready"), std::string::npos) << unknown.out;
}

TEST(Cli, BrokenConfigurationsGiveOneLineAndExitTwo) {
  Site site;
  const std::string dir = site.dir.path();
  struct Case {
    const char* name;
    std::string ini_text;
    std::string expected;  // in the error line
  } cases[] = {
      {"no users key", "[app:main]\ncorvane.auth_settings = %(here)s/auth.json\n", "corvane.users"},
      {"missing users file", "[app:main]\ncorvane.auth_settings = %(here)s/auth.json\ncorvane.users = %(here)s/x.json\n",
       dir + "/x.json"},
      {"invalid JSON", "[app:main]\ncorvane.auth_settings = %(here)s/app.ini\ncorvane.users = %(here)s/users.json\n",
       "invalid JSON"},
      {"malformed ini", "[app:main]\nthis is not ini\n", "broken.ini:2"},
      {"jwt without enabled", "[app:main]\ncorvane.auth_settings = %(here)s/noenabled.json\n"
                              "corvane.users = %(here)s/users.json\n", "'enabled'"},
  };
  site.dir.write("noenabled.json", R"({"authentication_policies": {"jwt": {"identity_providers": {}}}})");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string ini = site.dir.write("broken.ini", c.ini_text);
    for (const char* command : {"check", "auth"}) {
      CliRun run = command == std::string("check") ? cli({"check", "--ini", ini})
                                                : cli({"auth", "--ini", ini, "--authorization", "Bearer x"});
      EXPECT_EQ(run.code, 2);
      EXPECT_EQ(run.out, "");
      EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
      EXPECT_NE(run.err.find(c.expected), std::string::npos) << run.err;
    }
  }
  CliRun missing = cli({"check", "--ini", dir + "/none.ini"});
  EXPECT_EQ(missing.code, 2);
  EXPECT_NE(missing.err.find("none.ini"), std::string::npos);
}

TEST(Cli, AnErrorEscapingThePolicyIsReportedNotThrown) {
  Site site;
  site.users["carol"] = {{"name", "no email attribute"}};
  site.write();
  CliRun run = cli({"auth", "--ini", site.ini, "--authorization", site.bearer("alice@example.org"), "--idp-id", "local"});
  EXPECT_EQ(run.code, 2);
  EXPECT_NE(run.err.find("AttributeError"), std::string::npos) << run.err;
}

TEST(Cli, KeygenAndMintMakeTokensThePolicyAccepts) {
  corvane::testing::TempDir dir;
  Site site;
  const std::string jwks = site.jwks_path(), key = dir.path() + "/rs.json";
  std::filesystem::remove(jwks);
  ASSERT_EQ(cli({"keygen", "--alg", "RS256", "--kid", "rs", "--jwks", jwks, "--key", key}).code, 0);
  ASSERT_EQ(cli({"keygen", "--alg", "EdDSA", "--kid", "ed", "--jwks", jwks, "--key", dir.path() + "/ed.json"}).code, 0);
  CliRun duplicate = cli({"keygen", "--alg", "ES256", "--kid", "rs", "--jwks", jwks, "--key", dir.path() + "/x.json"});
  EXPECT_EQ(duplicate.code, 2);
  EXPECT_NE(duplicate.err.find("kid \"rs\""), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir.path() + "/x.json"));  // refused before any file was written
  EXPECT_EQ(cli({"keygen", "--alg", "ES256", "--kid", "new", "--jwks", jwks, "--key", key}).code, 2);  // exists
  EXPECT_EQ(cli({"keygen", "--alg", "RS512", "--kid", "z", "--jwks", jwks, "--key", dir.path() + "/z"}).code, 2);
  // A link where the key set goes is refused before the private key is written.
  const std::string link = dir.path() + "/link.json";
  std::filesystem::create_symlink(jwks, link);
  CliRun linked = cli({"keygen", "--alg", "HS256", "--kid", "l", "--jwks", link, "--key", dir.path() + "/l.json"});
  EXPECT_EQ(linked.code, 2);
  EXPECT_NE(linked.err.find("symbolic link"), std::string::npos) << linked.err;
  EXPECT_FALSE(std::filesystem::exists(dir.path() + "/l.json"));

  CliRun minted = cli({"mint", "--key", key, "--email", "bob@example.org", "--sub", "b-1", "--claims", R"({"aud": "x"})"});
  ASSERT_EQ(minted.code, 0) << minted.err;
  ASSERT_EQ(minted.out.rfind("Bearer ", 0), 0u);
  const std::string value = minted.out.substr(0, minted.out.size() - 1);
  const std::string compact = b64decode_padded(value.substr(7));
  EXPECT_EQ(std::count(compact.begin(), compact.end(), '.'), 2);
  EXPECT_EQ(value.size() % 4, 3u);  // "Bearer " plus padded standard base64

  CliRun auth = cli({"auth", "--ini", site.ini, "--authorization", value, "--idp-id", "local", "--json"});
  EXPECT_EQ(auth.code, 0) << auth.out;
  EXPECT_EQ(auth.json()["user_id"], "bob");
  EXPECT_EQ(auth.json()["log_context"]["sso_user_id"], "b-1");

  for (const char* claims : {"[1]", "{", "\"x\""}) EXPECT_EQ(cli({"mint", "--key", key, "--claims", claims}).code, 2);
  CliRun keyless = cli({"mint", "--key", dir.path() + "/none.json"});
  EXPECT_EQ(keyless.code, 2);
  EXPECT_NE(keyless.err.find("corvane-jwt keygen --alg ES256 --kid KID --key " + dir.path() + "/none.json"),
            std::string::npos) << keyless.err;
}

TEST(Cli, HelpAndUsage) {
  for (const char* command : {"check", "auth", "keygen", "mint"}) {
    CliRun help = cli({command, "--help"});
    EXPECT_EQ(help.code, 0) << command;
    EXPECT_NE(help.out.find("--"), std::string::npos) << command;
  }
  EXPECT_EQ(cli({"--help"}).code, 0);
  EXPECT_EQ(cli({}).code, 2);
  EXPECT_EQ(cli({"check"}).code, 2);
  EXPECT_EQ(cli({"frobnicate"}).code, 2);
}

}  // namespace
}  // namespace corvane::apps
