// What the benchmarks share: a realistic provider site (a token of about 350
// bytes of claims, a key set of three keys, a users table), the policy built
// on it the way a host builds it, and the bare OpenSSL verification of the
// same token that bounds what any verifier can do.
#pragma once

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "cli/recording_request.hpp"
#include "corvane/auth/jwt/jwt.hpp"
#include "corvane/jose/key_material.hpp"
#include "corvane/jose/signature.hpp"
#include "corvane/users/users.hpp"
#include "corvane/util/base64.hpp"
#include "support/http_server.hpp"
#include "support/jose_signer.hpp"
#include "support/mint.hpp"

namespace corvane::bench {

inline const char* kIdp = "idp";

// The i-th user's e-mail address; the non-ASCII form has letters outside
// ASCII in both parts, as users of many countries do.
inline std::string user_email(std::size_t i, bool non_ascii) {
  return non_ascii ? "j\xc3\xb6rg.m\xc3\xbcller" + std::to_string(i) + "@ex\xc3\xa4mple.org"
                   : "user" + std::to_string(i) + "@example.org";
}

// The same address as an identity provider might send it: another letter
// case, for the comparison form to settle.
inline std::string claim_email(std::size_t i, bool non_ascii) {
  return non_ascii ? "J\xc3\x96rg.M\xc3\x9cller" + std::to_string(i) + "@Ex\xc3\x84mple.org"
                   : "User" + std::to_string(i) + "@Example.org";
}

// An ID token as a typical OpenID Connect provider issues it.
inline Json oidc_claims(const std::string& email) {
  const long long now =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
  return {{"iss", "https://login.example-idp.com/6f1a2b3c-4d5e-6f70-8192-a3b4c5d6e7f8/v2.0"},
          {"sub", "AAAAAAAAAAAAAAAAAAAAAIkzqFVrSaSaFHy782bbtaQ"},
          {"aud", "c0ffee00-1234-4abc-9def-0123456789ab"},
          {"exp", now + 3600},
          {"iat", now},
          {"nbf", now},
          {"auth_time", now - 30},
          {"nonce", "n-0S6_WzA2Mj"},
          {"email", email},
          {"email_verified", true},
          {"name", "Alice Example"},
          {"preferred_username", "alice.example"},
          {"sid", "0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9"},
          {"at_hash", "77QmUPtjPfzWtF2AnpK9RQ"}};
}

inline std::shared_ptr<Users> make_users(std::size_t count, bool non_ascii) {
  auto users = std::make_shared<Users>();
  for (std::size_t i = 0; i < count; ++i) {
    users->add("user-" + std::to_string(i), {{"email", user_email(i, non_ascii)}, {"name", "User " + std::to_string(i)}});
  }
  return users;
}

// One provider "idp" over `jwks`, claim "email" to user attribute "email".
// `ini` holds the token cache settings; the default is the host's default.
inline std::unique_ptr<auth::jwt::JWTAuthenticationPolicy> make_policy(const std::string& jwks_path,
                                                                       std::shared_ptr<const Users> users,
                                                                       const host::IniSettings& ini = {}) {
  Json provider = {{"enabled", true},
                   {"idp_name", "Bench"},
                   {"claim_attribute", "email"},
                   {"user_config_attribute", "email"},
                   {"jwks_uri", jwks_path},
                   {"authorization_endpoint", "https://idp.example/authorize"},
                   {"token_endpoint", "https://idp.example/token"}};
  host::AuthConfiguration configuration;
  *configuration.auth_settings = {
      {"authentication_policies", {{"jwt", {{"enabled", true}, {"identity_providers", {{kIdp, provider}}}}}}}};
  configuration.users = std::move(users);
  auto policy = std::make_unique<auth::jwt::JWTAuthenticationPolicy>(ini, configuration);
  if (!policy->idps || !policy->idps->find(kIdp)) throw std::runtime_error("the bench provider did not load");
  return policy;
}

// The bare signature check of one token with a key prepared beforehand: the
// fastest any verifier on this OpenSSL can be. The key is imported and the
// signature brought to OpenSSL's form by the system's own code, so only the
// check itself is measured bare. Not thread-safe; one per thread.
class RawVerifier {
 public:
  RawVerifier(const std::string& alg, const Json& jwk, const std::string& compact)
      : alg_(alg), key_(jose::detail::import_key(jwk, jwk.at("kty").get<std::string>())) {
    const std::size_t second = compact.rfind('.');
    input_ = compact.substr(0, second);
    if (!base64url_decode(compact.substr(second + 1), signature_)) throw std::runtime_error("bad signature");
    md_ = alg == "EdDSA" ? nullptr : EVP_MD_fetch(nullptr, "SHA256", nullptr);
    if (alg == "HS256") {
      mac_ctx_ = EVP_MAC_CTX_dup(key_.hmac[0].get());
      if (mac_ctx_ == nullptr) throw std::runtime_error("HMAC set-up failed");
    } else {
      ctx_ = EVP_MD_CTX_new();
      if (alg == "ES256") signature_ = jose::detail::ecdsa_raw_to_der(jose::detail::Curve::p256, signature_);
    }
    if (!verify()) throw std::runtime_error("the raw check rejects the bench token for " + alg);
  }
  ~RawVerifier() {
    EVP_MD_CTX_free(ctx_);
    EVP_MAC_CTX_free(mac_ctx_);
    EVP_MD_free(md_);
  }
  RawVerifier(const RawVerifier&) = delete;
  RawVerifier& operator=(const RawVerifier&) = delete;

