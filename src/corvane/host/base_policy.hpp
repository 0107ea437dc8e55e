// The host's base authentication policy: the authentication settings, the
// users and the host settings that every policy reads.
#pragma once

#include <memory>

#include "corvane/host/ini_settings.hpp"
#include "corvane/host/seam.hpp"
#include "corvane/host/users.hpp"
#include "corvane/util/json.hpp"

namespace corvane::host {

// What a base policy provides, for hosts that hold it in memory.
struct AuthConfiguration {
  // Shared with the host: changes made to it are visible to its holders.
  std::shared_ptr<Json> auth_settings = std::make_shared<Json>(Json::object());
  std::shared_ptr<const Users> users = std::make_shared<Users>();
  // The users the policy matches claims with; null is `users`. A host whose
  // users live elsewhere gives its own directory here.
  std::shared_ptr<const UserDirectory> user_directory;
  Json cvn_settings = Json{{"default_extension", "html"}};
  // The host's calls outside requests; null is Host::basic().
  std::shared_ptr<const Host> host;
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
  std::shared_ptr<const UserDirectory> user_directory() const {
    if (configuration_.user_directory) return configuration_.user_directory;
    return configuration_.users;
  }
  const Json& cvn_settings() const { return configuration_.cvn_settings; }
  const Host& host() const { return configuration_.host ? *configuration_.host : Host::basic(); }

  // cvn_settings()["default_extension"], read for every request that is
  // authenticated; KeyError when absent. A host that keeps its settings
  // elsewhere reads them here; the value must stay valid until the calling
  // thread reads it again.
  virtual const Json& default_extension() const;

 private:
  AuthConfiguration configuration_;
};

}  // namespace corvane::host
