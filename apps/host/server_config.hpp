// The reference host's settings: the [app:main] and [server:main] sections
// of its ini file.
#pragma once

#include <spdlog/common.h>
#include <spdlog/sinks/sink.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "http/http_listener.hpp"
#include "signin/finished_sign_ins.hpp"

namespace corvane::apps {

struct ListenAddress {
  std::string host;
  int port = 0;  // 0 picks a free one
};

struct HostConfig {
  std::string ini_path;
  std::string host = "127.0.0.1";
  int port = 8080;
  // "metrics_listen = HOST:PORT" ([::1]:PORT for IPv6): a second listener
  // serving only /metrics and /health; /metrics is then not found on the
  // main port. None: /metrics on the main port.
  std::optional<ListenAddress> metrics_listen;
  // "auth_path_prefix": /auth also answers at this prefix followed by the
  // original request's target (Envoy's HTTP authorization service appends it
  // to a path prefix). Empty: none.
  std::string auth_path_prefix;
  // limits.threads is the ini's `threads`; work_threads and work_queue are
  // `sign_in_threads` and `sign_in_queue`, the pool of the sign-in callbacks.
  HttpLimits limits;
  // New cookies are signed with the secret; cookies signed with one of the
  // previous secrets still verify, so a rotation logs nobody out.
  std::string session_secret;
  std::vector<std::string> session_previous_secrets;
  bool session_secure = false;
  std::chrono::seconds session_lifetime{8 * 3600};
  spdlog::level::level_enum log_level = spdlog::level::warn;
  // "corvane.access_log": text (default) or json, one object per line.
  bool access_log_json = false;
  // "corvane.reload_interval": rebuild the configuration this often, as
  // SIGHUP does; zero (the default) only on SIGHUP. Read at start-up only.
  std::chrono::seconds reload_interval{0};
  // Where the access log and the host's own records go; stdout and stderr
  // when null (tests hand in their own).
  std::shared_ptr<spdlog::sinks::sink> access_sink;
  std::shared_ptr<spdlog::sinks::sink> error_sink;
  // How many finished sign-ins are remembered against replays (not read
  // from the ini; tests shrink it).
  std::size_t max_finished_sign_ins = FinishedSignIns::kDefaultCapacity;
};

// ConfigError naming the file and the key at fault.
HostConfig load_host_config(const std::string& ini_path);

}  // namespace corvane::apps
