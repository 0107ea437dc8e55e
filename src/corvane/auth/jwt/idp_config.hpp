// The record of one identity provider: its configuration settled from the
// local settings and its discovery document, its key set loaded once, and
// the verification of its tokens and the mapping of their claims to users.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "corvane/auth/jwt/request_claims.hpp"
#include "corvane/host/ini_settings.hpp"
#include "corvane/host/seam.hpp"
#include "corvane/jose/jwk_set.hpp"
#include "corvane/jose/jwt.hpp"
#include "corvane/util/errors.hpp"
#include "corvane/util/json.hpp"
#include "corvane/util/url.hpp"

namespace corvane::auth::jwt {

// More than one user matches a token's claim: a ValueError like any other,
// its own class only so that the outcome can be counted apart.
class SeveralUsersError : public ValueError {
 public:
  using ValueError::ValueError;
};

class IDPConfig {
 public:
  // The keys a usable provider configuration holds, in the order of the
  // merge and of the validation message.
  static constexpr std::array<std::string_view, 3> required_well_known_configuration_keys = {
      "jwks_uri", "authorization_endpoint", "token_endpoint"};

  // What one key set may hold, far above any real provider's (rarely more
  // than ten keys, some kilobytes): start-up cost (up to 0.3 s per 8192-bit
  // RSA key) and the cost of a token without "kid", which tries every key,
  // stay bounded. More is an invalid key set.
  static constexpr std::size_t max_keys = 64;
  static constexpr std::size_t max_key_set_bytes = 1024 * 1024;

  // Keeps `idp_config` itself (the mapping inside the host's settings, which
  // must outlive the record): merged keys are written into it. No input or
  // output happens here; `host` answers asint().
  IDPConfig(std::shared_ptr<const host::UserDirectory> users, Json& idp_config,
            const host::IniSettings& ini_settings, const host::Host& host = host::Host::basic());

  // Settles the configuration and loads the key set; any error passes on.
  void post_init();

  Json& get_idp_config(Json& idp_config);
  Json& _merge_jwt_configuration(Json& local, const Json& remote) const;
  void _validate_jwt_configuration(const Json& idp_config) const;
  Json _get_well_known_configuration() const;

  static jose::JWKSet make_jwks(const Json& raw_jwks);
  void load_offline_jwks();
  void _load_offline_jwks_file(const UrlParts& url);
  void _load_offline_jwks_from_http(const std::string& path);

  // Verifies a compact JWT against the key set and returns its claims.
  Json secure_load_claims(std::string_view token) const;
  // The same check, giving the verified token with its claims as JSON.
  jose::JWT secure_load_jwt(std::string_view token) const;
  // The same check for the request path: the claims read in place, with the
  // configured claim and "sub" (views valid until this thread verifies its
  // next token), a public key's check and the payload's reading run through
  // `run_long` (see jose::verify_claims).
  jose::VerifiedClaims secure_read_claims(
      std::string_view token, std::chrono::system_clock::time_point now = std::chrono::system_clock::now(),
      std::optional<jose::LongStepRunner> run_long = std::nullopt) const;
  // The single sign-on user id: "sub" in comparison form, or "". From the
  // request path's claims, written into `buffer`: a view of it.
  std::string get_sso_user_id(const Json& token) const;
  std::string_view get_sso_user_id(const RequestClaims& token, std::string& buffer) const;
  // The id of the one user whose attribute matches the configured claim. The
  // request path's claims give the claim's comparison form in `form_buffer`,
  // which the users read while they are walked.
  std::string get_user_id_for_claims(const Json& token) const;
  std::string get_user_id_for_claims(const RequestClaims& token, std::string& form_buffer) const;

  std::shared_ptr<const host::UserDirectory> users;
  Json* idp_config;
  Json claim_attribute;
  Json user_config_attribute;
  Json well_known_configuration_url;
  long jwt_settings_http_timeout;

  // Whether the merged "jwks_uri" came from a discovery document fetched over
  // HTTP(S): such a location must be http or https, never a local file.
  bool jwks_uri_from_network = false;
  // The discovery document as read, for the members beyond the merged three
  // that a browser sign-in reads (issuer, userinfo_endpoint, ...); an empty
  // mapping without one.
  Json well_known_document = Json::object();
  Json offline_jwks_uri;      // null until post_init()
  Json offline_verification;  // null until post_init(), then a boolean
  Json offline_raw_jwks;      // the key set document as read
  std::optional<jose::JWKSet> offline_jwks;
  std::string err_msg_missing;
  std::string err_msg_invalid;
};

}  // namespace corvane::auth::jwt
