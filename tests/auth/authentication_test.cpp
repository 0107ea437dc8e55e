#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "cli/recording_request.hpp"
#include "corvane/auth/jwt/jwt.hpp"
#include "corvane/host/log_context.hpp"
#include "corvane/users/users.hpp"
#include "corvane/util/errors.hpp"
#include "corvane/util/logging.hpp"
#include "support/http_server.hpp"
#include "support/jose_signer.hpp"
#include "support/mint.hpp"
#include "support/policy_fixture.hpp"

namespace corvane::auth::jwt {
namespace {

using logging::Record;
using spdlog::level::debug;
using spdlog::level::warn;

const std::string kSecret = "an HS256 secret of at least 32 bytes";
const std::string kOtherSecret = "another HS256 secret, not in the set";

// A policy with two providers over one HMAC key set and a users file.
class Authentication : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string jwks = dir.write("jwks.json", Json{{"keys", {testing::oct_jwk(kSecret, "k1")}}}.dump());
    const Json provider = testing::email_provider(jwks);
    host::AuthConfiguration configuration = testing::jwt_configuration({{"idp", provider}, {"other", provider}});
    auto users = std::make_shared<Users>();
    users->add("alice", {{"email", "Alice@Example.org "}});
    users->add("bob", {{"email", "bob@example.org"}});
    users->add("twin1", {{"email", "twin@example.org"}});
    users->add("twin2", {{"email", "TWIN@example.org"}});
    configuration.users = users;
    policy = std::make_unique<JWTAuthenticationPolicy>(host::IniSettings{}, configuration);
    ASSERT_EQ(policy->idps->size(), 2u);
  }

  static std::string token_for(const Json& claims, const std::string& secret = kSecret) {
    return testing::bearer(testing::mint_hs256(secret, "k1", claims));
  }

  static Json alice_claims() { return {{"sub", " Alice-SSO "}, {"email", " alice@EXAMPLE.org"}}; }

  testing::TempDir dir;
  std::unique_ptr<JWTAuthenticationPolicy> policy;
};

TEST_F(Authentication, SuccessLogsInOrderAndSetsTheLogContext) {
  host::current_thread_log_context().erase("sso_user_id");
  apps::SimpleRequest request;
  request.header("Authorization", token_for(alice_claims())).query("idp_id", "idp");
  logging::Capture capture;
  EXPECT_EQ(policy->authenticated_userid(request), "alice");
  EXPECT_EQ(capture.records(),
            (std::vector<Record>{{debug, "JWT authentication - Identity Provider: \"idp\""},
                                 {debug, "JWT authentication payload: " + alice_claims().dump()},
                                 {debug, "JWT authentication - user: alice"},
                                 {debug, "Authenticated using JWT for Identity Provider \"idp\"."}}));
  EXPECT_EQ(host::current_thread_log_context()["sso_user_id"], "alice-sso");
  EXPECT_EQ(request.session().sso_user_id, "alice-sso");
  EXPECT_EQ(request.session().invalidated, 1);  // the default extension is html
  EXPECT_EQ(request.session().remembered, "alice");
}

