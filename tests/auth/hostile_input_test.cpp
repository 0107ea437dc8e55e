// Hostile headers and tokens end in a null user id, with no records beyond
// the debug and warning records a failed request may write, each one short
// line without control characters, and no error escaping to the host.
#include <gtest/gtest.h>

#include "cli/recording_request.hpp"
#include "corvane/auth/jwt/jwt.hpp"
#include "corvane/users/users.hpp"
#include "corvane/util/base64.hpp"
#include "corvane/util/logging.hpp"
#include "support/http_server.hpp"
#include "support/mint.hpp"
#include "support/policy_fixture.hpp"

namespace corvane::auth::jwt {
namespace {

const std::string kSecret = "hostile-input suite secret of 32+ bytes";
// RSA public key of RFC 7515 A.2, used by the key-confusion cases.
const Json kRsaKey = Json::parse(R"({"kty":"RSA","kid":"rsa",
 "n":"ofgWCuLjybRlzo0tZWJjNiuSfb4p4fAkd_wWJcyQoTbji9k0l8W26mPddxHmfHQp-Vaw-4qPCJrcS2mJPMEzP1Pt0Bm4d4QlL-yRT-SFd2lZS-pCgNMsD1W_YpRPEwOWvG6b32690r2jZ47soMZo9wGzjb_7OMg0LOL-bSf63kpaSHSXndS5z5rexMdbBYUsLA9e-KXBdQOS-UTo7WTBEMa2R2CapHg665xsmtdVMTBQY4uDZlxvb3qCo5ZwKh9kG4LT6_I5IhlJH7aGhyxXFvUK-DWNmoudF8NAco9_h9iaGNj8q2ethFkMLs91kzk2PAcDTW9gb54h4FRWyuXpoQ",
 "e":"AQAB"})");

class HostileInput : public ::testing::Test {
 protected:
  void SetUp() override {
    Json keys = {testing::oct_jwk(kSecret, "k1"), kRsaKey};
    std::string jwks = dir.write("jwks.json", Json{{"keys", keys}}.dump());
    host::AuthConfiguration configuration = testing::jwt_configuration({{"idp", testing::email_provider(jwks)}});
    auto users = std::make_shared<Users>();
    users->add("alice", {{"email", "alice@example.org"}});
    configuration.users = users;
    policy = std::make_unique<JWTAuthenticationPolicy>(host::IniSettings{}, configuration);
  }

  // Whether a record could pass for more than one line, or drive a terminal.
  static bool has_control(const std::string& text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
      const auto c = static_cast<unsigned char>(text[i]);
      if (c < 0x20 || c == 0x7f) return true;
      if (c == 0xc2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) < 0xa0) return true;  // C1
    }
    return false;
  }

  // Authenticates `authorization`; checks nothing escapes and only allowed records appear.
  std::optional<std::string> attempt(const std::string& authorization, const std::string& idp = "idp") {
    apps::SimpleRequest request;
    request.header("Authorization", authorization).query("idp_id", idp).format("json");
    logging::Capture capture;
    std::optional<std::string> user;
    EXPECT_NO_THROW(user = policy->authenticated_userid(request));
    for (const auto& record : capture.records()) {
      EXPECT_TRUE(record.level == spdlog::level::debug || record.level == spdlog::level::warn) << record.message;
      EXPECT_FALSE(has_control(record.message)) << record.message;
      if (record.level == spdlog::level::warn) {
        EXPECT_LE(record.message.size(), 1024u) << record.message.substr(0, 80);
      }
    }
    EXPECT_LE(capture.records().size(), 4u);
    return user;
  }

  static std::string signed_token(const std::string& header, const std::string& payload,
                                  const std::string& secret = kSecret) {
    return testing::bearer(testing::sign_hs256(secret, header, payload));
  }

  testing::TempDir dir;
  std::unique_ptr<JWTAuthenticationPolicy> policy;
};

const std::string kHs = R"({"alg":"HS256","kid":"k1"})";
const std::string kAlice = R"({"sub":"a","email":"alice@example.org"})";

