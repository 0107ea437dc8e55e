// The host's base authentication policy: the authentication settings, the
// users and the host settings that every policy reads.
#pragma once

#include <memory>

#include "corvane/host/ini_settings.hpp"
#include "corvane/host/seam.hpp"
#include "corvane/util/json.hpp"

namespace corvane::host {

// What a base policy provides, for hosts that hold it in memory.
struct AuthConfiguration {
  // Shared with the host: changes made to it are visible to its holders.
  std::shared_ptr<Json> auth_settings = std::make_shared<Json>(Json::object());
  // The users the policy matches claims with; null when the host has none.
  // A host that also needs its concrete store keeps its own reference.
  std::shared_ptr<const UserDirectory> users;
  Json cvn_settings = Json{{"default_extension", "html"}};
  // The host's calls outside requests; null is Host::basic().
  std::shared_ptr<const Host> host;
};

class BaseAuthenticationPolicy {
 public:
  BaseAuthenticationPolicy(const IniSettings& ini_settings, AuthConfiguration configuration);
  virtual ~BaseAuthenticationPolicy() = default;

  Json& auth_settings() { return *configuration_.auth_settings; }
  const Json& auth_settings() const { return *configuration_.auth_settings; }
  const std::shared_ptr<Json>& shared_auth_settings() const { return configuration_.auth_settings; }
  const std::shared_ptr<const UserDirectory>& users() const { return configuration_.users; }
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