TEST_F(Authentication, ProviderSelectionAndFailures) {
  const std::string valid = token_for(alice_claims());
  struct Case {
    const char* name;
    std::string authorization;
    std::optional<std::string> query;
    std::optional<std::string> header;
    std::optional<std::string> user;
    std::vector<Record> records;  // beyond the success records; checked when not empty
    AuthOutcome outcome;
    std::string idp;  // the provider that decided
  } cases[] = {
      {"query wins over header", valid, "idp", "nope", "alice", {}, AuthOutcome::authenticated, "idp"},
      {"empty query falls back to header", valid, "", "other", "alice", {}, AuthOutcome::authenticated, "other"},
      {"no provider id", valid, std::nullopt, std::nullopt, std::nullopt,
       {{debug, "Skipped JWT authentication. The idp_id was not found in query string or header."}},
       AuthOutcome::no_provider_id, ""},
      {"empty header value is a provider id", valid, std::nullopt, "", std::nullopt,
       {{debug, "JWT authentication - Identity Provider: \"\""}, {warn, "Unknown Identity Provider \"\"."}},
       AuthOutcome::unknown_provider, ""},
      {"unknown provider", valid, "nope", std::nullopt, std::nullopt,
       {{debug, "JWT authentication - Identity Provider: \"nope\""}, {warn, "Unknown Identity Provider \"nope\"."}},
       AuthOutcome::unknown_provider, ""},
      {"provider id differing in case", valid, "IDP", std::nullopt, std::nullopt,
       {{debug, "JWT authentication - Identity Provider: \"IDP\""}, {warn, "Unknown Identity Provider \"IDP\"."}},
       AuthOutcome::unknown_provider, ""},
      {"no authorization header", "", "idp", std::nullopt, std::nullopt, {}, AuthOutcome::no_header, ""},
      {"not a bearer header", "Basic YWJj", "idp", std::nullopt, std::nullopt, {}, AuthOutcome::bad_header, ""},
      {"no matching user", token_for({{"sub", "x"}, {"email", "carol@example.org"}}), "idp", std::nullopt,
       std::nullopt, {}, AuthOutcome::no_user, "idp"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    apps::SimpleRequest request;
    if (!c.authorization.empty()) request.header("Authorization", c.authorization);
    if (c.query) request.query("idp_id", *c.query);
    if (c.header) request.header("X-Identity-Provider-Id", *c.header);
    logging::Capture capture;
    const auto result = policy->authenticate(request);
    EXPECT_EQ(result.user_id, c.user);
    EXPECT_EQ(result.outcome, c.outcome) << outcome_name(result.outcome);
    EXPECT_EQ(result.idp_id, c.idp);
    if (!c.records.empty()) {
      EXPECT_EQ(capture.records(), c.records);
    }
    if (c.authorization.empty() || c.authorization.rfind("Basic", 0) == 0) {
      EXPECT_TRUE(capture.records().empty());
    }
  }
}

TEST_F(Authentication, FailedVerificationAndMappingWarn) {
  const auto sign = [](const std::string& payload) {
    return testing::bearer(testing::sign_hs256(kSecret, R"({"alg":"HS256","kid":"k1"})", payload));
  };
  const auto refusal_of = [](const std::string& payload) -> std::string {
    try {
      parse_json(payload);
    } catch (const JSONDecodeError& e) {
      return e.what();
    }
    return "accepted";
  };
  struct Case {
    const char* name;
    std::string authorization;
    std::string warning;
    AuthOutcome outcome;
  } cases[] = {
      {"token from another key", token_for(alice_claims(), kOtherSecret), "JWT authentication failed. ",
       AuthOutcome::token_refused},
      {"no matching user", token_for({{"sub", "x"}, {"email", "carol@example.org"}}),
       "JWT authentication failed. User not found for the token.", AuthOutcome::no_user},
      {"two matching users", token_for({{"sub", "x"}, {"email", "Twin@Example.org"}}),
       "JWT authentication failed. More than one user found for the token.", AuthOutcome::several_users},
      {"claim missing", token_for({{"sub", "x"}}), "JWT authentication failed. Missing expected claim email in JWT.",
       AuthOutcome::no_user},
      {"payload not JSON", sign("not json"), "JWT authentication failed. " + refusal_of("not json"),
       AuthOutcome::token_refused},
      // Claims are read in place: every value is validated, the last of
      // repeated members wins, and numbers have the kinds a JSON tree gives.
      {"malformed past the claim", sign(R"({"email":"alice@example.org","x":[1,]})"),
       "JWT authentication failed. " + refusal_of(R"({"email":"alice@example.org","x":[1,]})"),
       AuthOutcome::token_refused},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    host::current_thread_log_context().erase("sso_user_id");
    apps::SimpleRequest request;
    request.header("Authorization", c.authorization).query("idp_id", "idp");
    logging::Capture capture;
    const auto result = policy->authenticate(request);
    EXPECT_EQ(result.user_id, std::nullopt);
    EXPECT_EQ(result.outcome, c.outcome) << outcome_name(result.outcome);
    auto records = capture.records();
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.back().level, warn);
    EXPECT_EQ(records.back().message.rfind(c.warning, 0), 0u) << records.back().message;
    EXPECT_FALSE(host::current_thread_log_context().contains("sso_user_id"));
    EXPECT_EQ(request.session().invalidated, 0);
  }
  // Claims that are not a mapping, or a claim that is not text, are the
  // host's errors, the values named as a tree names them.
  const std::pair<std::string, std::string> host_errors[] = {
      {R"({"email":"alice@example.org","email":7})", "AttributeError: 'int' object has no attribute 'strip'"},
      {R"({"email":18446744073709551616})", "AttributeError: 'float' object has no attribute 'strip'"},
      {R"({"email":-0})", "AttributeError: 'int' object has no attribute 'strip'"},
      {R"({"email":{"a":[]}})", "AttributeError: 'dict' object has no attribute 'strip'"},
      {"[1]", "TypeError: list indices must be integers or slices, not str"},
      {"null", "TypeError: NoneType indices must be integers or slices, not str"},
  };
  for (const auto& [payload, message] : host_errors) {
    SCOPED_TRACE(payload);
    apps::SimpleRequest request;
    request.header("Authorization", sign(payload)).query("idp_id", "idp");
    try {
      policy->authenticate(request);
      ADD_FAILURE() << "no error";
    } catch (const Exception& e) {
      EXPECT_EQ(std::string(e.kind()) + ": " + e.what(), message);
    }
  }
}

