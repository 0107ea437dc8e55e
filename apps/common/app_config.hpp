// Reading a host's ini configuration and building the policy from it, with
// errors that name the file and the key at fault.
#pragma once

#include <spdlog/common.h>

#include <memory>
#include <string>

#include "common/app_errors.hpp"
#include "corvane/auth/jwt/policy.hpp"
#include "corvane/host/base_policy.hpp"
#include "corvane/host/ini_settings.hpp"
#include "corvane/users/users.hpp"

namespace corvane::apps {

// One section of an ini file; ConfigError naming the file when it cannot be
// read or parsed.
host::IniSettings read_ini(const std::string& path, const std::string& section = "app:main");

// The authentication settings, users and default extension the ini settings
// name, each file read and checked here so that a failure names its key.
// `users` is the store `auth` matches against, kept for the programs that
// read its records too.
struct FileConfiguration {
  host::AuthConfiguration auth;
  std::shared_ptr<const Users> users;
};
FileConfiguration load_auth_configuration(const std::string& ini_path, const host::IniSettings& settings);

// Constructs the policy; any error escaping construction (a malformed
// settings structure) becomes a ConfigError naming the settings file.
std::shared_ptr<const auth::jwt::JWTAuthenticationPolicy> build_policy(const std::string& ini_path,
                                                                       const host::IniSettings& settings,
                                                                       host::AuthConfiguration configuration);

// "corvane.log_level": debug, info or warning (default warning).
spdlog::level::level_enum log_level(const std::string& ini_path, const host::IniSettings& settings);

// A boolean ini value: true/false, yes/no, on/off, 1/0.
bool ini_bool(const std::string& ini_path, const host::IniSettings& settings, const std::string& key, bool fallback);

// An integer ini value within [low, high].
long ini_int(const std::string& ini_path, const host::IniSettings& settings, const std::string& key, long fallback,
             long low, long high);

// The one line a program prints for an error: "<kind>: <message>" for
// library errors, the message alone for the tools' own.
std::string describe_error(const std::exception& error);

}  // namespace corvane::apps
