#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "common/app_errors.hpp"
#include "corvane/jose/jwt.hpp"
#include "corvane/util/base64.hpp"
#include "demo_idp/jwk_tools.hpp"
#include "support/http_server.hpp"

namespace corvane::apps {
namespace {

std::size_t decoded_size(const Json& jwk, const char* member) {
  std::string bytes;
  EXPECT_TRUE(base64url_decode(jwk.at(member).get<std::string>(), bytes)) << member;
  return bytes.size();
}

jose::JWKSet key_set_of(const Json& jwk) {
  jose::JWKSet set;
  set.add(jose::JWK(jwk));
  return set;
}

struct AlgCase {
  Alg alg;
  const char* kty;
  const char* size_member;  // a member whose length fixes the key size
  std::size_t size;
  std::size_t signature_size;  // 0: not fixed
};

const AlgCase kAlgs[] = {
    {Alg::RS256, "RSA", "n", 256, 256}, {Alg::PS256, "RSA", "n", 256, 256}, {Alg::ES256, "EC", "x", 32, 64},
    {Alg::ES384, "EC", "x", 48, 96},    {Alg::ES512, "EC", "x", 66, 132},  {Alg::EdDSA, "OKP", "x", 32, 64},
    {Alg::HS256, "oct", "k", 32, 32},
};

TEST(JwkTools, EveryAlgorithmMintsTokensTheVerifierAccepts) {
  for (const AlgCase& c : kAlgs) {
    SCOPED_TRACE(std::string(alg_name(c.alg)));
    const Json key = generate_private_jwk(c.alg, "kid-1");
    EXPECT_EQ(key["kty"], c.kty);
    EXPECT_EQ(key["alg"], alg_name(c.alg));
    EXPECT_EQ(decoded_size(key, c.size_member), c.size);
    if (c.kty == std::string("EC")) {
      EXPECT_EQ(decoded_size(key, "y"), c.size);
    }

    const Json pub = public_jwk(key);
    for (const char* secret : {"d", "p", "q", "dp", "dq", "qi"}) EXPECT_FALSE(pub.contains(secret)) << secret;
    EXPECT_EQ(pub.contains("k"), c.alg == Alg::HS256);  // an HMAC key is its own verifier

    const Json claims = {{"sub", "u1"}, {"email", "a@example.org"}};
    const std::string token = mint_compact(key, claims);
    const jose::JWT verified(token, key_set_of(pub));
    EXPECT_EQ(verified.claims(), claims);
    EXPECT_EQ(verified.header(), (Json{{"alg", alg_name(c.alg)}, {"kid", "kid-1"}, {"typ", "JWT"}}));

    std::string signature;
    ASSERT_TRUE(base64url_decode(token.substr(token.rfind('.') + 1), signature));
    EXPECT_EQ(signature.size(), c.signature_size);

    // Another key of the same kind under the same kid must not verify it.
    const Json other = public_jwk(generate_private_jwk(c.alg, "kid-1"));
    EXPECT_THROW(jose::JWT(token, key_set_of(other)), JWException);
  }
}

TEST(JwkTools, SigningRefusesUnusableKeys) {
  Json rsa = generate_private_jwk(Alg::ES256, "k");
  struct Case {
    const char* name;
    Json key;
  } cases[] = {
      {"not an object", Json::array()},
      {"unknown alg", Json{{"alg", "RS1"}, {"kid", "k"}}},
      {"missing d", [&] { Json k = rsa; k.erase("d"); return k; }()},
      {"wrong curve", [&] { Json k = rsa; k["crv"] = "P-384"; return k; }()},
      {"d not base64url", [&] { Json k = rsa; k["d"] = "a+b/"; return k; }()},
      {"no kid", [&] { Json k = rsa; k.erase("kid"); return k; }()},
      {"point off the curve", [&] { Json k = rsa; k["x"] = public_jwk(generate_private_jwk(Alg::ES256, "k"))["x"]; return k; }()},
      {"alg of another curve", [&] { Json k = rsa; k["alg"] = "ES384"; return k; }()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_THROW(mint_compact(c.key, Json::object()), ConfigError);
  }
}

TEST(JwkTools, KeySetsRefuseADuplicateKid) {
  Json set = {{"keys", Json::array()}};
  add_to_key_set(set, {{"kid", "a"}, {"kty", "oct"}});
  add_to_key_set(set, {{"kid", "b"}, {"kty", "oct"}});
  EXPECT_THROW(add_to_key_set(set, {{"kid", "a"}, {"kty", "oct"}}), ConfigError);
  EXPECT_THROW(check_kid_free(Json{{"keys", "no list"}}, "a"), ConfigError);
  EXPECT_THROW(check_kid_free(Json::array(), "a"), ConfigError);
  EXPECT_EQ(set["keys"].size(), 2u);
}

unsigned mode_of(const std::string& path) {
  struct stat info{};
  EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
  return info.st_mode & 0777;
}

TEST(JwkTools, FilesAreReplacedWithTheirModeAndNeverThroughALink) {
  corvane::testing::TempDir dir;
  const std::string path = dir.write("key.json", "old");
  ::chmod(path.c_str(), 0644);
  write_private_file(path, "secret");
  EXPECT_EQ(mode_of(path), 0600u);
  EXPECT_EQ(corvane::testing::read_file(path), "secret");
  EXPECT_THROW(write_private_file(dir.path() + "/missing/key.json", "x"), ConfigError);

  // An HMAC secret makes the whole key set owner-only; public keys alone do not.
  const std::string jwks = dir.path() + "/jwks.json";
  write_key_set_file(jwks, {{"keys", {public_jwk(generate_private_jwk(Alg::ES256, "ec"))}}});
  EXPECT_EQ(mode_of(jwks), 0644u);
  write_key_set_file(jwks, {{"keys", {public_jwk(generate_private_jwk(Alg::HS256, "hs"))}}});
  EXPECT_EQ(mode_of(jwks), 0600u);

  // A link placed where a file goes is refused; what it points at stays as it was.
  const std::string victim = dir.write("victim", "precious");
  ::chmod(victim.c_str(), 0600);
  for (const auto& replace : {write_private_file, write_file_atomically}) {
    const std::string link = dir.path() + "/link.json";
    ASSERT_EQ(::symlink(victim.c_str(), link.c_str()), 0);
    EXPECT_THROW(replace(link, "overwritten"), ConfigError);
    EXPECT_EQ(corvane::testing::read_file(victim), "precious");
    EXPECT_EQ(mode_of(victim), 0600u);
    ::unlink(link.c_str());
  }
  // The old fixed temporary name is no way in either, and nothing is left behind.
  ASSERT_EQ(::symlink(victim.c_str(), (jwks + ".tmp").c_str()), 0);
  write_file_atomically(jwks, "{}");
  EXPECT_EQ(corvane::testing::read_file(victim), "precious");
  EXPECT_EQ(mode_of(victim), 0600u);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 4);  // key.json, jwks.json, jwks.json.tmp (the link), victim
}

}  // namespace
}  // namespace corvane::apps