TEST_F(Authentication, ProviderThatCannotVerify) {
  Json config = {{"enabled", true}};
  policy->idps->add("unready", IDPConfig(policy->users(), config, host::IniSettings{}));
  apps::SimpleRequest request;
  request.header("Authorization", token_for(alice_claims())).query("idp_id", "unready");
  logging::Capture capture;
  EXPECT_EQ(policy->authenticated_userid(request), std::nullopt);
  EXPECT_EQ(capture.records().back(), (Record{warn, "JWT authentication failed. "}));
}

TEST_F(Authentication, DisabledPolicyReadsNothing) {
  host::AuthConfiguration configuration;
  *configuration.auth_settings = {{"authentication_policies", {{"jwt", {{"enabled", false}}}}}};
  JWTAuthenticationPolicy off(host::IniSettings{}, configuration);
  apps::SimpleRequest request;
  request.header("Authorization", token_for(alice_claims())).query("idp_id", "idp");
  logging::Capture capture;
  EXPECT_EQ(off.authenticated_userid(request), std::nullopt);
  EXPECT_EQ(off.effective_principals(request), std::vector<std::string>{});
  EXPECT_TRUE(capture.records().empty());
}

// A session whose hand-over of the single sign-on id fails.
struct FailingSession : apps::MemorySession {
  void set_sso_user_id(std::string_view) override { throw std::runtime_error("session store down"); }
};
struct FailingSessionRequest : apps::SimpleRequest {
  FailingSession failing;
  apps::MemorySession& session() override { return failing; }
};

TEST_F(Authentication, SessionHandOverFailureReachesTheCaller) {
  FailingSessionRequest request;
  request.header("Authorization", token_for(alice_claims())).query("idp_id", "idp");
  EXPECT_THROW(policy->authenticated_userid(request), std::runtime_error);
  EXPECT_EQ(request.failing.invalidated, 1);  // the HTML step ran first
  EXPECT_TRUE(request.has_attribute("cvn_cookie_updated"));
}

TEST_F(Authentication, PrincipalsAndFixedAnswers) {
  apps::SimpleRequest request;
  request.header("Authorization", token_for(alice_claims())).query("idp_id", "idp");
  EXPECT_EQ(policy->effective_principals(request),
            (std::vector<std::string>{host::Everyone, host::Authenticated, "alice", "group:corvane_users"}));
  apps::SimpleRequest anonymous;
  EXPECT_TRUE(policy->effective_principals(anonymous).empty());
  EXPECT_EQ(policy->unauthenticated_userid(request), std::nullopt);
  EXPECT_TRUE(policy->remember(request, "alice", {{"max_age", 10}}).empty());
  EXPECT_TRUE(policy->forget(request).empty());
}

TEST_F(Authentication, EmptyUserIdIsStillAUser) {
  auto users = std::make_shared<Users>();
  users->add("", {{"email", "nobody@example.org"}});
  IDPConfig idp = *policy->idps->find("idp");
  idp.users = users;
  policy->idps->add("empty-id", std::move(idp));
  apps::SimpleRequest request;
  request.header("Authorization", token_for({{"sub", "n"}, {"email", "nobody@example.org"}}))
      .query("idp_id", "empty-id")
      .format("json");
  EXPECT_EQ(policy->effective_principals(request),
            (std::vector<std::string>{host::Everyone, host::Authenticated, "", "group:corvane_users"}));
}

