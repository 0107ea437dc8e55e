// The authentication policy the host consults for every request: the bearer
// token of the request is verified against the named provider's keys and
// mapped to one local user; HTML requests also log the user in to the host's
// session once.
#pragma once

#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "corvane/auth/jwt/idp_config.hpp"
#include "corvane/auth/jwt/token_cache.hpp"
#include "corvane/auth/jwt/verified_token.hpp"
#include "corvane/host/base_policy.hpp"
#include "corvane/host/seam.hpp"
#include "corvane/util/regex.hpp"

namespace corvane::auth::jwt {

// Provider id to its ready record, in settings order.
class ProviderTable {
 public:
  const IDPConfig* find(std::string_view idp_id) const;
  void add(std::string idp_id, IDPConfig idp) { entries_.emplace_back(std::move(idp_id), std::move(idp)); }
  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  auto begin() const { return entries_.begin(); }
  auto end() const { return entries_.end(); }

 private:
  std::vector<std::pair<std::string, IDPConfig>> entries_;
};

// How one authentication ended, for the host's counters. `error` is never
// returned: it is how a host counts an error that escaped authenticate().
enum class AuthOutcome {
  authenticated,
  jwt_disabled,
  no_header,         // no Authorization value at all
  bad_header,        // one that breaks the bearer rules
  no_provider_id,
  unknown_provider,  // named, but not ready
  token_refused,     // does not verify, or the provider cannot verify
  no_user,           // verified, but its claim maps to no user
  several_users,     // verified, but its claim maps to more than one user
  error,
};
inline constexpr std::size_t kAuthOutcomeCount = static_cast<std::size_t>(AuthOutcome::error) + 1;
std::string_view outcome_name(AuthOutcome outcome);

struct Authentication {
  AuthOutcome outcome = AuthOutcome::jwt_disabled;
  std::optional<std::string> user_id;
  // The ready provider that decided; empty when none did (an id a request
  // names but no provider serves is not kept: it is the client's text).
  std::string idp_id;
  // The single sign-on user id, as recorded in the log context; a host reads
  // it here rather than back from the context.
  std::optional<std::string> sso_user_id;
};

// What construction made of one configured provider, in settings order.
struct ProviderState {
  enum class Status { ready, skipped, disabled };
  std::string idp_id;
  Status status = Status::disabled;
  std::string error;  // why it was skipped
};
std::string_view status_name(ProviderState::Status status);

class JWTAuthenticationPolicy : public host::BaseAuthenticationPolicy {
 public:
  // With the configuration the ini settings name in files
  // (load_file_configuration and its errors).
  explicit JWTAuthenticationPolicy(const host::IniSettings& ini_settings);
  JWTAuthenticationPolicy(const host::IniSettings& ini_settings, host::AuthConfiguration configuration);

  // The bearer header pattern, compiled once for the class.
  static const Regex& token_regex();

  std::string get_token_from_header(std::string_view auth_header) const;
  // The same, decoded into `buffer` (its capacity reused): the result views
  // `buffer`.
  std::string_view get_token_from_header(std::string_view auth_header, std::string& buffer) const;
  // get_token_from_header() without the error: nullopt for a value that
  // breaks the bearer rules or does not decode (with the same debug records).
  std::optional<std::string_view> read_token(std::string_view auth_header, std::string& buffer) const;
  std::optional<std::string> authenticated_userid(host::PolicyRequest& request) const;
  // authenticated_userid() with how it ended: the same steps, records,
  // effects and errors; authenticated_userid() is its user_id.
  Authentication authenticate(host::PolicyRequest& request) const;
  // The token-level entry, for a token the caller obtained itself (a browser
  // sign-in's ID token) instead of a request's header; it touches no request
  // and no session.
  // verify_token(): the token verified with the keys of ready provider
  // `idp_id`, with the request path's checks and records; nullopt, after the
  // path's warning, for an unknown provider, a token that does not verify or
  // a payload that is not a JSON object. A host error passes on (as from
  // authenticate()).
  std::optional<VerifiedToken> verify_token(std::string_view idp_id, std::string_view token) const;
  // map_token(): its claims mapped to the one user, as authenticate() maps a
  // request's (outcome authenticated, no_user or several_users, with the same
  // records; the sso user id is not written to any log context).
  Authentication map_token(const VerifiedToken& token) const;
  // The principals of an authenticated user, as effective_principals() gives them.
  std::vector<std::string> principals_for(const std::string& userid) const;
  // The "identity_providers" mapping of authentication settings, or an empty
  // mapping when there is none: the one place that knows the layout.
  static const Json& configured_providers(const Json& auth_settings);
  std::vector<std::string> effective_principals(host::PolicyRequest& request) const;
  std::optional<std::string> unauthenticated_userid(const host::PolicyRequest& request) const;
  host::Headers remember(host::PolicyRequest& request, const std::string& principal,
                         const Json& kw = Json::object()) const;
  host::Headers forget(host::PolicyRequest& request) const;
  void cookie_auth_for_html(host::PolicyRequest& request, std::string_view userid) const;

  // The JWT settings section inside the host's settings; null when absent.
  const Json* jwt_settings = nullptr;
  Json jwt_enabled = false;
  std::optional<ProviderTable> idps;
  // Every configured provider; all disabled when JWT authentication is off.
  std::vector<ProviderState> provider_states;
  // The tokens this policy verified, until they expire; null when JWT
  // authentication is off or the settings turn the cache off
  // (jwt_cvn.token_cache_entries or jwt_cvn.token_cache_max_token_bytes 0).
  // A reloaded configuration is a new policy: it starts empty.
  std::unique_ptr<TokenCache> token_cache;

 private:
  // authenticate(), keeping the sso user id in the result only when asked:
  // authenticated_userid() has no use for it, and an id longer than the
  // small-string buffer would cost an allocation per request.
  Authentication authenticate(host::PolicyRequest& request, bool keep_sso_user_id) const;
  // The stages of authenticate(), in order. `debug_records`: whether the
  // logger wants debug records, asked once per request (a host's logger may
  // answer through a call into its own code).
  // The ready provider named `idp_id`, with its records; null when none is.
  const IDPConfig* find_provider(std::string_view idp_id, bool debug_records) const;
  // What the path reads of the claims of `token`, copied into `buffer`: from
  // the token cache, or else verified with the provider's keys (and then
  // remembered). Verification errors pass on.
  RequestClaims read_claims(std::string_view idp_id, const IDPConfig& idp, std::string_view token,
                            std::string& buffer) const;
  // The token verified with the provider's keys at `now`, what the path reads
  // of its claims copied into `buffer`; its errors pass on.
  RequestClaims verify(const IDPConfig& idp, std::string_view token, std::chrono::system_clock::time_point now,
                       std::string& buffer) const;
  // The debug record of a verified token's payload.
  void payload_record(std::string_view token, bool debug_records) const;
  // The user id of verified claims, and their single sign-on id (a view of
  // `buffer`), which also goes to the log context. Errors pass on.
  std::string_view map_user(host::PolicyRequest& request, const IDPConfig& idp, const RequestClaims& claims,
                            std::string& user_id, std::string& buffer) const;
  // The outcome of an authentication that failed with `error` (rethrown when
  // it is not a failed authentication but the host's), with its record.
  // Called only from a handler of `error`.
  AuthOutcome refusal(const std::exception& error, bool verified) const;
  void construct(const host::IniSettings& ini_settings);
  void construct_token_cache(const host::IniSettings& ini_settings);
};

}  // namespace corvane::auth::jwt
