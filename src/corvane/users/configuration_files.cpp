#include "corvane/users/configuration_files.hpp"

#include "corvane/users/users.hpp"
#include "corvane/util/errors.hpp"
#include "corvane/util/file.hpp"

namespace corvane {
namespace {

const std::string& required_setting(const host::IniSettings& ini_settings, std::string_view key) {
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

host::AuthConfiguration load_file_configuration(const host::IniSettings& ini_settings) {
  host::AuthConfiguration configuration;
  configuration.auth_settings =
      std::make_shared<Json>(read_json_file(required_setting(ini_settings, "corvane.auth_settings")));
  const std::string& users_path = required_setting(ini_settings, "corvane.users");
  try {
    configuration.users = std::make_shared<const Users>(Users::from_file(users_path));
  } catch (const TypeError& error) {
    throw TypeError(users_path + ": " + error.what());
  } catch (const JSONDecodeError& error) {
    throw JSONDecodeError(users_path + ": " + error.what());
  }
  configuration.cvn_settings = Json{{"default_extension", ini_settings.get("corvane.default_extension", "html")}};
  return configuration;
}

}  // namespace corvane