// The HTML session login happens once per request object.
TEST_F(Authentication, HtmlSessionOncePerRequest) {
  apps::SimpleRequest html;
  html.header("Authorization", token_for(alice_claims())).query("idp_id", "idp").format("html");
  EXPECT_EQ(policy->authenticated_userid(html), "alice");
  EXPECT_EQ(policy->effective_principals(html).size(), 4u);
  EXPECT_EQ(html.session().invalidated, 1);
  EXPECT_EQ(html.session().remembered, "alice");
  EXPECT_EQ(html.attributes()["cvn_cookie_updated"], true);

  apps::SimpleRequest json;
  json.header("Authorization", token_for(alice_claims())).query("idp_id", "idp").format("json");
  EXPECT_EQ(policy->authenticated_userid(json), "alice");
  EXPECT_EQ(json.session().invalidated, 0);
  EXPECT_FALSE(json.has_attribute("cvn_cookie_updated"));

  apps::SimpleRequest marked;
  marked.header("Authorization", token_for(alice_claims())).query("idp_id", "idp").format("html");
  marked.set_attribute("cvn_cookie_updated", false);
  EXPECT_EQ(policy->authenticated_userid(marked), "alice");
  EXPECT_EQ(marked.session().invalidated, 0);
}

struct FormatsRequest : apps::SimpleRequest {
  std::vector<std::string> formats;
  std::optional<std::string_view> first_data_format(const Json&) const override {
    if (formats.empty()) return std::nullopt;
    return formats.front();
  }
};

TEST_F(Authentication, RequestedFormatSequence) {
  FormatsRequest empty;
  empty.header("Authorization", token_for(alice_claims())).query("idp_id", "idp");
  EXPECT_THROW(policy->authenticated_userid(empty), ValueError);  // escapes: raised after the guarded block
  EXPECT_EQ(empty.session().invalidated, 0);

  FormatsRequest several;
  several.formats = {"html", "json"};
  several.header("Authorization", token_for(alice_claims())).query("idp_id", "idp");
  EXPECT_EQ(policy->authenticated_userid(several), "alice");
  EXPECT_EQ(several.session().invalidated, 1);

  FormatsRequest json_first;
  json_first.formats = {"json", "html"};
  json_first.header("Authorization", token_for(alice_claims())).query("idp_id", "idp");
  EXPECT_EQ(policy->authenticated_userid(json_first), "alice");
  EXPECT_EQ(json_first.session().invalidated, 0);
}

// Users whose walk first authenticates another request on the same thread,
// as a host's users may (a directory behind an authenticated service, say).
struct ReentrantUsers : host::UserDirectory {
  std::shared_ptr<Users> users = std::make_shared<Users>();
  const JWTAuthenticationPolicy* policy = nullptr;
  std::string inner_authorization;
  mutable std::optional<jwt::Authentication> inner;
  mutable bool entered = false;
  host::UserMatch match(const Json& name, std::string_view form) const override {
    if (!entered) {
      entered = true;
      apps::SimpleRequest request;
      request.header("Authorization", inner_authorization).query("idp_id", "idp").format("json");
      inner = policy->authenticate(request);
    }
    return users->match(name, form);
  }
};

