#include "corvane/host/base_policy.hpp"

#include "corvane/util/errors.hpp"

namespace corvane::host {

BaseAuthenticationPolicy::BaseAuthenticationPolicy(const IniSettings& /*ini_settings*/,
                                                   AuthConfiguration configuration)
    : configuration_(std::move(configuration)) {
  if (!configuration_.auth_settings) configuration_.auth_settings = std::make_shared<Json>(Json::object());
}

const Json& BaseAuthenticationPolicy::default_extension() const {
  return strict_get(cvn_settings(), "default_extension");
}

}  // namespace corvane::host
