// A complete host configuration in a temporary folder: users, one provider
// whose key set is a local file, the ini file naming them. The settings
// documents come from support/policy_fixture.hpp, as for the policy's tests;
// scripts build the same site with make_site in tests/e2e/support/common.bash.
#pragma once

#include <chrono>
#include <string>

#include "corvane/util/base64.hpp"
#include "corvane/util/json.hpp"
#include "demo_idp/jwk_tools.hpp"
#include "support/http_server.hpp"
#include "support/policy_fixture.hpp"

namespace corvane::apps::testing {

inline Json default_users() {
  return Json::parse(R"({"alice": {"email": "alice@example.org"}, "bob": {"email": "bob@example.org"}})");
}

class Site {
 public:
  explicit Site(Alg alg = Alg::HS256, const std::string& kid = "k1") : key(generate_private_jwk(alg, kid)) {
    write_key_set(Json::array({public_jwk(key)}));
    providers = {{"local", corvane::testing::email_provider(jwks_path())}};
    users = default_users();
    write();
  }

  std::string jwks_path() const { return dir.path() + "/jwks.json"; }

  void write_key_set(const Json& keys) const {
    write_file_atomically(jwks_path(), Json{{"keys", keys}}.dump());
  }

  // Writes auth.json, users.json and app.ini from the members.
  void write() {
    write_file_atomically(dir.path() + "/auth.json", corvane::testing::jwt_auth_settings(providers).dump());
    write_file_atomically(dir.path() + "/users.json", users.dump());
    ini = dir.write("app.ini", "[app:main]\ncorvane.auth_settings = %(here)s/auth.json\n"
                               "corvane.users = %(here)s/users.json\ncorvane.default_extension = " +
                                   default_extension + "\ncorvane.session_secret = " + secret + "\n" + extra_ini +
                                   "[server:main]\nhost = 127.0.0.1\nport = 0\nthreads = 4\n" + extra_server_ini);
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
  std::string extra_ini;         // more [app:main] lines
  std::string extra_server_ini;  // more [server:main] lines
  std::string ini;
};

}  // namespace corvane::apps::testing
