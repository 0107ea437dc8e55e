#include "host_server.hpp"

#ifndef CPPHTTPLIB_OPENSSL_SUPPORT
#define CPPHTTPLIB_OPENSSL_SUPPORT
#endif
#include <httplib.h>
#include <pthread.h>
#include <spdlog/sinks/stdout_sinks.h>

#include <CLI/CLI.hpp>
#include <csignal>
#include <ctime>
#include <ostream>
#include <regex>
#include <thread>

#include "app_config.hpp"
#include "corvane/host/utils.hpp"
#include "corvane/util/logging.hpp"
#include "host_request.hpp"

namespace corvane::apps {
namespace {

// Bounds on what one client can make the host hold or wait for.
constexpr std::size_t kMaxHeaderBytes = 16 * 1024;
constexpr std::size_t kMaxPayload = 64 * 1024;
constexpr time_t kSocketTimeoutSeconds = 5;
// Longer than any path the host serves; checked before any pattern runs.
constexpr std::size_t kMaxPathLength = 256;

std::string html_escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

// Request data in a log line: control characters cannot forge lines.
std::string printable(std::string_view text, std::size_t limit = 200) {
  static constexpr char hex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : text.substr(0, limit)) {
    if (c < 0x20 || c == 0x7f || c == '"' || c == '\\') {
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  if (text.size() > limit) out += "...";
  return out;
}

std::string page(const std::string& title, const std::string& body) {
  return "<!doctype html>\n<html><head><meta charset=\"utf-8\"><title>" + html_escape(title) +
         "</title></head>\n<body>\n<h1>" + html_escape(title) + "</h1>\n" + body + "</body></html>\n";
}

struct Reply {
  int status;
  std::string format;  // "json" or "html"
  std::string title;   // of the HTML page
  Json document;       // the JSON body, rendered as a table in HTML
};

void send(httplib::Response& res, const Reply& reply) {
  res.status = reply.status;
  if (reply.format == "html") {
    std::string rows;
    for (const auto& [key, value] : reply.document.items()) {
      rows += "<tr><th>" + html_escape(key) + "</th><td id=\"" + html_escape(key) + "\">" +
              html_escape(value.is_string() ? value.get<std::string>() : dump(value)) + "</td></tr>\n";
    }
    res.set_content(page(reply.title, "<table>\n" + rows + "</table>\n"), "text/html; charset=utf-8");
  } else {
    res.set_content(dump(reply.document) + "\n", "application/json");
  }
}

Reply error_reply(int status, const std::string& format, const std::string& title, const std::string& message) {
  return {status, format == "html" ? "html" : "json", title, {{"error", title}, {"message", message}}};
}

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

}  // namespace

HostConfig load_host_config(const std::string& ini_path) {
  HostConfig config;
  config.ini_path = ini_path;
  const host::IniSettings app = read_ini(ini_path, "app:main");
  const host::IniSettings server = read_ini(ini_path, "server:main");
  if (!app.contains("corvane.session_secret")) {
    throw ConfigError(ini_path + ": missing required key 'corvane.session_secret' in [app:main]");
  }
  config.session_secret = app.get("corvane.session_secret").get<std::string>();
  if (config.session_secret.size() < 16) {
    throw ConfigError(ini_path + ": corvane.session_secret must be at least 16 characters");
  }
  config.session_secure = ini_bool(ini_path, app, "corvane.session_secure", false);
  config.session_lifetime =
      std::chrono::seconds(ini_int(ini_path, app, "corvane.session_lifetime", 8 * 3600, 60, 30L * 24 * 3600));
  config.log_level = log_level(ini_path, app);
  config.host = server.get("host", "127.0.0.1").get<std::string>();
  config.port = static_cast<int>(ini_int(ini_path, server, "port", 8080, 0, 65535));
  config.threads = static_cast<int>(ini_int(ini_path, server, "threads", 8, 1, 256));
  return config;
}

HostServer::HostServer(HostConfig config)
    : config_(std::move(config)),
      sessions_(config_.session_secret, config_.session_lifetime),
      access_log_(make_logger("corvane.host.access", config_.access_sink, true)),
      error_log_(make_logger("corvane.host", config_.error_sink, false)),
      server_(std::make_unique<httplib::Server>()) {
  error_log_->set_level(std::min(config_.log_level, spdlog::level::info));
  Built built = build_from_files(config_.ini_path);
  for (const std::string& id : built.skipped) {
    error_log_->warn("identity provider \"" + id + "\" is not served: its configuration is invalid (see the warnings)");
  }
  policy_.store(std::move(built.policy));

  const int threads = config_.threads;
  server_->new_task_queue = [threads] { return new httplib::ThreadPool(static_cast<std::size_t>(threads)); };
  // Responses go out in two writes (head, body); without this a client's
  // delayed acknowledgement holds every keep-alive answer for 40 ms.
  server_->set_tcp_nodelay(true);
  server_->set_read_timeout(kSocketTimeoutSeconds, 0);
  server_->set_write_timeout(kSocketTimeoutSeconds, 0);
  server_->set_keep_alive_timeout(kSocketTimeoutSeconds);
  server_->set_keep_alive_max_count(100);
  server_->set_payload_max_length(kMaxPayload);
  auto handler = [this](const httplib::Request& req, httplib::Response& res) { handle(req, res); };
  server_->Get(".*", handler);
  server_->Post(".*", handler);
  server_->Put(".*", handler);
  server_->Patch(".*", handler);
  server_->Delete(".*", handler);
  server_->Options(".*", handler);
  server_->set_logger([this](const httplib::Request& req, const httplib::Response& res) { log_access(req, res); });
}

HostServer::~HostServer() { stop(); }

int HostServer::bind() {
  if (config_.port == 0) {
    const int port = server_->bind_to_any_port(config_.host);
    if (port <= 0) throw ConfigError("cannot bind " + config_.host + " on a free port");
    return port;
  }
  if (!server_->bind_to_port(config_.host, config_.port)) {
    throw ConfigError("cannot bind " + config_.host + ":" + std::to_string(config_.port) +
                      " (in use, or not an address of this machine)");
  }
  return config_.port;
}

void HostServer::serve() {
  serving_ = true;
  if (!stop_requested_) server_->listen_after_bind();
  serving_ = false;
}

void HostServer::stop() {
  stop_requested_ = true;
  // stop() of a server that has not started listening does nothing; wait
  // (bounded) for serve() to get there.
  for (int i = 0; i < 500 && serving_ && !server_->is_running(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  server_->stop();
}

bool HostServer::reload() {
  std::lock_guard lock(reload_mutex_);
  try {
    Built built = build_from_files(config_.ini_path);
    const auto current = policy_.load();
    for (const std::string& id : built.skipped) {
      if (current->idps && current->idps->find(id)) {
        throw ConfigError("identity provider \"" + id + "\" would be skipped (see the warnings)");
      }
    }
    policy_.store(std::move(built.policy));
    error_log_->info("reloaded the configuration from " + config_.ini_path);
    return true;
  } catch (const std::exception& error) {
    error_log_->error("reload failed, the previous configuration stays in use: " + describe_error(error));
    return false;
  }
}

void HostServer::handle(const httplib::Request& req, httplib::Response& res) const {
  const auto start = std::chrono::steady_clock::now();
  host::current_thread_log_context() = Json::object();
  try {
    route(req, res);
  } catch (const std::exception& error) {
    error_log_->error(req.method + " " + printable(req.path) + ": " + describe_error(error));
    const auto extension = path_extension(req.path);
    send(res, error_reply(500, extension.value_or("json"), "Internal Server Error",
                          "The request could not be handled; the reason is in the server's log."));
  }
  const auto micros =
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count();
  res.set_header("Server-Timing", "app;dur=" + std::to_string(micros / 1000) + "." +
                                      std::to_string(micros % 1000 / 100));
}

void HostServer::route(const httplib::Request& req, httplib::Response& res) const {
  const std::shared_ptr<const Policy> policy = policy_.load();
  const Json& default_extension = get_or_null(policy->cvn_settings(), "default_extension");
  const std::optional<std::string> extension = path_extension(req.path);
  const std::string format = extension.value_or(default_extension.get<std::string>());

  std::size_t header_bytes = 0;
  for (const auto& [name, value] : req.headers) header_bytes += name.size() + value.size() + 4;
  if (header_bytes > kMaxHeaderBytes) {
    return send(res, error_reply(431, format, "Request Header Fields Too Large", "The headers are too large."));
  }
  if (!valid_percent_encoding(req.target) || req.path.find('\0') != std::string::npos) {
    return send(res, error_reply(400, format, "Bad Request", "The request target is malformed."));
  }
  if (req.method != "GET" && req.method != "HEAD") {
    res.set_header("Allow", "GET, HEAD");
    return send(res, error_reply(405, format, "Method Not Allowed", "Only GET is served."));
  }
  if (req.path == "/health") return send(res, {200, "json", "", {{"status", "ok"}}});

  static const std::regex whoami(R"(/whoami(\.(json|html))?)");
  static const std::regex resource(R"(/resources/([A-Za-z0-9_-]{1,64})(\.(json|html))?)");
  std::smatch match;
  const std::string& path = req.path;
  if (path.size() > kMaxPathLength) {
    return send(res, error_reply(404, format, "Not Found", "There is nothing at this address."));
  }
  const bool is_whoami = std::regex_match(path, match, whoami);
  std::string resource_name;
  if (!is_whoami) {
    if (!std::regex_match(path, match, resource)) {
      return send(res, error_reply(404, format, "Not Found", "There is nothing at this address."));
    }
    resource_name = match[1].str();
  }
  if (format != "html" && format != "json") {
    return send(res, error_reply(404, "json", "Not Found", "There is nothing at this address."));
  }

  HostRequest request(req, sessions_);
  CookieSession& session = request.session();
  std::optional<std::string> user_id;
  std::string via;
  const auto& users = *policy->users();
  if (session.valid_cookie() && session.data().user_id && users.find(*session.data().user_id)) {
    user_id = session.data().user_id;
    via = "session";
    if (session.data().sso_user_id) host::current_thread_log_context()["sso_user_id"] = *session.data().sso_user_id;
  } else {
    if (session.had_cookie() && error_log_->should_log(spdlog::level::debug)) {
      error_log_->debug("ignoring a session cookie that is invalid, expired or names an unknown user");
    }
    user_id = policy->authenticated_userid(request);
    via = "jwt";
  }

  if (session.changed() && session.data().user_id) {
    std::string cookie = std::string(kSessionCookieName) + "=" + sessions_.encode(session.data()) +
                         "; Path=/; Max-Age=" + std::to_string(sessions_.lifetime().count()) +
                         "; HttpOnly; SameSite=Lax";
    if (config_.session_secure) cookie += "; Secure";
    res.set_header("Set-Cookie", cookie);
  } else if (session.changed() && session.had_cookie()) {
    // Invalidated without a new login: the old cookie must not linger.
    res.set_header("Set-Cookie", std::string(kSessionCookieName) + "=; Path=/; Max-Age=0; HttpOnly; SameSite=Lax");
  }

  if (!user_id) {
    res.set_header("WWW-Authenticate", "Bearer");
    return send(res, error_reply(401, format, "401 Unauthorized",
                                 "Sign in: send an Authorization: Bearer header with a token of a configured "
                                 "identity provider (query parameter idp_id or header X-Identity-Provider-Id)."));
  }
  const Json& sso = get_or_null(host::current_thread_log_context(), "sso_user_id");
  if (is_whoami) {
    const std::size_t index = *users.find(*user_id);
    return send(res, {200, format, "Signed in as " + *user_id,
                      {{"user_id", *user_id}, {"authenticated_by", via}, {"sso_user_id", sso},
                       {"user", users.record(index)}}});
  }
  send(res, {200, format, "Resource " + resource_name,
             {{"resource", resource_name}, {"user_id", *user_id}, {"authenticated_by", via}}});
}

void HostServer::log_access(const httplib::Request& req, const httplib::Response& res) const {
  const std::string timing = res.get_header_value("Server-Timing");
  const auto at = timing.find("dur=");
  const Json& sso = get_or_null(host::current_thread_log_context(), "sso_user_id");
  std::string line = req.method.empty() ? std::string("-") : printable(req.method, 16);
  line += " " + (req.path.empty() ? std::string("-") : printable(req.path)) + " " + std::to_string(res.status) + " " +
          (at == std::string::npos ? std::string("-") : timing.substr(at + 4) + "ms") +
          " sso_user_id=" + (sso.is_string() ? printable(sso.get<std::string>(), 100) : std::string("-"));
  access_log_->info(spdlog::string_view_t(line.data(), line.size()));
  // The next request on this thread starts clean even if it never reaches a handler.
  host::current_thread_log_context() = Json::object();
}

int run_host(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  CLI::App app{"corvane-host: the reference host; authenticates requests with session cookies and JWTs"};
  std::string ini;
  std::optional<int> port;
  app.add_option("--ini", ini, "The ini file: [app:main] settings, [server:main] host, port, threads")->required();
  app.add_option("--port", port, "Listen on this port instead (0 picks a free one)")->check(CLI::Range(0, 65535));
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error, out, err) == 0 ? kOkExit : kUsageExit;
  }

  // Blocked before any thread starts, so every thread inherits the mask and
  // only the signal thread receives them.
  sigset_t signals;
  sigemptyset(&signals);
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&signals, sig);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  std::unique_ptr<HostServer> server;
  int bound = 0;
  try {
    HostConfig config = load_host_config(ini);
    if (port) config.port = *port;
    auto sink = std::make_shared<spdlog::sinks::stderr_sink_mt>();
    sink->set_pattern("%Y-%m-%dT%H:%M:%S.%e %n %l %v");
    logging::add_sink(sink);
    logging::logger().set_level(config.log_level);
    server = std::make_unique<HostServer>(std::move(config));
    bound = server->bind();
  } catch (const std::exception& error) {
    err << "corvane-host: error: " << describe_error(error) << "\n";
    return kUsageExit;
  }
  out << "listening on http://" << server->config().host << ":" << bound << std::endl;

  std::atomic<bool> finished{false};
  std::thread signal_thread([&] {
    while (!finished) {
      // A timeout so the thread also ends when serving ends for another reason.
      const timespec wait{0, 200 * 1000 * 1000};
      const int sig = sigtimedwait(&signals, nullptr, &wait);
      if (sig == SIGHUP) {
        server->reload();
      } else if (sig == SIGTERM || sig == SIGINT) {
        server->stop();
        return;
      }
    }
  });
  server->serve();
  finished = true;
  signal_thread.join();
  return kOkExit;
}

}  // namespace corvane::apps