// Host code the policy calls may authenticate a second, longer token on the
// same thread: the outer request keeps its own user, single sign-on id and
// log context.
TEST_F(Authentication, ReentrantAuthenticationKeepsTheOuterToken) {
  auto directory = std::make_shared<ReentrantUsers>();
  directory->users->add("alice", {{"email", "alice@example.org"}});
  directory->users->add("carol", {{"email", "carol.with-a-much-longer-address@example.org"}});
  host::AuthConfiguration configuration = testing::jwt_configuration(
      {{"idp", testing::email_provider(dir.path() + "/jwks.json")}});
  configuration.users = directory;
  const JWTAuthenticationPolicy reentrant(host::IniSettings{}, configuration);
  directory->policy = &reentrant;
  directory->inner_authorization =
      token_for({{"sub", "carol-sso-" + std::string(40, 'c')}, {"email", "carol.with-a-much-longer-address@example.org"},
                 {"name", std::string(300, 'x')}});

  host::current_thread_log_context().erase("sso_user_id");
  apps::SimpleRequest request;
  request.header("Authorization", token_for(alice_claims())).query("idp_id", "idp").format("json");
  const auto result = reentrant.authenticate(request);
  ASSERT_TRUE(directory->inner);
  EXPECT_EQ(directory->inner->user_id, "carol");
  EXPECT_EQ(result.outcome, AuthOutcome::authenticated) << outcome_name(result.outcome);
  EXPECT_EQ(result.user_id, "alice");
  EXPECT_EQ(result.sso_user_id, "alice-sso");
  EXPECT_EQ(host::current_thread_log_context()["sso_user_id"], "alice-sso");
  EXPECT_EQ(request.session().sso_user_id, "alice-sso");
}

// A host whose clock the test sets, counting the long steps it runs (where
// a host with an interpreter lock lets other threads run).
struct ClockHost : host::Host {
  std::chrono::system_clock::time_point at = std::chrono::system_clock::now();
  mutable int long_steps = 0;
  std::chrono::system_clock::time_point now() const override { return at; }
  void detached(function_ref<void()> work) const override {
    ++long_steps;
    work();
  }
};

// All that one authentication leaves behind, for comparing a cached answer
// with a first sight's.
struct Observed {
  std::optional<std::string> user_id;
  AuthOutcome outcome;
  std::string idp_id;
  std::optional<std::string> sso_user_id;
  std::vector<Record> records;
  Json log_context;
  std::optional<std::string> session_sso;
  std::optional<std::string> remembered;
  int invalidated;
  bool operator==(const Observed&) const = default;
};

Observed observe(const JWTAuthenticationPolicy& policy, const std::string& authorization, const std::string& idp,
                 const std::string& format = "html") {
  host::current_thread_log_context().erase("sso_user_id");
  apps::SimpleRequest request;
  request.header("Authorization", authorization).query("idp_id", idp).format(format);
  logging::Capture capture;
  const auto result = policy.authenticate(request);
  return {result.user_id,
          result.outcome,
          result.idp_id,
          result.sso_user_id,
          capture.records(),
          host::current_thread_log_context(),
          request.session().sso_user_id,
          request.session().remembered,
          request.session().invalidated};
}

