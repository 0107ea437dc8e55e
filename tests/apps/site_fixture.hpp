// A complete host configuration in a temporary folder: users, one provider
// whose key set is a local file, the ini file naming them.
#pragma once

#include <chrono>
#include <string>

#include "corvane/util/base64.hpp"
#include "corvane/util/json.hpp"
#include "jwk_tools.hpp"
#include "support/http_server.hpp"

namespace corvane::apps::testing {

inline Json default_users() {
  return Json::parse(R"({"alice": {"email": "alice@example.org"}, "bob": {"email": "bob@example.org"}})");
}

inline Json provider(const std::string& jwks_path) {
  return {{"enabled", true},
          {"idp_name", "Local"},
          {"claim_attribute", "email"},
          {"user_config_attribute", "email"},
          {"jwks_uri", jwks_path},
          {"authorization_endpoint", "https://idp.example/auth"},
          {"token_endpoint", "https://idp.example/token"}};
}

class Site {
 public:
  explicit Site(Alg alg = Alg::HS256, const std::string& kid = "k1") : key(generate_private_jwk(alg, kid)) {
    write_key_set(Json::array({public_jwk(key)}));
    providers = {{"local", provider(jwks_path())}};
    users = default_users();
    write();
  }

  std::string jwks_path() const { return dir.path() + "/jwks.json"; }

  void write_key_set(const Json& keys) const {
    write_file_atomically(jwks_path(), Json{{"keys", keys}}.dump());
  }

  // Writes auth.json, users.json and app.ini from the members.
  void write() {
    const Json auth = {{"authentication_policies", {{"jwt", {{"enabled", true}, {"identity_providers", providers}}}}}};
    write_file_atomically(dir.path() + "/auth.json", auth.dump());
    write_file_atomically(dir.path() + "/users.json", users.dump());
    ini = dir.write("app.ini", "[app:main]\ncorvane.auth_settings = %(here)s/auth.json\n"
                               "corvane.users = %(here)s/users.json\ncorvane.default_extension = " +
                                   default_extension + "\ncorvane.session_secret = " + secret + "\n" + extra_ini +
                                   "[server:main]\nhost = 127.0.0.1\nport = 0\nthreads = 4\n");
  }

  // An Authorization header value for `email`, signed by `with` (the site's key by default).
  std::string bearer(const std::string& email, const Json& with = nullptr, long long ttl = 600) const {
    const long long now =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
    const Json claims = {{"sub", "sso-" + email}, {"email", email}, {"iat", now}, {"exp", now + ttl}};
    return "Bearer " + base64_encode(mint_compact(with.is_null() ? key : with, claims));
  }

  corvane::testing::TempDir dir;
  Json key;
  Json providers;
  Json users;
  std::string default_extension = "json";
  std::string secret = "a-shared-secret-of-the-hosts";
  std::string extra_ini;
  std::string ini;
};

}  // namespace corvane::apps::testing