  bool verify() {
    const auto* input = reinterpret_cast<const unsigned char*>(input_.data());
    const auto* signature = reinterpret_cast<const unsigned char*>(signature_.data());
    if (mac_ctx_) {
      // A null key re-keys with the one given at set-up, from its
      // precomputed inner and outer states.
      unsigned char tag[EVP_MAX_MD_SIZE];
      std::size_t size = 0;
      if (EVP_MAC_init(mac_ctx_, nullptr, 0, nullptr) != 1 || EVP_MAC_update(mac_ctx_, input, input_.size()) != 1 ||
          EVP_MAC_final(mac_ctx_, tag, &size, sizeof tag) != 1) {
        return false;
      }
      return size == signature_.size() && CRYPTO_memcmp(tag, signature, size) == 0;
    }
    EVP_PKEY_CTX* pctx = nullptr;
    if (EVP_DigestVerifyInit(ctx_, &pctx, md_, nullptr, key_.pkey.get()) != 1) return false;
    if (alg_ == "PS256" && (EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PSS_PADDING) <= 0 ||
                            EVP_PKEY_CTX_set_rsa_pss_saltlen(pctx, RSA_PSS_SALTLEN_DIGEST) <= 0)) {
      return false;
    }
    return EVP_DigestVerify(ctx_, signature, signature_.size(), input, input_.size()) == 1;
  }

 private:
  std::string alg_;
  jose::detail::KeyMaterial key_;
  std::string input_;
  std::string signature_;
  EVP_MD* md_ = nullptr;
  EVP_MD_CTX* ctx_ = nullptr;
  EVP_MAC_CTX* mac_ctx_ = nullptr;
};

// One algorithm's site: three keys of the algorithm (the token is signed by
// the last, as after two rotations), the token, its bearer header, and
// policies over 10 and 1,000 users without the token cache (every request
// verifies its token), and over 10 users with the default cache (`cached`)
// and with one smaller than `stream` (`small_cache`), a run of distinct
// valid tokens.
struct AlgorithmSite {
  explicit AlgorithmSite(const std::string& alg_name)
      : alg(alg_name) {
    for (int i = 0; i < 3; ++i) keys.emplace_back(alg_name);
    Json jwks = {{"keys", Json::array()}};
    for (std::size_t i = 0; i < keys.size(); ++i) {
      Json jwk = keys[i].public_jwk("key-2026-0" + std::to_string(i + 1));
      jwk["use"] = "sig";
      if (alg != "HS256") jwk["alg"] = alg;
      jwks["keys"].push_back(jwk);
    }
    signing_jwk = jwks["keys"].back();
    jwks_path = dir.write("jwks.json", jwks.dump());
    claims = oidc_claims(claim_email(matched_index, false));
    compact = keys.back().token(claims, signing_jwk["kid"].get<std::string>());
    header = testing::bearer(compact);
    const host::IniSettings uncached{{"jwt_cvn.token_cache_entries", "0"}};
    for (std::size_t count : {std::size_t{10}, std::size_t{1000}}) {
      policies.push_back(make_policy(jwks_path, make_users(count, false), uncached));
    }
    cached = make_policy(jwks_path, make_users(10, false));
    small_cache = make_policy(jwks_path, make_users(10, false),
                              host::IniSettings{{"jwt_cvn.token_cache_entries", std::to_string(kStream / 4)}});
    for (std::size_t i = 0; i < kStream; ++i) {
      Json distinct = claims;
      distinct["jti"] = "bench-" + std::to_string(i);
      stream.push_back(testing::bearer(keys.back().token(distinct, signing_jwk["kid"].get<std::string>())));
    }
  }

  static constexpr std::size_t kStream = 256;

  static constexpr std::size_t matched_index = 7;  // present in both user tables

  const auth::jwt::JWTAuthenticationPolicy& policy(std::size_t users) const {
    return users == 10 ? *policies[0] : *policies[1];
  }
  std::string expected_user() const { return "user-" + std::to_string(matched_index); }

  std::string alg;
  testing::TempDir dir;
  std::vector<testing::TestKey> keys;
  Json signing_jwk;
  std::string jwks_path;
  Json claims;
  std::string compact;
  std::string header;
  std::vector<std::unique_ptr<auth::jwt::JWTAuthenticationPolicy>> policies;
  std::unique_ptr<auth::jwt::JWTAuthenticationPolicy> cached, small_cache;
  std::vector<std::string> stream;  // bearer headers of kStream distinct tokens
};

}  // namespace corvane::bench
