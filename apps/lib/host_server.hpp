// The reference host: serves the users of its users file, authenticating
// each request by its signed session cookie or else by the JWT policy.
#pragma once

#include <spdlog/logger.h>

#include <atomic>
#include <chrono>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <string>

#include "corvane/auth/jwt/policy.hpp"
#include "session_cookie.hpp"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace corvane::apps {

using Policy = auth::jwt::JWTAuthenticationPolicy;

struct HostConfig {
  std::string ini_path;
  std::string host = "127.0.0.1";
  int port = 8080;
  int threads = 8;
  std::string session_secret;
  bool session_secure = false;
  std::chrono::seconds session_lifetime{8 * 3600};
  spdlog::level::level_enum log_level = spdlog::level::warn;
  // Where the access log and the host's own records go; stdout and stderr
  // when null (tests hand in their own).
  std::shared_ptr<spdlog::sinks::sink> access_sink;
  std::shared_ptr<spdlog::sinks::sink> error_sink;
};

// The [app:main] and [server:main] sections of the ini file.
HostConfig load_host_config(const std::string& ini_path);

class HostServer {
 public:
  // Builds the policy from the files; ConfigError when that fails.
  explicit HostServer(HostConfig config);
  ~HostServer();
  HostServer(const HostServer&) = delete;
  HostServer& operator=(const HostServer&) = delete;

  // Binds the configured address; port 0 picks a free one. Returns the port.
  int bind();
  // Serves until stop(); requests run on the thread pool.
  void serve();
  // Safe from any thread, also before serve() got going.
  void stop();

  // Rebuilds the policy from the files and swaps it in; requests in flight
  // finish on the one they started with. A rebuild that fails, or that would
  // skip a provider the current policy serves, keeps the current policy and
  // logs why. Returns whether the new policy is in use.
  bool reload();

  std::shared_ptr<const Policy> policy() const { return policy_.load(); }
  const HostConfig& config() const { return config_; }

 private:
  void handle(const httplib::Request& req, httplib::Response& res) const;
  void route(const httplib::Request& req, httplib::Response& res) const;
  void log_access(const httplib::Request& req, const httplib::Response& res) const;

  HostConfig config_;
  SessionCodec sessions_;
  std::atomic<std::shared_ptr<const Policy>> policy_;
  std::mutex reload_mutex_;
  std::shared_ptr<spdlog::logger> access_log_;
  std::shared_ptr<spdlog::logger> error_log_;
  std::unique_ptr<httplib::Server> server_;
  std::atomic<bool> stop_requested_{false};
  std::atomic<bool> serving_{false};
};

// corvane-host: parses the options, serves until SIGTERM or SIGINT, rebuilds
// the policy on SIGHUP. Returns the exit code.
int run_host(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

}  // namespace corvane::apps
