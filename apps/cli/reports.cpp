#include "cli/reports.hpp"

#include <sstream>

#include "cli/config_lint.hpp"
#include "cli/recording_request.hpp"
#include "cli/request_hints.hpp"
#include "common/app_config.hpp"
#include "corvane/host/log_context.hpp"

namespace corvane::apps {
namespace {

// A key member as the report shows it: an absent kid or alg is null.
Json member(const std::string& text) { return text; }
Json member(const std::optional<std::string>& text) { return text ? Json(*text) : Json(); }

struct Built {
  host::IniSettings settings;
  Json settings_before;  // the authentication settings as read, before construction changed them
  std::shared_ptr<const auth::jwt::JWTAuthenticationPolicy> policy;
  std::shared_ptr<const Users> users;
  Json startup_log;
};

// Construction with every record of the logger captured, at debug level.
Built build(const std::string& ini_path) {
  Built built;
  built.settings = read_ini(ini_path);
  FileConfiguration loaded = load_auth_configuration(ini_path, built.settings);
  built.settings_before = *loaded.auth.auth_settings;
  built.users = std::move(loaded.users);
  logging::Capture capture(spdlog::level::debug);
  built.policy = build_policy(ini_path, built.settings, std::move(loaded.auth));
  built.startup_log = log_records(capture.records());
  return built;
}

Json endpoints_of(const Json& config) {
  Json out = Json::object();
  for (std::string_view key : auth::jwt::IDPConfig::required_well_known_configuration_keys) {
    out[std::string(key)] = get_or_null(config, key);
  }
  return out;
}

std::string text_or(const Json& value, const std::string& fallback) {
  return value.is_string() ? value.get<std::string>() : value.is_null() ? fallback : dump(value);
}

}  // namespace

Json log_records(const std::vector<logging::Record>& records) {
  Json out = Json::array();
  for (const auto& record : records) {
    out.push_back({{"level", std::string(logging::level_name(record.level))}, {"message", record.message}});
  }
  return out;
}

Json check_report(const std::string& ini_path) {
  Built built = build(ini_path);
  const auto& policy = *built.policy;
  Json report = {{"ini", ini_path}, {"jwt_enabled", truthy(policy.jwt_enabled)}, {"providers", Json::array()}};
  const Json& after = auth::jwt::JWTAuthenticationPolicy::configured_providers(policy.auth_settings());
  for (const auto& state : policy.provider_states) {
    const std::string& id = state.idp_id;
    Json entry = {{"id", id}, {"status", std::string(auth::jwt::status_name(state.status))}};
    if (state.status == auth::jwt::ProviderState::Status::skipped) entry["reason"] = state.error;
    const auth::jwt::IDPConfig* idp = policy.idps ? policy.idps->find(id) : nullptr;
    const Json& config_after = get_or_null(after, id);
    entry["idp_name"] = get_or_null(config_after, "idp_name");
    entry["endpoints"] = endpoints_of(idp ? *idp->idp_config : config_after);
    Json keys = Json::array();
    if (idp && idp->offline_jwks) {
      for (const auto& key : idp->offline_jwks->keys()) {
        keys.push_back({{"kid", member(key.kid())}, {"kty", member(key.kty())}, {"alg", member(key.alg())}});
      }
    }
    entry["keys"] = std::move(keys);
    report["providers"].push_back(std::move(entry));
  }
  const auth::jwt::TokenCache* cache = policy.token_cache.get();
  report["token_cache"] = {{"entries", cache ? cache->limits().entries : 0},
                           {"max_token_bytes", cache ? cache->limits().max_token_bytes : 0}};
  report["warnings"] = configuration_warnings(
      {ini_path, &built.settings, &built.settings_before, built.users.get(), &policy});
  report["startup_log"] = std::move(built.startup_log);
  return report;
}

bool all_ready(const Json& check) {
  for (const Json& provider : check["providers"]) {
    if (provider["status"] == "skipped") return false;
  }
  return true;
}

namespace {

// A missing-key error's text is the key alone, in quotes: said in words too.
std::string explained_reason(const std::string& reason) {
  const bool bare_key = reason.size() > 2 && reason.front() == '\'' && reason.back() == '\'' &&
                        reason.find('\'', 1) == reason.size() - 1;
  if (!bare_key) return reason;
  return reason + " (the key " + reason +
         " is missing: the provider's configuration does not give it, nor does a discovery document that loaded)";
}

}  // namespace

std::string render_check(const Json& check) {
  std::ostringstream out;
  out << check["ini"].get<std::string>() << ": JWT authentication "
      << (check["jwt_enabled"].get<bool>() ? "enabled" : "disabled") << ", " << check["providers"].size()
      << " provider(s)\n";
  const Json& cache = check["token_cache"];
  if (cache["entries"] == 0) {
    out << "token cache: off\n";
  } else {
    out << "token cache: " << cache["entries"].get<std::size_t>() << " entries, tokens up to "
        << cache["max_token_bytes"].get<std::size_t>() << " bytes\n";
  }
  for (const Json& provider : check["providers"]) {
    out << "\n" << provider["id"].get<std::string>() << ": " << provider["status"].get<std::string>() << "\n";
    if (provider.contains("reason")) {
      out << "  reason:                 " << explained_reason(provider["reason"].get<std::string>()) << "\n";
    }
    for (const auto& [key, value] : provider["endpoints"].items()) {
      out << "  " << key << ":" << std::string(23 - key.size(), ' ') << text_or(value, "-") << "\n";
    }
    for (const Json& key : provider["keys"]) {
      out << "  key:                    kid=" << text_or(key["kid"], "-") << " kty=" << text_or(key["kty"], "-")
          << " alg=" << text_or(key["alg"], "-") << "\n";
    }
  }
  if (!check["warnings"].empty()) out << "\nconfiguration warnings:\n";
  for (const Json& warning : check["warnings"]) {
    out << "  " << warning["file"].get<std::string>() << ": " << warning["key"].get<std::string>() << ": "
        << warning["message"].get<std::string>() << "\n";
  }
  bool first = true;
  for (const Json& record : check["startup_log"]) {
    if (record["level"] != "warning") continue;
    if (first) out << "\nwarnings:\n";
    first = false;
    out << "  " << record["message"].get<std::string>() << "\n";
  }
  return out.str();
}

namespace {

std::vector<std::string> refusal_hints(const AuthOptions& options, const auth::jwt::JWTAuthenticationPolicy& policy) {
  std::string ready;
  if (policy.idps) {
    for (const auto& [id, idp] : *policy.idps) ready += (ready.empty() ? "" : ", ") + id;
  }
  if (ready.empty()) ready = "none";
  if (!truthy(policy.jwt_enabled)) return {"JWT authentication is not enabled in the authentication settings"};
  try {
    policy.get_token_from_header(options.authorization);
  } catch (const ValueError&) {
    const std::string problem = bearer_problem(options.authorization);
    return {"the Authorization value breaks the bearer rules" + (problem.empty() ? "" : ": " + problem)};
  }
  const bool named = (options.idp_id && !options.idp_id->empty()) || options.idp_header;
  if (!named) {
    return {"no provider was named: pass --idp-id ID (the query parameter idp_id) or --idp-header ID (the header "
            "X-Identity-Provider-Id); ready providers: " + ready};
  }
  const std::string id = options.idp_id && !options.idp_id->empty() ? *options.idp_id : *options.idp_header;
  if (!policy.idps || !policy.idps->find(id)) {
    return {"provider \"" + id + "\" is not ready in this configuration; ready providers: " + ready};
  }
  return {"the token was refused or matched no single user: see the warning in the request log"};
}

}  // namespace

AuthResult auth_report(const AuthOptions& options) {
  Built built = build(options.ini_path);
  apps::SimpleRequest request;
  request.header("Authorization", options.authorization);
  if (options.idp_id) request.query("idp_id", *options.idp_id);
  if (options.idp_header) request.header("X-Identity-Provider-Id", *options.idp_header);
  if (options.format) request.format(*options.format);

  host::current_thread_log_context() = Json::object();
  std::optional<std::string> user_id;
  std::vector<std::string> principals;
  Json log;
  AuthResult result;
  {
    logging::Capture capture(spdlog::level::debug);
    try {
      user_id = built.policy->authenticated_userid(request);
      result.first_call_records = capture.records().size();
      principals = built.policy->effective_principals(request);
    } catch (const Exception& error) {
      throw ConfigError(options.ini_path + ": the request failed (" + describe_error(error) + ")");
    } catch (const Json::exception& error) {
      throw ConfigError(options.ini_path + ": the request failed (" + error.what() + ")");
    }
    log = log_records(capture.records());
  }
  const apps::MemorySession& session = request.session();
  Json report = Json::object();
  report["user_id"] = user_id ? Json(*user_id) : Json();
  report["principals"] = principals;
  report["startup_log"] = std::move(built.startup_log);
  report["log"] = std::move(log);
  report["log_context"] = host::current_thread_log_context();
  report["session"] = {{"invalidated", session.invalidated},
                       {"remembered", session.remembered ? Json(*session.remembered) : Json()},
                       {"sso_user_id", session.sso_user_id ? Json(*session.sso_user_id) : Json()}};
  report["settings"] = built.policy->auth_settings();
  if (!user_id) result.hints = refusal_hints(options, *built.policy);
  result.report = std::move(report);
  return result;
}

std::string render_auth(const AuthResult& result) {
  const Json& auth = result.report;
  std::ostringstream out;
  const Json& user = auth["user_id"];
  out << (user.is_null() ? "not authenticated" : "authenticated as " + user.get<std::string>()) << "\n";
  std::string principals;
  for (const Json& p : auth["principals"]) principals += (principals.empty() ? "" : ", ") + p.get<std::string>();
  out << "principals:   " << (principals.empty() ? "-" : principals) << "\n";
  const Json& session = auth["session"];
  out << "session:      invalidated " << session["invalidated"].get<int>() << " time(s), remembered "
      << text_or(session["remembered"], "-") << ", sso_user_id " << text_or(session["sso_user_id"], "-") << "\n";
  out << "log context:  " << dump(auth["log_context"]) << "\n";
  for (const std::string& hint : result.hints) out << "why:          " << hint << "\n";
  const auto records = [&out](const char* title, auto first, auto last) {
    if (first == last) return;
    out << "\n" << title << ":\n";
    for (; first != last; ++first) {
      const std::string level = (*first)["level"].template get<std::string>();
      out << "  " << level << std::string(level.size() < 8 ? 8 - level.size() : 1, ' ')
          << (*first)["message"].template get<std::string>() << "\n";
    }
  };
  const Json& startup = auth["startup_log"];
  const Json& log = auth["log"];
  const auto split = log.begin() + static_cast<std::ptrdiff_t>(std::min(result.first_call_records, log.size()));
  records("start-up log", startup.begin(), startup.end());
  records("request log, authenticated_userid", log.begin(), split);
  records("request log, effective_principals (authenticates the same request again)", split, log.end());
  return out.str();
}

}  // namespace corvane::apps