// The token cache: a remembered token is answered as its first sight was,
// for every algorithm, until its time window closes; tokens that do not
// verify for the provider asked are never answered from it. Only a public
// key's signature check on a miss is run as a long step: a hit and an HMAC
// check are shorter than handing a host's lock over.
TEST(TokenCache, HitsAnswerAsFirstSightsDo) {
  using std::chrono::seconds;
  testing::TempDir dir;
  std::vector<testing::TestKey> keys;
  std::vector<std::string> kids;  // the algorithm, or the curve for Ed448
  Json set = Json::array();
  for (const char* alg : {"HS256", "HS384", "HS512", "RS256", "RS384", "RS512", "PS256", "PS384", "PS512", "ES256",
                          "ES384", "ES512", "ES256K", "EdDSA", "Ed448"}) {
    keys.emplace_back(alg);
    kids.push_back(alg);
    set.push_back(keys.back().public_jwk(alg));
  }
  const testing::TestKey stranger("HS256");  // the other provider's key, under the same kid
  const testing::TestKey rsa_stranger("RS256");  // signs a forged RS256 token
  const Json providers = {
      {"idp", testing::email_provider(dir.write("jwks.json", Json{{"keys", set}}.dump()))},
      {"other", testing::email_provider(dir.write("other.json", Json{{"keys", {stranger.public_jwk("HS256")}}}.dump()))}};
  auto users = std::make_shared<Users>();
  users->add("alice", {{"email", "Alice@Example.org"}});
  auto clock = std::make_shared<ClockHost>();
  host::AuthConfiguration configuration = testing::jwt_configuration(providers, users);
  configuration.host = clock;
  const JWTAuthenticationPolicy cached(host::IniSettings{}, configuration);
  ASSERT_TRUE(cached.token_cache);
  const JWTAuthenticationPolicy uncached(host::IniSettings{{"jwt_cvn.token_cache_entries", "0"}}, configuration);
  ASSERT_FALSE(uncached.token_cache);

  const auto t0 = clock->at;
  const double start = std::chrono::duration<double>(t0.time_since_epoch()).count();
  const auto claims = [&](Json extra) {
    Json out = {{"sub", " Alice-SSO "}, {"email", "alice@EXAMPLE.org"}, {"exp", start + 600}};
    if (extra.is_object()) out.update(extra);
    return out;
  };
  struct Case {
    std::string name;
    std::string first;   // the token remembered at t0
    std::string second;  // then asked for...
    std::string idp;     // ...of this provider...
    seconds later;       // ...this long after t0
    bool hit;
    AuthOutcome outcome;
    bool public_key = false;  // the second token's check is a long step
  };
  std::vector<Case> cases;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const std::string token = testing::bearer(keys[i].token(claims({}), kids[i]));
    cases.push_back({"repeated " + kids[i], token, token, "idp", seconds(0), true, AuthOutcome::authenticated,
                     kids[i].rfind("HS", 0) != 0});
  }
  const std::string short_lived = testing::bearer(keys[0].token(claims({{"exp", start + 100}}), "HS256"));
  const std::string early = testing::bearer(keys[0].token(claims({{"nbf", start + 30}}), "HS256"));
  const std::string compact = keys[0].token(claims({}), "HS256");
  const std::string forged = compact.substr(0, compact.rfind('.') + 1) +
                             stranger.token(claims({}), "HS256").substr(compact.rfind('.') + 1);
  cases.push_back({"within exp + leeway", short_lived, short_lived, "idp", seconds(160), true,
                   AuthOutcome::authenticated});
  cases.push_back({"past exp + leeway", short_lived, short_lived, "idp", seconds(161), false,
                   AuthOutcome::token_refused});
  cases.push_back({"before nbf - leeway", early, early, "idp", seconds(-31), false, AuthOutcome::token_refused});
  cases.push_back({"forged, same claims", testing::bearer(compact), testing::bearer(forged), "idp", seconds(0), false,
                   AuthOutcome::token_refused});
  cases.push_back({"another provider's token", testing::bearer(compact), testing::bearer(compact), "other",
                   seconds(0), false, AuthOutcome::token_refused});
  const std::string rsa = keys[3].token(claims({}), "RS256");
  const std::string rsa_forged =
      rsa.substr(0, rsa.rfind('.') + 1) + rsa_stranger.token(claims({}), "RS256").substr(rsa.rfind('.') + 1);
  cases.push_back({"forged RS256, same claims", testing::bearer(rsa), testing::bearer(rsa_forged), "idp", seconds(0),
                   false, AuthOutcome::token_refused, true});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    clock->at = t0;
    const Observed first = observe(cached, c.first, "idp");
    EXPECT_EQ(first, observe(uncached, c.first, "idp"));
    EXPECT_EQ(first.outcome, AuthOutcome::authenticated);
    clock->at = t0 + c.later;
    const std::uint64_t hits = cached.token_cache->hits();
    int steps = clock->long_steps;
    const Observed second = observe(cached, c.second, c.idp);
    EXPECT_EQ(cached.token_cache->hits() - hits, c.hit ? 1u : 0u);
    EXPECT_EQ(clock->long_steps - steps, c.public_key && !c.hit ? 1 : 0);
    EXPECT_EQ(second.outcome, c.outcome) << outcome_name(second.outcome);
    steps = clock->long_steps;
    EXPECT_EQ(second, observe(uncached, c.second, c.idp));
    EXPECT_EQ(clock->long_steps - steps, c.public_key ? 1 : 0);
    if (c.first == c.second && !c.hit) {  // a closed window drops the entry
      const std::uint64_t misses = cached.token_cache->misses();
      observe(cached, c.second, c.idp);
      EXPECT_EQ(cached.token_cache->misses() - misses, 1u);
    }
  }
  // A reloaded configuration is a new policy, which starts with nothing.
  const JWTAuthenticationPolicy reloaded(host::IniSettings{}, configuration);
  EXPECT_EQ(reloaded.token_cache->size(), 0u);
  EXPECT_GT(cached.token_cache->size(), 0u);
  observe(reloaded, cases.front().first, "idp");
  EXPECT_EQ(reloaded.token_cache->hits(), 0u);
  EXPECT_EQ(reloaded.token_cache->misses(), 1u);
}

