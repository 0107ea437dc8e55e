// The host's base authentication policy: the authentication settings, the
// users and the host settings that every policy reads.
#pragma once

#include <memory>

#include "corvane/host/ini_settings.hpp"
#include "corvane/host/users.hpp"
#include "corvane/util/json.hpp"

namespace corvane::host {

// What a base policy provides, for hosts that hold it in memory.
struct AuthConfiguration {
  // Shared with the host: changes made to it are visible to its holders.
  std::shared_ptr<Json> auth_settings = std::make_shared<Json>(Json::object());
  std::shared_ptr<const Users> users = std::make_shared<Users>();
  Json cvn_settings = Json{{"default_extension", "html"}};
};

class BaseAuthenticationPolicy {
 public:
  // Reads the ini keys "corvane.auth_settings" (a JSON file of the
  // authentication settings), "corvane.users" (a JSON file of the users) and
  // "corvane.default_extension" (default "html"). A missing key is KeyError;
  // file and JSON failures are OSError and ValueError kinds naming the file.
  explicit BaseAuthenticationPolicy(const IniSettings& ini_settings);
  BaseAuthenticationPolicy(const IniSettings& ini_settings, AuthConfiguration configuration);
  virtual ~BaseAuthenticationPolicy() = default;

  // The configuration the ini settings name, read from its files.
  static AuthConfiguration load_configuration(const IniSettings& ini_settings);

  Json& auth_settings() { return *configuration_.auth_settings; }
  const Json& auth_settings() const { return *configuration_.auth_settings; }
  const std::shared_ptr<Json>& shared_auth_settings() const { return configuration_.auth_settings; }
  const std::shared_ptr<const Users>& users() const { return configuration_.users; }
  const Json& cvn_settings() const { return configuration_.cvn_settings; }

 private:
  AuthConfiguration configuration_;
};

}  // namespace corvane::host
