#include <gtest/gtest.h>

#include "corvane/jose/algorithm.hpp"
#include "corvane/jose/jwk.hpp"
#include "corvane/util/base64.hpp"
#include "corvane/util/errors.hpp"
#include "support/jose_signer.hpp"

namespace corvane::jose {
namespace {

TEST(JWKImport, RejectsBadMembers) {
  const Json ec = testing::TestKey("ES256").public_jwk();
  const Json okp = testing::TestKey("EdDSA").public_jwk();
  const Json rsa = testing::TestKey("RS256").public_jwk();
  auto with = [](Json base, const char* name, Json value) {
    if (value.is_null()) {
      base.erase(name);
    } else {
      base[name] = value;
    }
    return base;
  };
  std::string off_curve_y = ec["y"].get<std::string>();
  off_curve_y[5] = off_curve_y[5] == 'A' ? 'B' : 'A';
  // The same 64 bytes as 31 + 33: the point is valid, the coordinates are not.
  std::string x, y;
  ASSERT_TRUE(base64url_decode(ec["x"].get<std::string>(), x) && base64url_decode(ec["y"].get<std::string>(), y));
  const Json split_wrongly = with(with(ec, "x", base64url_encode(x.substr(0, 31))), "y",
                                  base64url_encode(x.substr(31) + y));
  struct Case {
    const char* name;
    Json jwk;
    const char* kind;
  } cases[] = {
      {"no kty", with(ec, "kty", nullptr), "InvalidJWKValue"},
      {"kty not text", with(ec, "kty", 1), "InvalidJWKValue"},
      {"unknown kty", with(ec, "kty", "XYZ"), "InvalidJWKType"},
      {"unknown crv", with(ec, "crv", "P-192"), "InvalidJWKValue"},
      {"EC without y", with(ec, "y", nullptr), "InvalidJWKValue"},
      {"EC y off the curve", with(ec, "y", off_curve_y), "InvalidJWKValue"},
      {"EC x too short", with(ec, "x", "AAAA"), "InvalidJWKValue"},
      {"EC point split at the wrong byte", split_wrongly, "InvalidJWKValue"},
      {"EC x not base64url", with(ec, "x", "!!!!"), "InvalidJWKValue"},
      {"EC x padded", with(ec, "x", ec["x"].get<std::string>() + "="), "InvalidJWKValue"},
      {"EC x a number", with(ec, "x", 5), "InvalidJWKValue"},
      {"OKP unknown crv", with(okp, "crv", "X25519"), "InvalidJWKValue"},
      {"OKP short x", with(okp, "x", "AAAA"), "InvalidJWKValue"},
      {"RSA without n", with(rsa, "n", nullptr), "InvalidJWKValue"},
      {"RSA empty e", with(rsa, "e", ""), "InvalidJWKValue"},
      {"RSA even e", with(rsa, "e", "Ag"), "InvalidJWKValue"},
      {"oct without k", Json{{"kty", "oct"}}, "InvalidJWKValue"},
      {"kid not text", with(ec, "kid", 3), "InvalidJWKValue"},
      {"key_ops not a list", with(ec, "key_ops", "verify"), "InvalidJWKValue"},
      {"not an object", Json::array(), "InvalidJWKValue"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      JWK key(c.jwk);
      ADD_FAILURE() << "imported";
    } catch (const JWException& error) {
      EXPECT_STREQ(error.kind(), c.kind) << error.what();
    }
  }
}

TEST(JWKImport, KeepsMembersAndIgnoresPrivateParts) {
  Json jwk = testing::TestKey("ES384").public_jwk("k1");
  jwk["d"] = "private part, never read";
  jwk["alg"] = "ES384";
  JWK key(jwk);
  EXPECT_EQ(key.kty(), "EC");
  EXPECT_EQ(key.kid(), "k1");
  EXPECT_EQ(key.alg(), "ES384");
  EXPECT_EQ(key.members(), jwk);
  EXPECT_TRUE(key.can_verify("ES384"));
  EXPECT_FALSE(key.can_verify("ES256"));
  EXPECT_FALSE(key.can_verify("HS384"));
}

TEST(Algorithms, OnlyTheListedNames) {
  for (const char* name : {"HS256", "RS512", "PS384", "ES256K", "EdDSA"}) EXPECT_TRUE(detail::find_algorithm(name)) << name;
  for (const char* name : {"none", "None", "", "hs256", "RS1", "ES256k", "EDDSA", "HS256 "}) {
    EXPECT_FALSE(detail::find_algorithm(name)) << name;
  }
}

}  // namespace
}  // namespace corvane::jose
