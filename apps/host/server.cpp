#include "host/server.hpp"

#include <spdlog/sinks/stdout_sinks.h>

#include <algorithm>
#include <array>

#include "common/app_config.hpp"
#include "corvane/host/log_context.hpp"
#include "host/access_log.hpp"
#include "host/forward_auth.hpp"
#include "host/routes.hpp"
#include "http/render.hpp"
#include "identity/host_request.hpp"
#include "identity/host_session.hpp"
#include "identity/identify.hpp"
#include "signin/logout.hpp"

namespace corvane::apps {
namespace {

// `bare`: the lines carry their own time, name and level (JSON lines).
std::shared_ptr<spdlog::logger> make_logger(const char* name, std::shared_ptr<spdlog::sinks::sink> sink,
                                            bool to_stdout, bool bare = false) {
  if (!sink) {
    if (to_stdout) {
      sink = std::make_shared<spdlog::sinks::stdout_sink_mt>();
    } else {
      sink = std::make_shared<spdlog::sinks::stderr_sink_mt>();
    }
    sink->set_pattern(bare ? "%v" : "%Y-%m-%dT%H:%M:%S.%e %n %l %v");
  }
  auto logger = std::make_shared<spdlog::logger>(name, std::move(sink));
  logger->set_level(spdlog::level::info);
  logger->flush_on(spdlog::level::info);
  return logger;
}

std::string milliseconds(std::chrono::steady_clock::duration elapsed) {
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count();
  return std::to_string(micros / 1000) + "." + std::to_string(micros % 1000 / 100);
}

double as_milliseconds(std::chrono::steady_clock::duration elapsed) {
  return static_cast<double>(std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count()) / 1000;
}

}  // namespace

struct HostServer::Built {
  std::shared_ptr<const Policy> policy;
  std::shared_ptr<const Users> users;
  std::vector<std::string> skipped;
};

HostServer::Built HostServer::build_from_files(const std::string& ini_path) {
  const host::IniSettings settings = read_ini(ini_path);
  FileConfiguration loaded = load_auth_configuration(ini_path, settings);
  const Json& extension = get_or_null(loaded.auth.cvn_settings, "default_extension");
  if (extension != "html" && extension != "json") {
    throw ConfigError(ini_path + ": corvane.default_extension must be html or json for this host");
  }
  Built built{build_policy(ini_path, settings, std::move(loaded.auth)), std::move(loaded.users), {}};
  for (const auto& state : built.policy->provider_states) {
    if (state.status == auth::jwt::ProviderState::Status::skipped) built.skipped.push_back(state.idp_id);
  }
  return built;
}

struct HostServer::Outcome {
  Reply reply;
  std::optional<std::string> sso_user_id;
  std::optional<std::string> set_cookie;
  HttpFields headers = {};                  // more of the answer's headers
  std::optional<HttpResponse> raw = {};     // sent as it is instead of the rendered reply
};

HostServer::Generation HostServer::make_generation(Built built, const HostConfig& config) const {
  std::vector<SignInProblem> problems;
  std::vector<SignInProvider> sign_in = sign_in_providers(*built.policy, problems);
  for (const SignInProblem& problem : problems) {
    error_log_->warn("identity provider \"" + problem.idp_id + "\", " + problem.key + ": " + problem.message);
  }
  std::vector<std::string> secrets = {config.session_secret};
  secrets.insert(secrets.end(), config.session_previous_secrets.begin(), config.session_previous_secrets.end());
  return Generation{std::move(built.policy), std::move(built.users),
                    SessionCodec(config.session_secret, config.session_lifetime, config.session_previous_secrets),
                    config.session_secure, std::move(sign_in), LoginStateCodec(std::move(secrets))};
}

HostServer::HostServer(HostConfig config)
    : config_(std::move(config)),
      access_log_(make_logger("corvane.host.access", config_.access_sink, true, config_.access_log_json)),
      error_log_(make_logger("corvane.host", config_.error_sink, false)),
      sign_in_(error_log_, config_.max_finished_sign_ins),
      listener_(
          config_.limits, [this](const HttpRequest& request) { return handle(request, Listener::main); },
          [this](const HttpRefusal& refused) {
            log_access(refused.method, refused.target, refused.status, std::nullopt, std::nullopt);
          }) {
  error_log_->set_level(std::min(config_.log_level, spdlog::level::info));
  Built built = build_from_files(config_.ini_path);
  for (const std::string& id : built.skipped) {
    error_log_->warn("identity provider \"" + id + "\" is not served: its configuration is invalid (see the warnings)");
  }
  current_.store(std::make_shared<const Generation>(make_generation(std::move(built), config_)));
}

HostServer::~HostServer() {
  listener_.stop();
  if (metrics_listener_) metrics_listener_->stop();
}

int HostServer::bind() {
  const int port = listener_.start(config_.host, config_.port);
  if (config_.metrics_listen) {
    HttpLimits limits = config_.limits;
    limits.threads = 1;  // a scraper now and then
    limits.work_threads = 1;  // nothing there is deferred
    limits.work_queue = 0;
    metrics_listener_.emplace(
        limits, [this](const HttpRequest& request) { return handle(request, Listener::metrics); },
        [this](const HttpRefusal& refused) {
          log_access(refused.method, refused.target, refused.status, std::nullopt, std::nullopt);
        });
    metrics_port_ = metrics_listener_->start(config_.metrics_listen->host, config_.metrics_listen->port);
  }
  return port;
}

void HostServer::serve() {
  {
    std::unique_lock lock(stop_mutex_);
    stop_signal_.wait(lock, [this] { return stop_requested_; });
  }
  listener_.stop();
  if (metrics_listener_) metrics_listener_->stop();
}

void HostServer::stop() {
  {
    std::lock_guard lock(stop_mutex_);
    stop_requested_ = true;
  }
  stop_signal_.notify_all();
}

bool HostServer::reload(ReloadTrigger trigger) {
  std::lock_guard lock(reload_mutex_);
  // Every interval would repeat these two lines; /metrics counts the reloads.
  const auto progress = trigger == ReloadTrigger::interval ? spdlog::level::debug : spdlog::level::info;
  error_log_->log(progress, "reloading the configuration from " + config_.ini_path);
  try {
    const HostConfig fresh = load_host_config(config_.ini_path);
    Built built = build_from_files(config_.ini_path);
    const auto current = current_.load();
    std::optional<std::string> failing;
    for (const auto& state : built.policy->provider_states) {
      if (state.status != auth::jwt::ProviderState::Status::skipped) continue;
      if (!current->policy->idps || !current->policy->idps->find(state.idp_id)) continue;
      error_log_->warn("identity provider \"" + state.idp_id +
                       "\" fails in the rebuilt configuration, the running one keeps serving it: " + state.error);
      if (!failing) failing = state.idp_id;
    }
    if (failing) throw ConfigError("identity provider \"" + *failing + "\" would be skipped (see the warnings)");
    current_.store(std::make_shared<const Generation>(make_generation(std::move(built), fresh)));
    error_log_->log(progress, "reloaded the configuration from " + config_.ini_path);
    metrics_.count_reload(true);
    return true;
  } catch (const std::exception& error) {
    error_log_->error("reload failed, the previous configuration stays in use: " + describe_error(error));
    metrics_.count_reload(false);
    return false;
  }
}

HttpAnswer HostServer::handle(const HttpRequest& request, Listener listener) const {
  const auto start = Clock::now();
  const bool reads = request.method == "GET" || request.method == "HEAD";
  if (listener == Listener::metrics || !reads || match_route(request.path).kind != Route::Kind::callback) {
    return respond(request, *current_.load(), listener, start);
  }
  // The code exchange waits on the provider's token endpoint. The request
  // and the generation it started with (a reload may swap it meanwhile) are
  // held until the work ends.
  auto held = std::make_shared<const HttpRequest>(request);
  return HttpDeferred{
      [this, held, generation = current_.load(), start] { return respond(*held, *generation, Listener::main, start); },
      [this, held, start] { return busy(*held, start); }};
}

HttpResponse HostServer::respond(const HttpRequest& request, const Generation& generation, Listener listener,
                                 Clock::time_point start) const {
  // The policy records the request's sso user here; start each request clean.
  host::current_thread_log_context() = Json::object();
  Outcome outcome;
  try {
    outcome = route(request, generation, listener);
  } catch (const std::exception& error) {
    error_log_->error(request.method + " " + printable(request.path) + ": " + describe_error(error));
    outcome.reply = error_reply(500, path_extension(request.path).value_or("json"), "Internal Server Error",
                                "The request could not be handled; the reason is in the server's log.");
  }
  host::current_thread_log_context() = Json::object();
  return finish(request, std::move(outcome), start);
}

HttpResponse HostServer::busy(const HttpRequest& request, Clock::time_point start) const {
  metrics_.count_sign_in_busy();
  // The sign-in's cookie is kept: the same answer, sent again later, still completes it.
  Outcome outcome{error_reply(503, "html", "Service Unavailable",
                              "Too many sign-ins are being completed right now. Please try again in a moment."),
                  {}, {}, {{"Retry-After", "5"}, {"Cache-Control", "no-store"}}};
  outcome.reply.links = {{"Try again", request.target}};
  return finish(request, std::move(outcome), start);
}

HttpResponse HostServer::finish(const HttpRequest& request, Outcome outcome, Clock::time_point start) const {
  HttpResponse response = outcome.raw ? std::move(*outcome.raw) : render(outcome.reply);
  if (outcome.set_cookie) response.headers.emplace_back("Set-Cookie", *outcome.set_cookie);
  for (auto& header : outcome.headers) response.headers.push_back(std::move(header));
  if (response.status == 401) response.headers.emplace_back("WWW-Authenticate", "Bearer");
  if (response.status == 405) response.headers.emplace_back("Allow", "GET, HEAD");
  const auto elapsed = Clock::now() - start;
  response.headers.emplace_back("Server-Timing", "app;dur=" + milliseconds(elapsed));
  // Logged before the answer leaves, so a client that has its answer finds the line written.
  log_access(request.method, request.path, response.status, as_milliseconds(elapsed), outcome.sso_user_id);
  return response;
}

// What every handler of a routed request reads.
struct HostServer::Routed {
  const HttpRequest& request;
  const Generation& generation;
  const Route& route;
  const std::string& format;  // of the answer: the path's extension, else the default
};

HostServer::Outcome HostServer::route(const HttpRequest& request, const Generation& generation,
                                      Listener listener) const {
  const Json& default_extension = get_or_null(generation.policy->cvn_settings(), "default_extension");
  const std::string format = path_extension(request.path).value_or(default_extension.get<std::string>());

  // The path arrives unescaped and ends at a NUL, so an escaped NUL is looked for in the target.
  if (!valid_percent_encoding(request.target) || request.target.find("%00") != std::string::npos) {
    return {error_reply(400, format, "Bad Request", "The request target is malformed."), {}, {}};
  }
  Route matched = match_route(request.path);
  // Envoy's authorization request: the original method, the original target after the prefix.
  const bool prefixed_auth =
      matched.kind == Route::Kind::not_found && has_path_prefix(request.target, config_.auth_path_prefix);
  if (prefixed_auth) matched.kind = Route::Kind::auth;
  // The metrics listener serves the metrics and the health check alone; with one, the main port has no metrics.
  const bool for_scrapers = matched.kind == Route::Kind::metrics || matched.kind == Route::Kind::health;
  if (listener == Listener::metrics ? !for_scrapers
                                    : matched.kind == Route::Kind::metrics && config_.metrics_listen.has_value()) {
    matched = {};
  }
  const bool posts = matched.kind == Route::Kind::logout && request.method == "POST";
  if (!prefixed_auth && !posts && request.method != "GET" && request.method != "HEAD") {
    return {error_reply(405, format, "Method Not Allowed", "Only GET is served."), {}, {}};
  }
  using Handler = Outcome (HostServer::*)(const Routed&) const;
  static constexpr std::array<Handler, static_cast<std::size_t>(Route::Kind::not_found) + 1> handlers = [] {
    std::array<Handler, static_cast<std::size_t>(Route::Kind::not_found) + 1> table{};
    const auto set = [&table](Route::Kind kind, Handler handler) { table[static_cast<std::size_t>(kind)] = handler; };
    set(Route::Kind::health, &HostServer::serve_health);
    set(Route::Kind::metrics, &HostServer::serve_metrics);
    set(Route::Kind::auth, &HostServer::serve_forward_auth);
    set(Route::Kind::stylesheet, &HostServer::serve_stylesheet);
    set(Route::Kind::login, &HostServer::serve_sign_in);
    set(Route::Kind::callback, &HostServer::serve_sign_in);
    set(Route::Kind::logout, &HostServer::serve_logout);
    set(Route::Kind::whoami, &HostServer::serve_page);
    set(Route::Kind::resource, &HostServer::serve_page);
    set(Route::Kind::not_found, &HostServer::serve_not_found);
    return table;
  }();
  return (this->*handlers[static_cast<std::size_t>(matched.kind)])(Routed{request, generation, matched, format});
}

HostServer::Outcome HostServer::serve_health(const Routed&) const { return {{200, "json", "", {{"status", "ok"}}}, {}, {}}; }

HostServer::Outcome HostServer::serve_metrics(const Routed& routed) const {
  std::string body = metrics_.render(*routed.generation.policy, listener_.work_load());
  return {{}, {}, {}, {}, HttpResponse{200, kMetricsContentType, std::move(body), {}, false}};
}

HostServer::Outcome HostServer::serve_forward_auth(const Routed& routed) const {
  const Generation& generation = routed.generation;
  ForwardAuthAnswer answer =
      answer_forward_auth(routed.request, {*generation.policy, *generation.users, generation.sessions,
                                           generation.session_secure, metrics_, *error_log_,
                                           config_.auth_path_prefix});
  return {{}, std::move(answer.sso_user_id), {}, {}, std::move(answer.response)};
}

HostServer::Outcome HostServer::serve_stylesheet(const Routed&) const { return {{}, {}, {}, {}, stylesheet()}; }

HostServer::Outcome HostServer::serve_sign_in(const Routed& routed) const {
  const Generation& generation = routed.generation;
  const SignInContext context{*generation.policy, generation.sign_in, generation.sessions, generation.login_states,
                              generation.session_secure};
  const Route::Kind kind = routed.route.kind;
  SignInAnswer answer = kind == Route::Kind::login ? sign_in_.login(routed.request, context)
                                                   : sign_in_.callback(routed.request, context);
  // Each answer belongs to one person's sign-in (a refusal too): never kept by a cache.
  const bool uncached = std::any_of(answer.headers.begin(), answer.headers.end(),
                                    [](const auto& header) { return header.first == "Cache-Control"; });
  if (!uncached) answer.headers.emplace_back("Cache-Control", "no-store");
  return {std::move(answer.reply), std::move(answer.sso_user_id), {}, std::move(answer.headers)};
}

HostServer::Outcome HostServer::serve_logout(const Routed& routed) const {
  SignInAnswer answer = sign_out(routed.request, routed.generation.session_secure);
  return {std::move(answer.reply), std::move(answer.sso_user_id), {}, std::move(answer.headers)};
}

HostServer::Outcome HostServer::serve_not_found(const Routed& routed) const {
  return {error_reply(404, routed.format, "Not Found", "There is nothing at this address."), {}, {}};
}

// /whoami and /resources/NAME: the user's own answer, or the 401 page.
HostServer::Outcome HostServer::serve_page(const Routed& routed) const {
  const std::string& format = routed.format;
  if (format != "html" && format != "json") {
    return {error_reply(404, "json", "Not Found", "There is nothing at this address."), {}, {}};
  }
  const HttpRequest& request = routed.request;
  const Generation& generation = routed.generation;
  const Users& users = *generation.users;
  HostRequest host_request(request, open_session(request, generation.sessions, users));
  Outcome outcome;
  Identity identity = identify(host_request, *generation.policy, metrics_, *error_log_);
  const std::optional<std::string>& user_id = identity.user_id;
  const std::string& via = identity.via;
  outcome.sso_user_id = std::move(identity.sso_user_id);
  outcome.set_cookie = session_cookie(host_request.session(), generation.sessions, generation.session_secure);

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
  if (routed.route.kind == Route::Kind::whoami) {
    const std::size_t index = *users.find(*user_id);
    outcome.reply = {200, format, "Signed in as " + *user_id,
                     {{"user_id", *user_id}, {"authenticated_by", via}, {"sso_user_id", sso},
                      {"user", users.record(index)}}};
  } else {
    outcome.reply = {200, format, "Resource " + routed.route.resource,
                     {{"resource", routed.route.resource}, {"user_id", *user_id}, {"authenticated_by", via}}};
  }
  outcome.reply.buttons = {{"Sign out", "/logout"}};
  outcome.headers.emplace_back("Cache-Control", "no-store");  // it names the user
  return outcome;
}

void HostServer::log_access(std::string_view method, std::string_view target, int status,
                            std::optional<double> milliseconds, const std::optional<std::string>& sso_user_id) const {
  const AccessEntry entry{method, target, status, milliseconds, sso_user_id};
  const std::string line =
      config_.access_log_json ? access_json(entry, std::chrono::system_clock::now()) : access_text(entry);
  access_log_->info(spdlog::string_view_t(line.data(), line.size()));
}

}  // namespace corvane::apps