TEST_F(HostileInput, TheControlCaseAuthenticates) { EXPECT_EQ(attempt(signed_token(kHs, kAlice)), "alice"); }

TEST_F(HostileInput, ForgedAndConfusedTokens) {
  const std::string none_token = base64url_encode(R"({"alg":"none"})") + "." + base64url_encode(kAlice) + ".";
  // The RSA key's modulus bytes and its JWK text used as an HMAC secret.
  std::string modulus;
  ASSERT_TRUE(base64url_decode(kRsaKey["n"].get<std::string>(), modulus));
  const std::string cases[] = {
      testing::bearer(none_token),
      testing::bearer(base64url_encode(R"({"alg":"none","kid":"k1"})") + "." + base64url_encode(kAlice) + "."),
      signed_token(R"({"alg":"HS256","kid":"rsa"})", kAlice, modulus),
      signed_token(R"({"alg":"HS256","kid":"rsa"})", kAlice, kRsaKey.dump()),
      signed_token(R"({"alg":"HS256"})", kAlice, modulus),
      signed_token(R"({"alg":"HS256","kid":"../../../../dev/null"})", kAlice, ""),
      signed_token(R"({"alg":"HS256","kid":"k1","jwk":{"kty":"oct","k":"YXR0YWNrZXI"}})", kAlice, "attacker"),
      signed_token(R"({"alg":"HS256","jku":"http://127.0.0.1:1/jwks"})", kAlice, "attacker"),
      signed_token(R"({"alg":"HS256","kid":"k1","crit":["exp"],"exp":1})", kAlice),
      signed_token(R"({"alg":"HS256","kid":"k1","crit":[]})", kAlice),
      signed_token(R"({"alg":"HS512","kid":"k1"})", kAlice),  // signed as HS256
      signed_token(R"({"alg":"hs256","kid":"k1"})", kAlice),
      signed_token(R"({"alg":"RS256","kid":"k1"})", kAlice),
      signed_token(R"({"alg":"HS256","kid":5})", kAlice),
      signed_token(R"({"alg":["HS256"],"kid":"k1"})", kAlice),
      signed_token(R"(["HS256"])", kAlice),
      testing::bearer("a.b.c.d.e"),
      testing::bearer("a.b"),
      testing::bearer(".."),
      testing::bearer(testing::sign_hs256(kSecret, kHs, kAlice) + "."),
      testing::bearer(testing::sign_hs256(kSecret, kHs, kAlice) + "="),
      // Values meant to forge log lines or drive the terminal that shows them.
      signed_token(R"({"alg":"HS256","kid":"k9\n2099-01-01T00:00:00.000 corvane.host error forged"})", kAlice),
      signed_token(R"({"alg":"HS256","kid":"\u001b[2J\u001b]0;owned\u0007"})", kAlice),
      signed_token(R"({"alg":"HS256\r\nforged","kid":"k1"})", kAlice),
      signed_token(R"({"alg":"HS256","kid":"k1","crit":["x\n\u0085\u2028forged"]})", kAlice),
      signed_token(R"({"alg":"HS256","kid":")" + std::string(5000, 'k') + "\"}", kAlice),
      signed_token(R"({"alg":")" + std::string(5000, 'a') + "\"}", kAlice),
      signed_token(R"({"alg":"HS256","kid":"k1","x":")" + std::string(5000, 'x') + "\n", kAlice),
  };
  for (const auto& authorization : cases) {
    SCOPED_TRACE(authorization);
    EXPECT_EQ(attempt(authorization), std::nullopt);
  }
}

