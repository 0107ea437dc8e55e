#include "host_server.hpp"

#include <spdlog/sinks/stdout_sinks.h>

#include "app_config.hpp"
#include "corvane/host/utils.hpp"
#include "host_render.hpp"
#include "host_request.hpp"
#include "host_routes.hpp"
#include "host_session.hpp"

namespace corvane::apps {
namespace {

std::shared_ptr<spdlog::logger> make_logger(const char* name, std::shared_ptr<spdlog::sinks::sink> sink,
                                            bool to_stdout) {
  if (!sink) {
    if (to_stdout) {
      sink = std::make_shared<spdlog::sinks::stdout_sink_mt>();
    } else {
      sink = std::make_shared<spdlog::sinks::stderr_sink_mt>();
    }
    sink->set_pattern("%Y-%m-%dT%H:%M:%S.%e %n %l %v");
  }
  auto logger = std::make_shared<spdlog::logger>(name, std::move(sink));
  logger->set_level(spdlog::level::info);
  logger->flush_on(spdlog::level::info);
  return logger;
}

// The providers the settings enable; after construction those skipped are
// the ones missing from the table.
std::vector<std::string> enabled_providers(const Json& auth_settings) {
  std::vector<std::string> out;
  const Json& jwt = get_or_null(get_or_null(auth_settings, "authentication_policies"), "jwt");
  const Json& providers = get_or_null(jwt, "identity_providers");
  if (!truthy(get_or_null(jwt, "enabled")) || !providers.is_object()) return out;
  for (const auto& [id, config] : providers.items()) {
    if (truthy(get_or_null(config, "enabled"))) out.push_back(id);
  }
  return out;
}

struct Built {
  std::shared_ptr<const Policy> policy;
  std::vector<std::string> skipped;
};

Built build_from_files(const std::string& ini_path) {
  const host::IniSettings settings = read_ini(ini_path);
  host::AuthConfiguration configuration = load_auth_configuration(ini_path, settings);
  const Json& extension = get_or_null(configuration.cvn_settings, "default_extension");
  if (extension != "html" && extension != "json") {
    throw ConfigError(ini_path + ": corvane.default_extension must be html or json for this host");
  }
  const std::vector<std::string> enabled = enabled_providers(*configuration.auth_settings);
  Built built{build_policy(ini_path, settings, std::move(configuration)), {}};
  for (const std::string& id : enabled) {
    if (!built.policy->idps || !built.policy->idps->find(id)) built.skipped.push_back(id);
  }
  return built;
}

std::string milliseconds(std::chrono::steady_clock::duration elapsed) {
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count();
  return std::to_string(micros / 1000) + "." + std::to_string(micros % 1000 / 100);
}

}  // namespace

struct HostServer::Outcome {
  Reply reply;
  std::optional<std::string> sso_user_id;
  std::optional<std::string> set_cookie;
  HttpFields headers = {};                  // more of the answer's headers
  std::optional<HttpResponse> raw = {};     // sent as it is instead of the reply
};

HostServer::Generation HostServer::make_generation(std::shared_ptr<const Policy> policy,
                                                   const HostConfig& config) const {
  std::vector<SignInProblem> problems;
  std::vector<SignInProvider> sign_in = sign_in_providers(*policy, problems);
  for (const SignInProblem& problem : problems) {
    error_log_->warn("identity provider \"" + problem.idp_id + "\", " + problem.key + ": " + problem.message);
  }
  std::vector<std::string> secrets = {config.session_secret};
  secrets.insert(secrets.end(), config.session_previous_secrets.begin(), config.session_previous_secrets.end());
  return Generation{std::move(policy),
                    SessionCodec(config.session_secret, config.session_lifetime, config.session_previous_secrets),
                    config.session_secure, std::move(sign_in), LoginStateCodec(std::move(secrets))};
}

HostServer::HostServer(HostConfig config)
    : config_(std::move(config)),
      access_log_(make_logger("corvane.host.access", config_.access_sink, true)),
      error_log_(make_logger("corvane.host", config_.error_sink, false)),
      sign_in_(error_log_),
      listener_(
          config_.limits, [this](const HttpRequest& request) { return handle(request); },
          [this](const HttpRefusal& refused) {
            log_access(refused.method, refused.target, refused.status, "-", std::nullopt);
          }) {
  error_log_->set_level(std::min(config_.log_level, spdlog::level::info));
  Built built = build_from_files(config_.ini_path);
  for (const std::string& id : built.skipped) {
    error_log_->warn("identity provider \"" + id + "\" is not served: its configuration is invalid (see the warnings)");
  }
  current_.store(std::make_shared<const Generation>(make_generation(std::move(built.policy), config_)));
}

HostServer::~HostServer() { listener_.stop(); }

int HostServer::bind() { return listener_.start(config_.host, config_.port); }

void HostServer::serve() {
  {
    std::unique_lock lock(stop_mutex_);
    stop_signal_.wait(lock, [this] { return stop_requested_; });
  }
  listener_.stop();
}

void HostServer::stop() {
  {
    std::lock_guard lock(stop_mutex_);
    stop_requested_ = true;
  }
  stop_signal_.notify_all();
}

bool HostServer::reload() {
  std::lock_guard lock(reload_mutex_);
  error_log_->info("reloading the configuration from " + config_.ini_path);
  try {
    const HostConfig fresh = load_host_config(config_.ini_path);
    Built built = build_from_files(config_.ini_path);
    const auto current = current_.load();
    for (const std::string& id : built.skipped) {
      if (current->policy->idps && current->policy->idps->find(id)) {
        throw ConfigError("identity provider \"" + id + "\" would be skipped (see the warnings)");
      }
    }
    current_.store(std::make_shared<const Generation>(make_generation(std::move(built.policy), fresh)));
    error_log_->info("reloaded the configuration from " + config_.ini_path);
    return true;
  } catch (const std::exception& error) {
    error_log_->error("reload failed, the previous configuration stays in use: " + describe_error(error));
    return false;
  }
}

HttpResponse HostServer::handle(const HttpRequest& request) const {
  const auto start = std::chrono::steady_clock::now();
  // The policy records the request's sso user here; start each request clean.
  host::current_thread_log_context() = Json::object();
  Outcome outcome;
  try {
    outcome = route(request, *current_.load());
  } catch (const std::exception& error) {
    error_log_->error(request.method + " " + printable(request.path) + ": " + describe_error(error));
    outcome.reply = error_reply(500, path_extension(request.path).value_or("json"), "Internal Server Error",
                                "The request could not be handled; the reason is in the server's log.");
  }
  host::current_thread_log_context() = Json::object();
  HttpResponse response = outcome.raw ? std::move(*outcome.raw) : render(outcome.reply);
  if (outcome.set_cookie) response.headers.emplace_back("Set-Cookie", *outcome.set_cookie);
  for (auto& header : outcome.headers) response.headers.push_back(std::move(header));
  if (outcome.reply.status == 401) response.headers.emplace_back("WWW-Authenticate", "Bearer");
  if (outcome.reply.status == 405) response.headers.emplace_back("Allow", "GET, HEAD");
  const std::string duration = milliseconds(std::chrono::steady_clock::now() - start);
  response.headers.emplace_back("Server-Timing", "app;dur=" + duration);
  // Logged before the answer leaves, so a client that has its answer finds the line written.
  log_access(request.method, request.path, response.status, duration + "ms", outcome.sso_user_id);
  return response;
}

HostServer::Outcome HostServer::route(const HttpRequest& request, const Generation& generation) const {
  const Policy& policy = *generation.policy;
  const Json& default_extension = get_or_null(policy.cvn_settings(), "default_extension");
  const std::optional<std::string> extension = path_extension(request.path);
  const std::string format = extension.value_or(default_extension.get<std::string>());

  // The path arrives unescaped and ends at a NUL, so an escaped NUL is looked for in the target.
  if (!valid_percent_encoding(request.target) || request.target.find("%00") != std::string::npos) {
    return {error_reply(400, format, "Bad Request", "The request target is malformed."), {}, {}};
  }
  if (request.method != "GET" && request.method != "HEAD") {
    return {error_reply(405, format, "Method Not Allowed", "Only GET is served."), {}, {}};
  }
  const Route route = match_route(request.path);
  if (route.kind == Route::Kind::health) return {{200, "json", "", {{"status", "ok"}}}, {}, {}};
  if (route.kind == Route::Kind::stylesheet) return {{}, {}, {}, {}, stylesheet()};
  if (route.kind == Route::Kind::login || route.kind == Route::Kind::callback || route.kind == Route::Kind::logout) {
    const SignInContext context{policy, generation.sign_in, generation.sessions, generation.login_states,
                                generation.session_secure};
    SignInAnswer answer = route.kind == Route::Kind::login      ? sign_in_.login(request, context)
                          : route.kind == Route::Kind::callback ? sign_in_.callback(request, context)
                                                                : SignIn::logout(generation.session_secure);
    return {std::move(answer.reply), std::move(answer.sso_user_id), {}, std::move(answer.headers)};
  }
  if (route.kind == Route::Kind::not_found) {
    return {error_reply(404, format, "Not Found", "There is nothing at this address."), {}, {}};
  }
  if (format != "html" && format != "json") {
    return {error_reply(404, "json", "Not Found", "There is nothing at this address."), {}, {}};
  }

  const host::Users& users = *policy.users();
  HostRequest host_request(request, open_session(request, generation.sessions, users));
  const CookieSession& session = host_request.session();
  Outcome outcome;
  std::optional<std::string> user_id;
  std::string via;
  if (session.accepted()) {
    user_id = session.data().user_id;
    outcome.sso_user_id = session.data().sso_user_id;
    via = "session";
  } else {
    if (session.had_cookie() && error_log_->should_log(spdlog::level::debug)) {
      error_log_->debug("ignoring a session cookie that is invalid, expired or names an unknown user");
    }
    user_id = policy.authenticated_userid(host_request);
    const Json& sso = get_or_null(host::current_thread_log_context(), "sso_user_id");
    if (sso.is_string()) outcome.sso_user_id = sso.get<std::string>();
    via = "jwt";
  }
  outcome.set_cookie = session_cookie(session, generation.sessions, generation.session_secure);

  if (!user_id) {
    const bool browser = format == "html" && !generation.sign_in.empty();
    outcome.reply = error_reply(401, format, "401 Unauthorized",
                                browser ? "Sign in with your identity provider below."
                                        : "Sign in: send an Authorization: Bearer header with a token of a configured "
                                          "identity provider (query parameter idp_id or header "
                                          "X-Identity-Provider-Id).");
    if (browser) outcome.reply.links = SignIn::links(generation.sign_in, request.target);
    return outcome;
  }
  const Json sso = outcome.sso_user_id ? Json(*outcome.sso_user_id) : Json();
  if (route.kind == Route::Kind::whoami) {
    const std::size_t index = *users.find(*user_id);
    outcome.reply = {200, format, "Signed in as " + *user_id,
                     {{"user_id", *user_id}, {"authenticated_by", via}, {"sso_user_id", sso},
                      {"user", users.record(index)}}};
  } else {
    outcome.reply = {200, format, "Resource " + route.resource,
                     {{"resource", route.resource}, {"user_id", *user_id}, {"authenticated_by", via}}};
  }
  outcome.reply.links = {{"Sign out", "/logout"}};
  return outcome;
}

void HostServer::log_access(std::string_view method, std::string_view target, int status, const std::string& duration,
                            const std::optional<std::string>& sso_user_id) const {
  const std::string_view path = target.substr(0, target.find('?'));
  std::string line = method.empty() ? std::string("-") : printable(method, 16);
  line += " " + (path.empty() ? std::string("-") : printable(path)) + " " + std::to_string(status) + " " + duration +
          " sso_user_id=" + (sso_user_id ? printable(*sso_user_id, 100) : std::string("-"));
  access_log_->info(spdlog::string_view_t(line.data(), line.size()));
}

}  // namespace corvane::apps
