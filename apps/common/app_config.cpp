#include "common/app_config.hpp"

#include <algorithm>
#include <cctype>

#include "corvane/users/users.hpp"
#include "corvane/util/file.hpp"
#include "corvane/util/json.hpp"

namespace corvane::apps {
namespace {

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

// The file named by `key`, which must be given.
std::string setting_path(const std::string& ini_path, const host::IniSettings& settings, const std::string& key) {
  if (!settings.contains(key)) throw ConfigError(ini_path + ": missing required key '" + key + "' in [app:main]");
  std::string path = settings.get(key).get<std::string>();
  if (path.empty()) throw ConfigError(ini_path + ": " + key + " is empty");
  return path;
}

// Reads and parses the JSON file named by `key`; the error names both.
Json read_json_setting(const std::string& ini_path, const host::IniSettings& settings, const std::string& key) {
  const std::string path = setting_path(ini_path, settings, key);
  const std::string where = ini_path + ": " + key + " = " + path + ": ";
  std::string text;
  try {
    text = read_text_file(path);
  } catch (const Exception& error) {
    throw ConfigError(where + "cannot read the file (" + describe_error(error) + ")");
  }
  try {
    return parse_json(text, 64);
  } catch (const Exception& error) {
    throw ConfigError(where + "invalid JSON (" + error.what() + ")");
  }
}

// Reads the users file named by corvane.users; the error names both.
std::shared_ptr<const Users> read_users_setting(const std::string& ini_path, const host::IniSettings& settings) {
  const std::string key = "corvane.users";
  const std::string path = setting_path(ini_path, settings, key);
  const std::string where = ini_path + ": " + key + " = " + path + ": ";
  try {
    return std::make_shared<Users>(Users::from_file(path, kMaxUsersFileSize, 64));
  } catch (const JSONDecodeError& error) {
    throw ConfigError(where + "invalid JSON (" + error.what() + ")");
  } catch (const UnicodeDecodeError& error) {
    throw ConfigError(where + "cannot read the file (" + describe_error(error) + ")");
  } catch (const OSError& error) {
    throw ConfigError(where + "cannot read the file (" + describe_error(error) + ")");
  } catch (const Exception& error) {
    throw ConfigError(where + "invalid users document (" + describe_error(error) + ")");
  }
}

}  // namespace

std::string describe_error(const std::exception& error) {
  if (dynamic_cast<const ConfigError*>(&error) || dynamic_cast<const CryptoError*>(&error)) return error.what();
  if (const auto* known = dynamic_cast<const Exception*>(&error)) {
    return std::string(known->kind()) + ": " + known->what();
  }
  return std::string("internal error: ") + error.what();
}

host::IniSettings read_ini(const std::string& path, const std::string& section) {
  try {
    return host::IniSettings::from_file(path, section);
  } catch (const ValueError& error) {
    throw ConfigError(std::string("cannot parse the ini file ") + error.what());
  } catch (const Exception& error) {
    throw ConfigError(path + ": cannot read the ini file (" + describe_error(error) + ")");
  }
}

FileConfiguration load_auth_configuration(const std::string& ini_path, const host::IniSettings& settings) {
  FileConfiguration loaded;
  host::AuthConfiguration& configuration = loaded.auth;
  Json auth = read_json_setting(ini_path, settings, "corvane.auth_settings");
  if (!auth.is_object()) {
    throw ConfigError(ini_path + ": corvane.auth_settings = " + settings.get("corvane.auth_settings").get<std::string>() +
                      ": the document must be a JSON object, not " + type_name(auth));
  }
  configuration.auth_settings = std::make_shared<Json>(std::move(auth));

  loaded.users = read_users_setting(ini_path, settings);
  configuration.users = loaded.users;
  configuration.cvn_settings = Json{{"default_extension", settings.get("corvane.default_extension", "html")}};
  return loaded;
}

std::shared_ptr<const auth::jwt::JWTAuthenticationPolicy> build_policy(const std::string& ini_path,
                                                                       const host::IniSettings& settings,
                                                                       host::AuthConfiguration configuration) {
  const std::string where =
      ini_path + ": corvane.auth_settings = " + settings.get("corvane.auth_settings", "").get<std::string>() + ": ";
  try {
    return std::make_shared<const auth::jwt::JWTAuthenticationPolicy>(settings, std::move(configuration));
  } catch (const KeyError& error) {
    throw ConfigError(where + "missing required key " + error.what());
  } catch (const Exception& error) {
    throw ConfigError(where + "invalid authentication settings (" + describe_error(error) + ")");
  } catch (const Json::exception& error) {
    throw ConfigError(where + "invalid authentication settings (" + error.what() + ")");
  }
}

spdlog::level::level_enum log_level(const std::string& ini_path, const host::IniSettings& settings) {
  const std::string name = lower(settings.get("corvane.log_level", "warning").get<std::string>());
  if (name == "debug") return spdlog::level::debug;
  if (name == "info") return spdlog::level::info;
  if (name == "warning" || name == "warn") return spdlog::level::warn;
  throw ConfigError(ini_path + ": corvane.log_level must be debug, info or warning, not '" + name + "'");
}

bool ini_bool(const std::string& ini_path, const host::IniSettings& settings, const std::string& key, bool fallback) {
  if (!settings.contains(key)) return fallback;
  const std::string value = lower(settings.get(key).get<std::string>());
  if (value == "true" || value == "yes" || value == "on" || value == "1") return true;
  if (value == "false" || value == "no" || value == "off" || value == "0") return false;
  throw ConfigError(ini_path + ": " + key + " must be true or false, not '" + value + "'");
}

long ini_int(const std::string& ini_path, const host::IniSettings& settings, const std::string& key, long fallback,
             long low, long high) {
  long value = 0;
  try {
    value = host::asint(settings.get(key), fallback, key);
  } catch (const ValueError&) {
    throw ConfigError(ini_path + ": " + key + " must be an integer, not '" + settings.get(key).get<std::string>() +
                      "'");
  }
  if (value < low || value > high) {
    throw ConfigError(ini_path + ": " + key + " must be between " + std::to_string(low) + " and " +
                      std::to_string(high));
  }
  return value;
}

}  // namespace corvane::apps
