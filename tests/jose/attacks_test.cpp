// Forged, confused and malformed tokens; each default of the verifier has a
// case that passes only while the default holds.
#include <gtest/gtest.h>

#include "corvane/jose/jwt.hpp"
#include "corvane/util/base64.hpp"
#include "corvane/util/errors.hpp"
#include "support/jose_signer.hpp"
#include "support/mint.hpp"

namespace corvane::jose {
namespace {

const Json kClaims = {{"sub", "alice"}};

std::string b64(const std::string& text) { return base64url_encode(text); }

JWKSet set_of(std::initializer_list<Json> jwks) {
  JWKSet set;
  for (const auto& jwk : jwks) set.add(JWK(jwk));
  return set;
}

// The error kind a token fails with, or "verified".
std::string outcome(const std::string& token, const JWKSet& keys,
                    std::chrono::system_clock::time_point now = std::chrono::system_clock::now()) {
  try {
    JWT verified(token, keys, now);
    return "verified";
  } catch (const Exception& error) {
    return error.kind();
  }
}

TEST(Attacks, ForgeriesAndConfusion) {
  testing::TestKey rsa("RS256"), ec("ES256"), hmac("HS256"), p384("ES384"), attacker("ES256");
  const Json rsa_jwk = rsa.public_jwk("rsa"), ec_jwk = ec.public_jwk("ec");
  const JWKSet keys = set_of({rsa_jwk, ec_jwk, hmac.public_jwk("hs")});
  std::string modulus;
  ASSERT_TRUE(base64url_decode(rsa_jwk["n"].get<std::string>(), modulus));
  std::string ec_x;
  ASSERT_TRUE(base64url_decode(ec_jwk["x"].get<std::string>(), ec_x));

  auto hs256_with_secret = [](const std::string& header, const std::string& secret) {
    return testing::sign_hs256(secret, header, R"({"sub":"alice"})");
  };
  const std::string zero_signature = b64(std::string(64, '\0'));
  std::string order_signature;  // r = s = n, the P-256 order
  ASSERT_TRUE(base64url_decode("_____wAAAAD__________7zm-q2nF56E87nKwvxjJVE", order_signature));
  order_signature += order_signature;

  struct Case {
    const char* name;
    std::string token;
    std::string kind;
  } cases[] = {
      {"alg none, empty signature", b64(R"({"alg":"none"})") + "." + b64(R"({"sub":"alice"})") + ".",
       "InvalidJWAAlgorithm"},
      {"alg None", b64(R"({"alg":"None"})") + "." + b64(R"({"sub":"alice"})") + ".", "InvalidJWAAlgorithm"},
      {"HS256 keyed with the RSA modulus", hs256_with_secret(R"({"alg":"HS256","kid":"rsa"})", modulus),
       "InvalidJWSSignature"},
      {"HS256 keyed with the RSA JWK text", hs256_with_secret(R"({"alg":"HS256"})", rsa_jwk.dump()), "JWTMissingKey"},
      {"HS256 keyed with the EC point", hs256_with_secret(R"({"alg":"HS256","kid":"ec"})", ec_x),
       "InvalidJWSSignature"},
      {"kid not in the set", ec.token(kClaims, "elsewhere"), "JWTMissingKey"},
      {"kid not text", ec.sign_token(R"({"alg":"ES256","kid":7})", kClaims.dump()), "InvalidJWSObject"},
      {"attacker key in a jwk header",
       attacker.sign_token(Json{{"alg", "ES256"}, {"jwk", attacker.public_jwk()}}.dump(), kClaims.dump()), "JWTMissingKey"},
      {"attacker key in a jku header",
       attacker.sign_token(Json{{"alg", "ES256"}, {"jku", "http://127.0.0.1:1/"}}.dump(), kClaims.dump()),
       "JWTMissingKey"},
      {"ECDSA all zeros", b64(R"({"alg":"ES256","kid":"ec"})") + "." + b64(R"({"sub":"alice"})") + "." + zero_signature,
       "InvalidJWSSignature"},
      {"ECDSA r = s = order",
       b64(R"({"alg":"ES256","kid":"ec"})") + "." + b64(R"({"sub":"alice"})") + "." + b64(order_signature),
       "InvalidJWSSignature"},
      {"P-256 key for an ES384 token", ec.sign_token(R"({"alg":"ES384","kid":"ec"})", kClaims.dump(), "ES384"),
       "InvalidJWSSignature"},
      {"P-384 signature under a P-256 kid", p384.sign_token(R"({"alg":"ES384","kid":"ec"})", kClaims.dump()),
       "InvalidJWSSignature"},
      {"RSA key for a PS256 token it did not sign", rsa.sign_token(R"({"alg":"PS256","kid":"rsa"})", kClaims.dump()),
       "InvalidJWSSignature"},
      {"unknown crit", ec.sign_token(R"({"alg":"ES256","kid":"ec","crit":["exp"],"exp":1})", kClaims.dump()),
       "InvalidJWSObject"},
      {"empty crit", ec.sign_token(R"({"alg":"ES256","kid":"ec","crit":[]})", kClaims.dump()), "InvalidJWSObject"},
      {"five-part JWE", "eyJhbGciOiJSU0EtT0FFUCJ9.a.b.c.d", "InvalidJWEData"},
      {"two parts", "a.b", "ValueError"},
      {"six parts", "eyJhbGciOiJSU0EtT0FFUCJ9.a.b.c.d.e", "ValueError"},
      {"empty", "", "ValueError"},
      {"header not JSON", b64("{") + "." + b64("{}") + ".AAAA", "InvalidJWSObject"},
      {"header a list", b64("[1]") + "." + b64("{}") + ".AAAA", "InvalidJWSObject"},
      {"padded header", b64(R"({"alg":"ES256","kid":"ec"})") + "=." + b64("{}") + ".AAAA", "InvalidJWSObject"},
      {"oversized", b64(R"({"alg":"ES256"})") + "." + std::string(1024 * 1024, 'e') + ".AAAA", "InvalidJWSObject"},
      {"header nested deeply", b64(std::string(20, '[') + std::string(20, ']')) + "." + b64("{}") + ".AAAA",
       "InvalidJWSObject"},
      // The signature is judged before the claims: a stranger's token never reaches them.
      {"stranger's expired token", attacker.token({{"exp", 1}}), "JWTMissingKey"},
      {"stranger's malformed claims", attacker.token({{"iss", 1}}), "JWTMissingKey"},
      {"stranger's non-UTF-8 payload", attacker.sign_token(R"({"alg":"ES256"})", "\xff"), "JWTMissingKey"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(outcome(c.token, keys), c.kind);
  }
}

TEST(Attacks, KeyRestrictions) {
  struct Case {
    const char* name;
    std::string alg;
    Json extra;  // members added to the key
    int rsa_bits;
    bool verifies;
  } cases[] = {
      {"plain key", "ES256", Json::object(), 0, true},
      {"use sig", "ES256", {{"use", "sig"}}, 0, true},
      {"use enc", "ES256", {{"use", "enc"}}, 0, false},
      {"key_ops verify", "ES256", {{"key_ops", {"verify"}}}, 0, true},
      {"key_ops encrypt", "ES256", {{"key_ops", {"encrypt"}}}, 0, false},
      {"alg matches", "ES256", {{"alg", "ES256"}}, 0, true},
      {"alg differs", "RS256", {{"alg", "PS256"}}, 2048, false},
      {"RSA 2048", "RS256", Json::object(), 2048, true},
      {"RSA 1024", "RS256", Json::object(), 1024, false},
      {"RSA 1024 PSS", "PS256", Json::object(), 1024, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TestKey key(c.alg, c.rsa_bits ? c.rsa_bits : 2048);
    Json jwk = key.public_jwk("k");
    jwk.update(c.extra);
    EXPECT_EQ(outcome(key.token(kClaims, "k"), set_of({jwk})), c.verifies ? "verified" : "InvalidJWSSignature");
  }
  // HMAC secrets shorter than the hash never verify.
  for (std::size_t length : {16u, 31u}) {
    std::string secret(length, 's');
    Json jwk = {{"kty", "oct"}, {"k", b64(secret)}};
    EXPECT_EQ(outcome(testing::sign_hs256(secret, R"({"alg":"HS256"})", "{}"), set_of({jwk})), "JWTMissingKey");
  }
}

TEST(Attacks, RegisteredClaims) {
  testing::TestKey key("EdDSA");
  const JWKSet keys = set_of({key.public_jwk()});
  const auto now = std::chrono::system_clock::time_point(std::chrono::seconds(1'700'000'000));
  struct Case {
    Json claims;
    std::string kind;
  } cases[] = {
      {{{"exp", 1'700'000'000 - 61}}, "JWTExpired"},
      {{{"exp", 1'700'000'000 - 59}}, "verified"},  // within the leeway
      {{{"nbf", 1'700'000'000 + 61}}, "JWTNotYetValid"},
      {{{"nbf", 1'700'000'000 + 59}}, "verified"},
      {{{"exp", 1e308}, {"nbf", -1e308}}, "verified"},
      {{{"exp", "soon"}}, "JWTInvalidClaimFormat"},
      {{{"nbf", true}}, "JWTInvalidClaimFormat"},
      {{{"iat", nullptr}}, "JWTInvalidClaimFormat"},
      {{{"iss", 1}}, "JWTInvalidClaimFormat"},
      {{{"sub", Json::array()}}, "JWTInvalidClaimFormat"},
      {{{"jti", Json::object()}}, "JWTInvalidClaimFormat"},
      {{{"typ", 2}}, "JWTInvalidClaimFormat"},
      {{{"aud", {"a", 1}}}, "JWTInvalidClaimFormat"},
      {{{"aud", {"a", "b"}}}, "verified"},
      {{{"aud", "a"}}, "verified"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.claims.dump());
    EXPECT_EQ(outcome(key.token(c.claims), keys, now), c.kind);
  }
  EXPECT_EQ(outcome(key.sign_token(R"({"alg":"EdDSA"})", "[1, 2]"), keys, now), "verified");  // not an object: unchecked
  EXPECT_EQ(outcome(key.sign_token(R"({"alg":"EdDSA"})", "{\"sub\":\"\xff\"}"), keys, now), "UnicodeDecodeError");
}

}  // namespace
}  // namespace corvane::jose
