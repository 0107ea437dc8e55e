// Mistakes that construction accepts but that make a provider's requests
// fail, or behave otherwise than meant: a misspelt key, a missing attribute
// name, users that no token can tell apart. `corvane-jwt check` shows them.
#pragma once

#include <string>
#include <string_view>

#include "corvane/auth/jwt/policy.hpp"
#include "corvane/host/ini_settings.hpp"
#include "corvane/users/users.hpp"
#include "corvane/util/json.hpp"

namespace corvane::apps {

struct LintInput {
  std::string ini_path;
  const host::IniSettings* settings;  // [app:main]
  const Json* auth_settings;          // as read, before construction changed it
  const Users* users;
  const auth::jwt::JWTAuthenticationPolicy* policy;  // constructed from them
};

// [{"file", "key", "message"}], in the order of the files and keys.
Json configuration_warnings(const LintInput& input);

// The known key nearest to `key` by edit distance, or "" when none is near
// enough to be a likely misspelling.
std::string nearest_key(std::string_view key, const std::vector<std::string_view>& known);

}  // namespace corvane::apps
