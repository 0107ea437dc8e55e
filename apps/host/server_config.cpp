#include "host/server_config.hpp"

#include <sstream>

#include "common/app_config.hpp"

namespace corvane::apps {
namespace {

constexpr std::size_t kMinSecretLength = 16;
constexpr long kMaxReloadInterval = 7L * 24 * 3600;

std::string text(const host::IniSettings& settings, const std::string& key, const std::string& fallback) {
  return settings.get(key, fallback).get<std::string>();
}

// HOST:PORT or [V6]:PORT, the port 0 to 65535.
ListenAddress listen_address(const std::string& ini_path, const std::string& key, const std::string& value) {
  const auto colon = value.rfind(':');
  const ConfigError bad(ini_path + ": " + key + " must be HOST:PORT (e.g. 127.0.0.1:9100), not '" + value + "'");
  if (colon == std::string::npos || colon == 0 || colon + 1 == value.size() || colon + 6 < value.size()) throw bad;
  std::string host = value.substr(0, colon);
  if (host.front() == '[') {
    if (host.size() < 3 || host.back() != ']') throw bad;
    host = host.substr(1, host.size() - 2);
  } else if (host.find(':') != std::string::npos) {
    throw bad;  // IPv6 without brackets
  }
  long port = 0;
  for (const char c : value.substr(colon + 1)) {
    if (c < '0' || c > '9') throw bad;
    port = port * 10 + (c - '0');
  }
  if (port > 65535) throw bad;
  return {host, static_cast<int>(port)};
}

// "/" and path segments of unreserved characters, without a final "/": the
// same text escaped or not, so it can be matched on the raw target.
std::string path_prefix(const std::string& ini_path, const std::string& value) {
  if (value.empty()) return value;
  const bool shaped = value.size() >= 2 && value.front() == '/' && value.back() != '/' &&
                      value.find("//") == std::string::npos &&
                      value.find_first_not_of("/-._~0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz") ==
                          std::string::npos;
  if (!shaped) {
    throw ConfigError(ini_path + ": auth_path_prefix must be a path such as /auth (letters, digits, - . _ ~ and /, " +
                      "no final /), not '" + value + "'");
  }
  return value;
}

}  // namespace

HostConfig load_host_config(const std::string& ini_path) {
  HostConfig config;
  config.ini_path = ini_path;
  const host::IniSettings app = read_ini(ini_path, "app:main");
  const host::IniSettings server = read_ini(ini_path, "server:main");
  if (!app.contains("corvane.session_secret")) {
    throw ConfigError(ini_path + ": missing required key 'corvane.session_secret' in [app:main]");
  }
  config.session_secret = text(app, "corvane.session_secret", "");
  if (config.session_secret.size() < kMinSecretLength) {
    throw ConfigError(ini_path + ": corvane.session_secret must be at least 16 characters");
  }
  // Blank-separated; ini continuation lines allow one per line.
  std::istringstream previous(text(app, "corvane.session_previous_secrets", ""));
  for (std::string secret; previous >> secret;) {
    if (secret.size() < kMinSecretLength) {
      throw ConfigError(ini_path + ": each of corvane.session_previous_secrets must be at least 16 characters");
    }
    config.session_previous_secrets.push_back(secret);
  }
  config.session_secure = ini_bool(ini_path, app, "corvane.session_secure", false);
  config.session_lifetime =
      std::chrono::seconds(ini_int(ini_path, app, "corvane.session_lifetime", 8 * 3600, 60, 30L * 24 * 3600));
  config.log_level = log_level(ini_path, app);
  const std::string access_log = text(app, "corvane.access_log", "text");
  if (access_log != "text" && access_log != "json") {
    throw ConfigError(ini_path + ": corvane.access_log must be text or json, not '" + access_log + "'");
  }
  config.access_log_json = access_log == "json";
  // Up to a week: key rotations are announced days ahead, and a longer wait
  // is more likely a slip of the unit than a wish.
  config.reload_interval =
      std::chrono::seconds(ini_int(ini_path, app, "corvane.reload_interval", 0, 0, kMaxReloadInterval));

  config.host = text(server, "host", "127.0.0.1");
  config.port = static_cast<int>(ini_int(ini_path, server, "port", 8080, 0, 65535));
  if (server.contains("metrics_listen")) {
    config.metrics_listen = listen_address(ini_path, "metrics_listen", text(server, "metrics_listen", ""));
  }
  config.auth_path_prefix = path_prefix(ini_path, text(server, "auth_path_prefix", ""));
  HttpLimits& limits = config.limits;
  limits.threads = static_cast<unsigned>(ini_int(ini_path, server, "threads", 8, 1, 256));
  limits.max_connections =
      static_cast<unsigned>(ini_int(ini_path, server, "connection_limit", limits.max_connections, 1, 100000));
  limits.max_connections_per_client = static_cast<unsigned>(
      ini_int(ini_path, server, "connection_limit_per_client", limits.max_connections_per_client, 1, 100000));
  limits.head_timeout =
      std::chrono::seconds(ini_int(ini_path, server, "head_timeout", limits.head_timeout.count(), 1, 300));
  limits.idle_timeout =
      std::chrono::seconds(ini_int(ini_path, server, "idle_timeout", limits.idle_timeout.count(), 1, 3600));
  // The sign-in's requests to the providers (its callbacks) run on a pool of their own.
  limits.work_threads =
      static_cast<unsigned>(ini_int(ini_path, server, "sign_in_threads", limits.work_threads, 1, 64));
  limits.work_queue = static_cast<unsigned>(ini_int(ini_path, server, "sign_in_queue", limits.work_queue, 0, 10000));
  return config;
}

}  // namespace corvane::apps