TEST_F(HostileInput, ClaimsThatMustNotPass) {
  const std::string now = std::to_string(std::time(nullptr));
  const std::string cases[] = {
      R"({"sub":"a","email":"alice@example.org","exp":1})",
      R"({"sub":"a","email":"alice@example.org","exp":")" + now + R"("})",
      R"({"sub":"a","email":"alice@example.org","exp":-1e308})",
      R"({"sub":"a","email":"alice@example.org","nbf":1e308})",
      R"({"sub":"a","email":"alice@example.org","nbf":)" + std::to_string(std::time(nullptr) + 3600) + "}",
      R"({"sub":"a","email":"alice@example.org","iat":"yesterday"})",
      R"({"sub":"a","email":"alice@example.org","aud":[1]})",
      R"({"sub":5,"email":"alice@example.org","iss":{}})",
      R"({"sub":"a","email":"bob@example.org","email":"alice@example.org","email":"carol@example.org"})",
      "{\"sub\":\"a\",\"email\":\"alice@example.org\xff\"}",
      std::string(100000, '[') + std::string(100000, ']'),
      R"({"sub":"a","email":)" + std::string(2000, '[') + "\"alice@example.org\"" + std::string(2000, ']') + "}",
  };
  for (const auto& payload : cases) {
    SCOPED_TRACE(payload.substr(0, 120));
    EXPECT_EQ(attempt(signed_token(kHs, payload)), std::nullopt);
  }
  // Far-future expiry and duplicate members whose last value is the right one still pass.
  EXPECT_EQ(attempt(signed_token(kHs, R"({"sub":"a","email":"alice@example.org","exp":1e300})")), "alice");
  EXPECT_EQ(attempt(signed_token(kHs, R"({"sub":"a","email":"bob@example.org","email":"alice@example.org"})")),
            "alice");
}

TEST_F(HostileInput, OversizedAndMalformedHeaders) {
  const std::string big_claim(1 << 20, 'x');
  const std::string cases[] = {
      "Bearer " + std::string(1 << 20, 'A'),
      signed_token(kHs, R"({"sub":"a","email":"alice@example.org","pad":")" + big_claim + "\"}"),
      signed_token(R"({"alg":"HS256","kid":"k1","pad":")" + big_claim + "\"}", kAlice),
      signed_token(std::string(5000, '{'), kAlice),
      "Bearer " + std::string(1 << 20, '='),
      std::string(1 << 20, 'B'),
      "Bearer \xff\xfe",
      std::string("Bearer YWJj\0YWJj", 16),
  };
  for (const auto& authorization : cases) {
    SCOPED_TRACE(authorization.substr(0, 60));
    EXPECT_EQ(attempt(authorization), std::nullopt);
  }
  // The provider id through the header, at the default level; a printable
  // one is written exactly as it is.
  const auto header_warnings = [&](const std::string& idp) {
    apps::SimpleRequest request;
    request.header("Authorization", signed_token(kHs, kAlice)).header("X-Identity-Provider-Id", idp).format("json");
    logging::Capture capture(spdlog::level::warn);
    EXPECT_EQ(policy->authenticated_userid(request), std::nullopt);
    return capture.messages();
  };
  const std::string ids[] = {std::string(1 << 16, 'i'), "\xff\xfe", std::string("idp\0", 4), "idp\n",
                             "x\n2099-01-01T00:00:00.000 corvane.host error forged\r\n", "\x1b[31mred\x7f\xc2\x9b"};
  for (const auto& idp : ids) {
    EXPECT_EQ(attempt(signed_token(kHs, kAlice), idp), std::nullopt);
    const auto warnings = header_warnings(idp);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_FALSE(has_control(warnings[0])) << warnings[0];
    EXPECT_LE(warnings[0].size(), 1024u);
  }
  const std::pair<std::string, std::string> written[] = {
      {"other idp \\n", "other idp \\n"},
      {"j\xc3\xb6rg \xe2\x82\xac", "j\xc3\xb6rg \xe2\x82\xac"},  // UTF-8 stays as it is
      {"a\nb\r\t\x1b\x7f\xc2\x85\xe2\x80\xa8\xff", "a\\nb\\r\\t\\x1b\\x7f\\u0085\\u2028\\xff"},
      {std::string(300, 'i'), std::string(256, 'i') + "...[+44 bytes]"},
  };
  for (const auto& [idp, text] : written) {
    EXPECT_EQ(header_warnings(idp), std::vector<std::string>{"Unknown Identity Provider \"" + text + "\"."});
  }
}

}  // namespace
}  // namespace corvane::auth::jwt
