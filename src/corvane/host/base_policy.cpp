#include "corvane/host/base_policy.hpp"

#include "corvane/util/errors.hpp"
#include "corvane/util/file.hpp"

namespace corvane::host {
namespace {

const std::string& required_setting(const IniSettings& ini_settings, std::string_view key) {
  const auto& values = ini_settings.values();
  auto it = values.find(key);
  if (it == values.end()) throw KeyError(key);
  return it->second;
}

Json read_json_file(const std::string& path) {
  std::string text = read_text_file(path);
  try {
    return parse_json(text);
  } catch (const JSONDecodeError& error) {
    throw JSONDecodeError(path + ": " + error.what());
  }
}

}  // namespace

AuthConfiguration BaseAuthenticationPolicy::load_configuration(const IniSettings& ini_settings) {
  AuthConfiguration configuration;
  configuration.auth_settings =
      std::make_shared<Json>(read_json_file(required_setting(ini_settings, "corvane.auth_settings")));
  const std::string& users_path = required_setting(ini_settings, "corvane.users");
  try {
    configuration.users = std::make_shared<Users>(Users::from_file(users_path));
  } catch (const TypeError& error) {
    throw TypeError(users_path + ": " + error.what());
  } catch (const JSONDecodeError& error) {
    throw JSONDecodeError(users_path + ": " + error.what());
  }
  configuration.cvn_settings = Json{{"default_extension", ini_settings.get("corvane.default_extension", "html")}};
  return configuration;
}

BaseAuthenticationPolicy::BaseAuthenticationPolicy(const IniSettings& ini_settings)
    : BaseAuthenticationPolicy(ini_settings, load_configuration(ini_settings)) {}

BaseAuthenticationPolicy::BaseAuthenticationPolicy(const IniSettings& /*ini_settings*/,
                                                   AuthConfiguration configuration)
    : configuration_(std::move(configuration)) {
  if (!configuration_.auth_settings) configuration_.auth_settings = std::make_shared<Json>(Json::object());
}

Json BaseAuthenticationPolicy::default_extension() const {
  return strict_get(cvn_settings(), "default_extension");
}

}  // namespace corvane::host
