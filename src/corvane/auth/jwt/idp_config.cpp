#include "corvane/auth/jwt/idp_config.hpp"

#include "corvane/util/errors.hpp"
#include "corvane/util/logging.hpp"

namespace corvane::auth::jwt {

IDPConfig::IDPConfig(std::shared_ptr<const host::UserDirectory> users_, Json& idp_config_,
                     const host::IniSettings& ini_settings, const host::Host& host)
    : users(std::move(users_)), idp_config(&idp_config_) {
  if (!idp_config_.is_object()) {
    throw AttributeError(std::string("'") + python_type_name(idp_config_) + "' object has no attribute 'get'");
  }
  claim_attribute = get_or_null(idp_config_, "claim_attribute");
  user_config_attribute = get_or_null(idp_config_, "user_config_attribute");
  well_known_configuration_url = get_or_null(idp_config_, "well_known_configuration");
  jwt_settings_http_timeout =
      host.asint(ini_settings.get("jwt_cvn.http_timeout", 1), 1, "jwt_cvn.http_timeout");
}

void IDPConfig::post_init() {
  idp_config = &get_idp_config(*idp_config);
  offline_jwks_uri = get_or_null(*idp_config, "jwks_uri");
  offline_verification = !offline_jwks_uri.is_null();
  if (offline_verification.get<bool>()) load_offline_jwks();
}

}  // namespace corvane::auth::jwt
