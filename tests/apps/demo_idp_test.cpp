#include "demo_idp/demo_idp.hpp"

#include <gtest/gtest.h>
#include <httplib.h>

#include "common/app_errors.hpp"
#include "common/oauth_crypto.hpp"
#include "corvane/util/base64.hpp"
#include "demo_idp/jwk_tools.hpp"
#include "site_fixture.hpp"

namespace corvane::apps {
namespace {

constexpr const char* kRedirect = "http://127.0.0.1:9/callback";

DemoIdpOptions options(std::chrono::seconds code_lifetime = std::chrono::seconds(60)) {
  DemoIdpOptions o;
  o.private_jwk = generate_private_jwk(Alg::ES256, "idp-1");
  o.users = testing::default_users();
  o.client_id = "app-1";
  o.client_secret = "s3cret";
  o.redirect_uris = {kRedirect};
  o.code_lifetime = code_lifetime;
  return o;
}

struct Running {
  explicit Running(DemoIdpOptions o) : idp(std::move(o)), client("127.0.0.1", idp.start()) {}
  ~Running() { idp.stop(); }
  std::string authorization_query(const std::string& verifier) const {
    return "client_id=app-1&redirect_uri=" + std::string("http%3A%2F%2F127.0.0.1%3A9%2Fcallback") +
           "&response_type=code&scope=openid&state=s1&nonce=n1&code_challenge_method=S256"
           "&code_challenge=" + s256_challenge(verifier) + "&user=alice";
  }
  // A code for alice bound to the challenge of `verifier`.
  std::string code(const std::string& verifier) {
    auto answer = client.Get(("/approve?" + authorization_query(verifier)).c_str());
    const std::string location = answer ? answer->get_header_value("Location") : "";
    const auto at = location.find("code=");
    return at == std::string::npos ? "" : location.substr(at + 5, location.find('&', at) - at - 5);
  }
  // The exchange with the client's credentials in "Authorization: Basic"
  // (each part form-encoded first), `form_secret` added to the form when given.
  httplib::Result basic_exchange(const std::string& code, const std::string& verifier, const std::string& credentials,
                                 const std::string& form_secret = "") {
    httplib::Params form{{"grant_type", "authorization_code"}, {"code", code}, {"redirect_uri", kRedirect},
                         {"code_verifier", verifier}};
    if (!form_secret.empty()) form.emplace("client_secret", form_secret);
    return client.Post("/token", {{"Authorization", "Basic " + base64_encode(credentials)}}, form);
  }
  httplib::Result exchange(const std::string& code, const std::string& verifier, const std::string& secret = "s3cret",
                           const std::string& redirect = kRedirect) {
    return client.Post("/token", httplib::Params{{"grant_type", "authorization_code"}, {"code", code},
                                                 {"client_id", "app-1"}, {"client_secret", secret},
                                                 {"redirect_uri", redirect}, {"code_verifier", verifier}});
  }
  DemoIdp idp;
  httplib::Client client;
};

TEST(DemoIdp, CodesAreSingleUseAndBoundToTheirChallenge) {
  Running running(options());
  const std::string verifier(43, 'v');

  const std::string code = running.code(verifier);
  ASSERT_FALSE(code.empty());
  auto good = running.exchange(code, verifier);
  ASSERT_TRUE(good);
  ASSERT_EQ(good->status, 200) << good->body;
  const std::string token = Json::parse(good->body)["id_token"];
  std::string payload;
  ASSERT_TRUE(base64url_decode(token.substr(token.find('.') + 1, token.rfind('.') - token.find('.') - 1), payload));
  const Json claims = Json::parse(payload);
  EXPECT_EQ(claims["aud"], "app-1");
  EXPECT_EQ(claims["nonce"], "n1");
  EXPECT_EQ(claims["sub"], "alice");
  EXPECT_EQ(claims["iss"], running.idp.issuer());
  // As standard providers do: the users' claims only at UserInfo, for the access token.
  EXPECT_FALSE(claims.contains("email"));
  const std::string access_token = Json::parse(good->body)["access_token"];
  auto info = running.client.Get("/userinfo", {{"Authorization", "Bearer " + access_token}});
  ASSERT_TRUE(info);
  EXPECT_EQ(info->status, 200);
  EXPECT_EQ(Json::parse(info->body)["sub"], "alice");
  EXPECT_EQ(Json::parse(info->body)["email"], "alice@example.org");
  EXPECT_EQ(running.client.Get("/userinfo", {{"Authorization", "Bearer x" + access_token}})->status, 401);
  const Json discovery = Json::parse(running.client.Get("/.well-known/openid-configuration")->body);
  EXPECT_EQ(discovery["userinfo_endpoint"], running.idp.issuer() + "/userinfo");
  EXPECT_EQ(discovery["authorization_response_iss_parameter_supported"], true);
  EXPECT_EQ(discovery["token_endpoint_auth_methods_supported"][0], "client_secret_basic");
  EXPECT_NE(discovery["claims_supported"].dump().find("\"email\""), std::string::npos);
  // It names itself in its answer (RFC 9207).
  const std::string answer = running.client.Get(("/approve?" + running.authorization_query(verifier)).c_str())
                                 ->get_header_value("Location");
  EXPECT_NE(answer.find("&iss=" + running.idp.issuer()), std::string::npos) << answer;  // (httplib unescapes it)
  // With the option, the claims are in the ID token too.
  DemoIdpOptions inline_claims = options();
  inline_claims.claims_in_id_token = true;
  Running generous(std::move(inline_claims));
  const std::string generous_token = Json::parse(generous.exchange(generous.code(verifier), verifier)->body)["id_token"];
  ASSERT_TRUE(base64url_decode(generous_token.substr(generous_token.find('.') + 1,
                                                     generous_token.rfind('.') - generous_token.find('.') - 1),
                               payload));
  EXPECT_EQ(Json::parse(payload)["email"], "alice@example.org");

  struct Case {
    const char* name;
    std::function<httplib::Result()> request;
    int status;
    const char* error;
  } cases[] = {
      {"replayed code", [&] { return running.exchange(code, verifier); }, 400, "invalid_grant"},
      {"wrong verifier", [&] { return running.exchange(running.code(verifier), std::string(43, 'w')); }, 400,
       "invalid_grant"},
      {"other redirect address",
       [&] { return running.exchange(running.code(verifier), verifier, "s3cret", "http://x/"); }, 400,
       "invalid_grant"},
      {"wrong client secret", [&] { return running.exchange(running.code(verifier), verifier, "guess"); }, 401,
       "invalid_client"},
      {"client_secret_basic", [&] { return running.basic_exchange(running.code(verifier), verifier, "app-1:s3cret"); },
       200, "id_token"},
      {"client_secret_basic, wrong secret",
       [&] { return running.basic_exchange(running.code(verifier), verifier, "app-1:guess"); }, 401, "invalid_client"},
      {"client_secret_basic and a form secret",
       [&] { return running.basic_exchange(running.code(verifier), verifier, "app-1:s3cret", "s3cret"); }, 400,
       "invalid_request"},
      {"body over 8 KiB", [&] { return running.client.Post("/token", std::string(9000, 'a'), "text/plain"); }, 413,
       "Content Too Large"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto answer = c.request();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, c.status);
    EXPECT_NE(answer->body.find(c.error), std::string::npos) << answer->body;
  }

  // An unregistered return address is never redirected to; a registered
  // loopback one on another port is.
  for (const char* address : {"http%3A%2F%2Fevil.example%2Fcallback", "http%3A%2F%2F127.0.0.1%3A9%2Fother",
                              "http%3A%2F%2F127.0.0.1%3A9%40evil.example%2Fcallback",
                              "https%3A%2F%2F127.0.0.1%3A9%2Fcallback", "http%3A%2F%2F127.0.0.1%3A8080%2Fcallback"}) {
    SCOPED_TRACE(address);
    auto answer = running.client.Get(("/authorize?client_id=app-1&response_type=code&scope=openid&redirect_uri=" +
                                      std::string(address) + "&code_challenge_method=S256&code_challenge=" +
                                      s256_challenge(verifier)).c_str());
    const bool registered = std::string(address).find("8080") != std::string::npos;
    EXPECT_EQ(answer->status, registered ? 200 : 400);
    EXPECT_FALSE(answer->has_header("Location"));
  }

  Running expiring(options(std::chrono::seconds(0)));
  auto expired = expiring.exchange(expiring.code(verifier), verifier);
  EXPECT_EQ(expired->status, 400);
  EXPECT_NE(expired->body.find("expired"), std::string::npos);

  // Only addresses that resolve to loopback ones: the text is not enough.
  for (const char* host : {"0.0.0.0", "127.example", "::", "10.0.0.1"}) {
    SCOPED_TRACE(host);
    DemoIdpOptions exposed = options();
    exposed.host = host;
    EXPECT_THROW(DemoIdp{exposed}, ConfigError);
  }
  for (const char* host : {"127.0.0.2", "::1", "localhost"}) {
    SCOPED_TRACE(host);
    DemoIdpOptions local = options();
    local.host = host;
    EXPECT_NO_THROW(DemoIdp{local});
  }
}

}  // namespace
}  // namespace corvane::apps
