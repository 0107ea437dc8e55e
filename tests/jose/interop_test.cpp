// Tokens of a test-side OpenSSL signer, for every supported algorithm.
#include <gtest/gtest.h>


#include "corvane/jose/jwt.hpp"
#include "corvane/util/base64.hpp"
#include "corvane/util/errors.hpp"
#include "support/allocation_counter.hpp"
#include "support/jose_signer.hpp"


namespace corvane::jose {
namespace {

const char* kAlgorithms[] = {"HS256", "HS384", "HS512", "RS256", "RS384", "RS512", "PS256",
                             "PS384", "PS512", "ES256", "ES384", "ES512", "ES256K", "EdDSA", "Ed448"};

const Json kClaims = {{"sub", "alice"}, {"email", "alice@example.org"}};

TEST(Interop, EveryAlgorithmVerifiesAndTamperingFails) {
  for (const char* alg : kAlgorithms) {
    SCOPED_TRACE(alg);
    testing::TestKey key(alg);
    JWKSet keys;
    keys.add(JWK(key.public_jwk("k")));
    const std::string token = key.token(kClaims, "k");
    EXPECT_EQ(JWT(token, keys).claims(), kClaims);

    const std::size_t first = token.find('.'), second = token.rfind('.');
    std::string flipped_signature = token;
    flipped_signature[second + 3] = flipped_signature[second + 3] == 'A' ? 'B' : 'A';
    const std::string tampered[] = {
        base64url_encode(Json{{"alg", key.alg()}, {"kid", "k"}, {"x", 1}}.dump()) + token.substr(first),
        token.substr(0, first + 1) + base64url_encode(Json{{"sub", "mallory"}}.dump()) + token.substr(second),
        flipped_signature,
        token.substr(0, token.size() - 4),
        token + "=",
        token.substr(0, second + 1),
    };
    for (const auto& bad : tampered) {
      SCOPED_TRACE(bad);
      EXPECT_THROW(JWT(bad, keys), JWException);
    }
    // Refusals leave the key's working contexts fit for the next token.
    EXPECT_EQ(JWT(token, keys).claims(), kClaims);

    // The signature check itself allocates nothing, valid or not.
    const JWK& jwk = keys.keys().front();
    const std::string input = token.substr(0, second);
    std::string signature, flipped;
    ASSERT_TRUE(base64url_decode(token.substr(second + 1), signature));
    ASSERT_TRUE(base64url_decode(flipped_signature.substr(second + 1), flipped));
    const std::uint64_t before = testing::t_allocations;
    EXPECT_TRUE(jwk.verify(key.alg(), input, signature));
    EXPECT_FALSE(jwk.verify(key.alg(), input, flipped));
    EXPECT_EQ(testing::t_allocations - before, 0u);
  }
}

TEST(Interop, KeysAreTriedInOrderWithoutKid) {
  testing::TestKey first("ES256"), second("RS256"), third("EdDSA");
  JWKSet keys;
  keys.add(JWK(first.public_jwk()));
  keys.add(JWK(second.public_jwk()));
  keys.add(JWK(third.public_jwk()));
  EXPECT_NO_THROW(JWT(third.token(kClaims), keys));
  testing::TestKey stranger("EdDSA");
  try {
    JWT(stranger.token(kClaims), keys);
    FAIL();
  } catch (const JWTMissingKey& error) {
    EXPECT_STREQ(error.what(), "No working key found in key set");
  }
}

}  // namespace
}  // namespace corvane::jose
