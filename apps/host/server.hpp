// The reference host: serves the users of its users file, authenticating
// each request by its signed session cookie or else by the JWT policy.
#pragma once

#include <spdlog/logger.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "corvane/auth/jwt/policy.hpp"
#include "corvane/users/users.hpp"
#include "host/metrics.hpp"
#include "host/server_config.hpp"
#include "http/http_listener.hpp"
#include "identity/session_cookie.hpp"
#include "signin/sign_in.hpp"

namespace corvane::apps {

using Policy = auth::jwt::JWTAuthenticationPolicy;

// What started a reload: a request (SIGHUP, a caller) or the reload interval.
enum class ReloadTrigger { request, interval };

class HostServer {
 public:
  // Builds the policy from the files; ConfigError when that fails.
  explicit HostServer(HostConfig config);
  ~HostServer();
  HostServer(const HostServer&) = delete;
  HostServer& operator=(const HostServer&) = delete;

  // Binds the configured address, and the metrics address when there is
  // one, and starts answering; port 0 picks a free one. Returns the main
  // port. ConfigError naming the address when it is taken.
  int bind();
  // The metrics listener's port once bound; none without one.
  std::optional<int> metrics_port() const { return metrics_port_; }
  // Blocks until stop(), then closes every connection.
  void serve();
  // Safe from any thread, also before serve() got going.
  void stop();

  // Rebuilds the policy and the session settings from the files and swaps
  // them in; requests in flight finish on the ones they started with. A
  // rebuild that fails, or that would skip a provider the current policy
  // serves (its discovery document or key set cannot be had now), keeps the
  // current ones, the last known good, and logs why: a warning per such
  // provider with its error, then the error. Both triggers follow this
  // rule; a periodic one logs its start and success at debug level only.
  // Returns whether the new ones are in use. One rebuild at a time.
  bool reload(ReloadTrigger trigger = ReloadTrigger::request);

  std::shared_ptr<const Policy> policy() const { return current_.load()->policy; }
  // The settings read at start-up (address, limits); reload() does not change them.
  const HostConfig& config() const { return config_; }

 private:
  // What one configuration build gives; swapped as a whole by reload().
  struct Generation {
    std::shared_ptr<const Policy> policy;
    std::shared_ptr<const Users> users;  // the store the policy matches against
    SessionCodec sessions;
    bool session_secure;
    std::vector<SignInProvider> sign_in;  // the providers with a browser sign-in
    LoginStateCodec login_states;
  };
  // The policy and users the configuration files give, before the rest of a
  // generation is made from them.
  struct Built;
  static Built build_from_files(const std::string& ini_path);
  Generation make_generation(Built built, const HostConfig& config) const;
  // The generation in use. A mutex rather than std::atomic<std::shared_ptr>:
  // libstdc++ 12 guards that one with a lock bit ThreadSanitizer cannot see,
  // which reports every reload under load as a race.
  class CurrentGeneration {
   public:
    std::shared_ptr<const Generation> load() const {
      std::lock_guard lock(mutex_);
      return value_;
    }
    void store(std::shared_ptr<const Generation> value) {
      std::lock_guard lock(mutex_);
      value_.swap(value);  // the old one is released after the lock
    }

   private:
    mutable std::mutex mutex_;
    std::shared_ptr<const Generation> value_;
  };
  struct Outcome;
  struct Routed;

  // Which listener a request came in on: the metrics one serves /metrics
  // and /health only.
  enum class Listener { main, metrics };
  using Clock = std::chrono::steady_clock;
  // A sign-in callback (it waits on the provider) is deferred to the
  // listener's work pool, holding the generation it started with; every
  // other request is answered on the event worker.
  HttpAnswer handle(const HttpRequest& request, Listener listener) const;
  HttpResponse respond(const HttpRequest& request, const Generation& generation, Listener listener,
                       Clock::time_point start) const;
  // A deferred callback the pool cannot take: 503 with Retry-After, counted.
  HttpResponse busy(const HttpRequest& request, Clock::time_point start) const;
  // The rendered answer with the headers every answer gets, logged.
  HttpResponse finish(const HttpRequest& request, Outcome outcome, Clock::time_point start) const;
  Outcome route(const HttpRequest& request, const Generation& generation, Listener listener) const;
  // One per kind of route; route() picks it from a table.
  Outcome serve_health(const Routed& routed) const;
  Outcome serve_metrics(const Routed& routed) const;
  Outcome serve_forward_auth(const Routed& routed) const;
  Outcome serve_stylesheet(const Routed& routed) const;
  Outcome serve_sign_in(const Routed& routed) const;
  Outcome serve_logout(const Routed& routed) const;
  Outcome serve_page(const Routed& routed) const;
  Outcome serve_not_found(const Routed& routed) const;
  void log_access(std::string_view method, std::string_view target, int status, std::optional<double> milliseconds,
                  const std::optional<std::string>& sso_user_id) const;

  HostConfig config_;
  std::shared_ptr<spdlog::logger> access_log_;
  std::shared_ptr<spdlog::logger> error_log_;
  SignIn sign_in_;
  CurrentGeneration current_;
  mutable HostMetrics metrics_;  // counted from const request handling
  std::mutex reload_mutex_;
  HttpListener listener_;
  std::optional<HttpListener> metrics_listener_;
  std::optional<int> metrics_port_;
  std::mutex stop_mutex_;
  std::condition_variable stop_signal_;
  bool stop_requested_ = false;
};

}  // namespace corvane::apps
