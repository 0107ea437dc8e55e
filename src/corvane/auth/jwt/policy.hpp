// The authentication policy the host consults for every request: the bearer
// token of the request is verified against the named provider's keys and
// mapped to one local user; HTML requests also log the user in to the host's
// session once.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "corvane/auth/jwt/idp_config.hpp"
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

class JWTAuthenticationPolicy : public host::BaseAuthenticationPolicy {
 public:
  explicit JWTAuthenticationPolicy(const host::IniSettings& ini_settings);
  JWTAuthenticationPolicy(const host::IniSettings& ini_settings, host::AuthConfiguration configuration);

  // The bearer header pattern, compiled once for the class.
  static const Regex& token_regex();

  std::string get_token_from_header(std::string_view auth_header) const;
  std::optional<std::string> authenticated_userid(host::PolicyRequest& request) const;
  std::vector<std::string> effective_principals(host::PolicyRequest& request) const;
  std::optional<std::string> unauthenticated_userid(const host::PolicyRequest& request) const;
  host::Headers remember(host::PolicyRequest& request, const std::string& principal,
                         const Json& kw = Json::object()) const;
  host::Headers forget(host::PolicyRequest& request) const;
  void cookie_auth_for_html(host::PolicyRequest& request, const std::string& userid) const;

  // The JWT settings section inside the host's settings; null when absent.
  const Json* jwt_settings = nullptr;
  Json jwt_enabled = false;
  std::optional<ProviderTable> idps;

 private:
  void construct(const host::IniSettings& ini_settings);
};

}  // namespace corvane::auth::jwt