TEST(TokenCache, Settings) {
  testing::TempDir dir;
  const host::AuthConfiguration configuration = testing::jwt_configuration(
      {{"idp", testing::email_provider(dir.write("jwks.json", Json{{"keys", {testing::oct_jwk(kSecret, "k1")}}}.dump()))}});
  struct Case {
    host::IniSettings settings;
    std::optional<TokenCache::Limits> limits;  // nullopt: turned off
    bool throws = false;  // the value is unreadable
  } cases[] = {
      {{}, TokenCache::kDefaults},
      {{{"jwt_cvn.token_cache_entries", " 12 "}, {"jwt_cvn.token_cache_max_token_bytes", "900"}},
       TokenCache::Limits{12, 900}},
      {{{"jwt_cvn.token_cache_entries", "0"}}, std::nullopt},
      {{{"jwt_cvn.token_cache_max_token_bytes", "0"}}, std::nullopt},
      {{{"jwt_cvn.token_cache_entries", "many"}}, std::nullopt, true},
      {{{"jwt_cvn.token_cache_max_token_bytes", "-1"}}, std::nullopt, true},
  };
  for (const auto& c : cases) {
    logging::Capture capture;
    const JWTAuthenticationPolicy policy(c.settings, configuration);
    ASSERT_EQ(bool(policy.token_cache), bool(c.limits));
    // An unreadable value turns the cache off with a warning; the policy works.
    EXPECT_EQ(capture.records().front().level == warn, c.throws);
    if (c.throws) {
      EXPECT_EQ(capture.records().front().message.rfind(
                    "The token cache was turned off due to invalid configuration in JWT authentication policy. ", 0),
                0u);
    }
    EXPECT_EQ(policy.idps->size(), 1u);
    if (c.limits) {
      EXPECT_EQ(policy.token_cache->limits().entries, c.limits->entries);
      EXPECT_EQ(policy.token_cache->limits().max_token_bytes, c.limits->max_token_bytes);
    }
  }
  // A token over the size limit takes the full path every time.
  const JWTAuthenticationPolicy small(host::IniSettings{{"jwt_cvn.token_cache_max_token_bytes", "20"}}, configuration);
  const std::string token = testing::bearer(testing::mint_hs256(kSecret, "k1", {{"sub", "a"}, {"email", "x@y.z"}}));
  for (int i = 0; i < 2; ++i) observe(small, token, "idp");
  EXPECT_EQ(small.token_cache->hits(), 0u);
  EXPECT_EQ(small.token_cache->size(), 0u);
}

TEST_F(Authentication, ConcurrentRequestsMatchASingleThread) {
  struct Job {
    std::string authorization;
    std::string idp;
    std::optional<std::string> user;
    std::string sso;
  };
  std::vector<Job> jobs;
  for (int i = 0; i < 16; ++i) {
    jobs.push_back({token_for({{"sub", "a" + std::to_string(i)}, {"email", "alice@example.org"}}), "idp", "alice",
                    "a" + std::to_string(i)});
    jobs.push_back({token_for({{"sub", "b"}, {"email", "bob@example.org"}}), "other", "bob", "b"});
    jobs.push_back({token_for(alice_claims(), kOtherSecret), "idp", std::nullopt, ""});
    jobs.push_back({token_for({{"sub", "t"}, {"email", "twin@example.org"}}), "idp", std::nullopt, ""});
    jobs.push_back({"Bearer !!", "idp", std::nullopt, ""});
  }
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 20; ++round) {
        for (std::size_t i = t; i < jobs.size(); i += 3) {
          host::current_thread_log_context().erase("sso_user_id");
          apps::SimpleRequest request;
          request.header("Authorization", jobs[i].authorization).query("idp_id", jobs[i].idp).format("json");
          if (policy->authenticated_userid(request) != jobs[i].user) ++wrong;
          auto& context = host::current_thread_log_context();
          if (jobs[i].user && context.value("sso_user_id", "?") != jobs[i].sso) ++wrong;
          if (!jobs[i].user && context.contains("sso_user_id")) ++wrong;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace corvane::auth::jwt
