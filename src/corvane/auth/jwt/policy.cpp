// Policy construction: the provider table, built once from the settings.
#include "corvane/auth/jwt/policy.hpp"

#include "corvane/users/configuration_files.hpp"
#include "corvane/util/errors.hpp"
#include "corvane/util/logging.hpp"

namespace corvane::auth::jwt {

const IDPConfig* ProviderTable::find(std::string_view idp_id) const {
  for (const auto& [id, idp] : entries_) {
    if (id == idp_id) return &idp;
  }
  return nullptr;
}

JWTAuthenticationPolicy::JWTAuthenticationPolicy(const host::IniSettings& ini_settings)
    : BaseAuthenticationPolicy(ini_settings, load_file_configuration(ini_settings)) {
  construct(ini_settings);
}

JWTAuthenticationPolicy::JWTAuthenticationPolicy(const host::IniSettings& ini_settings,
                                                 host::AuthConfiguration configuration)
    : BaseAuthenticationPolicy(ini_settings, std::move(configuration)) {
  construct(ini_settings);
}

std::string_view status_name(ProviderState::Status status) {
  switch (status) {
    case ProviderState::Status::ready: return "ready";
    case ProviderState::Status::skipped: return "skipped";
    case ProviderState::Status::disabled: return "disabled";
  }
  return "disabled";
}

const Json& JWTAuthenticationPolicy::configured_providers(const Json& auth_settings) {
  static const Json none = Json::object();
  const Json& jwt = get_or_null(get_or_null(auth_settings, "authentication_policies"), "jwt");
  const Json& providers = get_or_null(jwt, "identity_providers");
  return providers.is_object() ? providers : none;
}

const Regex& JWTAuthenticationPolicy::token_regex() {
  static const Regex pattern("^Bearer (?P<token>[a-zA-Z0-9+/]+={0,3})$");
  return pattern;
}

void JWTAuthenticationPolicy::construct_token_cache(const host::IniSettings& ini_settings) {
  // Integer settings as the host reads them; 0 turns the cache off. A value
  // the host cannot read, or a negative one, turns it off with a warning, as
  // a provider's invalid setting skips that provider: the policy still works.
  const auto setting = [&](const char* key, std::size_t fallback) {
    const long value = host().asint(ini_settings.get(key, static_cast<long>(fallback)), static_cast<long>(fallback), key);
    if (value < 0) throw ValueError(std::string(key) + " must be 0 or more, not " + std::to_string(value));
    return static_cast<std::size_t>(value);
  };
  const auto turn_off = [](std::string_view reason) {
    logging::warning("The token cache was turned off due to invalid configuration in JWT authentication policy. " +
                     std::string(reason));
  };
  TokenCache::Limits limits;
  try {
    limits.entries = setting("jwt_cvn.token_cache_entries", TokenCache::kDefaults.entries);
    limits.max_token_bytes = setting("jwt_cvn.token_cache_max_token_bytes", TokenCache::kDefaults.max_token_bytes);
  } catch (const Exception& exc) {
    turn_off(exc.what());
    return;
  } catch (const std::exception& exc) {  // the host's own error, from asint say
    std::string text;
    if (!host().belongs_to(exc, host::ErrorFamily::ordinary, text)) throw;
    turn_off(text);
    return;
  }
  if (limits.entries > 0 && limits.max_token_bytes > 0) token_cache = std::make_unique<TokenCache>(limits);
}

void JWTAuthenticationPolicy::construct(const host::IniSettings& ini_settings) {
  Json* section = nullptr;
  try {
    section = &strict_get(strict_get(auth_settings(), "authentication_policies"), "jwt");
  } catch (const KeyError& exc) {
    jwt_enabled = false;
    logging::info(std::string("JWT authentication method is not configured. ") + exc.what());
    return;
  }
  jwt_settings = section;
  jwt_enabled = strict_get(*section, "enabled");
  if (!truthy(jwt_enabled)) {
    for (const auto& [idp_id, idp_config] : configured_providers(auth_settings()).items()) {
      provider_states.push_back({idp_id, ProviderState::Status::disabled, {}});
    }
    logging::debug("JWT disabled");
    return;
  }

  construct_token_cache(ini_settings);
  idps.emplace();
  Json& providers = strict_get(*section, "identity_providers");
  if (providers.is_null()) providers = Json::object();
  if (!providers.is_object()) {
    throw AttributeError(std::string("'") + python_type_name(providers) + "' object has no attribute 'items'");
  }

  // A provider that fails to initialise is logged, left out and marked
  // disabled in the settings; the others are still built.
  auto skip = [this](const std::string& idp_id, Json& idp_config, std::string_view reason) {
    logging::warning("Identity provider \"" + idp_id +
                     "\" was skipped due to invalid configuration in JWT authentication policy. " + std::string(reason));
    idp_config["enabled"] = false;
    provider_states.push_back({idp_id, ProviderState::Status::skipped, std::string(reason)});
  };
  for (auto& [idp_id, idp_config] : providers.items()) {
    if (!truthy(strict_get(idp_config, "enabled"))) {
      provider_states.push_back({idp_id, ProviderState::Status::disabled, {}});
      continue;
    }
    try {
      IDPConfig idp(users(), idp_config, ini_settings, host());
      idp.post_init();
      std::string config_text = logging::enabled(spdlog::level::debug) ? dump(*idp.idp_config) : std::string();
      idps->add(idp_id, std::move(idp));
      provider_states.push_back({idp_id, ProviderState::Status::ready, {}});
      if (!config_text.empty()) logging::debug("Resulting JWT config for " + idp_id + " is " + config_text);
    } catch (const Exception& exc) {
      skip(idp_id, idp_config, exc.what());
    } catch (const Json::exception& exc) {  // a settings value of the wrong JSON type
      skip(idp_id, idp_config, exc.what());
    } catch (const std::exception& exc) {  // the host's own error, from asint say
      std::string text;
      if (!host().belongs_to(exc, host::ErrorFamily::ordinary, text)) throw;
      skip(idp_id, idp_config, text);
    }
  }
}

}  // namespace corvane::auth::jwt
