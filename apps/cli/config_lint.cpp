#include "cli/config_lint.hpp"

#include <algorithm>
#include <map>
#include <vector>

#include "corvane/util/errors.hpp"
#include "corvane/util/unicode.hpp"
#include "signin/sign_in.hpp"

namespace corvane::apps {
namespace {

// The keys a provider's configuration may hold.
const std::vector<std::string_view> kProviderKeys = {
    "enabled",        "idp_name", "claim_attribute",        "user_config_attribute", "well_known_configuration",
    "jwks_uri",       "authorization_endpoint", "token_endpoint",
    // The reference host's browser sign-in.
    "client_id",      "client_secret", "redirect_uri", "scopes", "token_endpoint_auth_method",
    "userinfo_endpoint", "issuer", "authorization_response_iss_parameter_supported",
};

// The ini keys of [app:main] that this system and its reference host read.
// Keys outside these prefixes belong to the host and are not judged.
const std::vector<std::string_view> kIniKeys = {
    "corvane.auth_settings",  "corvane.users",     "corvane.default_extension", "corvane.session_secret",
    "corvane.session_previous_secrets", "corvane.session_secure", "corvane.session_lifetime", "corvane.log_level",
    "corvane.access_log", "corvane.reload_interval",
    "jwt_cvn.http_timeout", "jwt_cvn.token_cache_entries", "jwt_cvn.token_cache_max_token_bytes",
};
constexpr std::string_view kIniPrefixes[] = {"corvane.", "jwt_cvn."};

// Beyond this many users with one fault, the rest are counted, not listed.
constexpr std::size_t kListedUsers = 5;

std::size_t edit_distance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

class Warnings {
 public:
  void add(const std::string& file, const std::string& key, std::string message) {
    list_.push_back({{"file", file}, {"key", key}, {"message", std::move(message)}});
  }
  // One warning per listed user (key and message), then one for the rest.
  void add_users(const std::string& file, const std::vector<std::pair<std::string, std::string>>& found,
                 const std::string& rest_key, const std::string& rest) {
    for (std::size_t i = 0; i < found.size() && i < kListedUsers; ++i) add(file, found[i].first, found[i].second);
    if (found.size() > kListedUsers) add(file, rest_key, std::to_string(found.size() - kListedUsers) + " more " + rest);
  }
  Json take() { return std::move(list_); }

 private:
  Json list_ = Json::array();
};

std::string unknown_key_message(std::string_view key, const std::vector<std::string_view>& known) {
  std::string message = "unknown key \"" + std::string(key) + "\", ignored";
  const std::string suggestion = nearest_key(key, known);
  if (!suggestion.empty()) message += "; did you mean \"" + suggestion + "\"?";
  return message;
}

void lint_ini(const LintInput& input, Warnings& warnings) {
  for (const auto& entry : input.settings->values()) {
    const auto& key = entry.first;  // a named reference: clang 14 cannot capture a structured binding
    const bool ours = std::any_of(std::begin(kIniPrefixes), std::end(kIniPrefixes),
                                  [&](std::string_view prefix) { return key.rfind(prefix, 0) == 0; });
    if (!ours || std::find(kIniKeys.begin(), kIniKeys.end(), key) != kIniKeys.end()) continue;
    warnings.add(input.ini_path, key, unknown_key_message(key, kIniKeys));
  }
}

// The users whose `attribute` no request could read, and those that share a
// comparison form (a token for either is refused as ambiguous).
void lint_users(const LintInput& input, const std::string& users_file, const std::string& provider_key,
                const std::string& attribute, Warnings& warnings) {
  const std::string consequence = " (read by " + provider_key + "): every request of that provider fails with an error";
  std::vector<std::pair<std::string, std::string>> unusable;
  std::map<std::string, std::vector<std::string>> by_form;
  const Users& users = *input.users;
  for (std::size_t i = 0; i < users.size(); ++i) {
    const Json record = users.record(i);
    const std::string id(users.user_id(i));
    const auto it = record.is_object() ? record.find(attribute) : record.end();
    if (it == record.end()) {
      unusable.emplace_back(id + "." + attribute, "user \"" + id + "\" has no attribute \"" + attribute + "\"" + consequence);
    } else if (!it->is_string()) {
      unusable.emplace_back(id + "." + attribute,
                            "user \"" + id + "\" holds " + type_name(*it) + ", not text" + consequence);
    } else {
      by_form[comparison_form(it->get_ref<const std::string&>())].push_back(id);
    }
  }
  warnings.add_users(users_file, unusable, attribute, "user(s) lack a text \"" + attribute + "\"" + consequence);

  std::vector<std::pair<std::string, std::string>> shared;
  for (const auto& [form, ids] : by_form) {
    if (ids.size() < 2) continue;
    std::string names;
    for (const std::string& id : ids) names += (names.empty() ? "\"" : ", \"") + id + "\"";
    shared.emplace_back(attribute, "users " + names + " share \"" + form + "\" once trimmed and lower-cased (read by " +
                                       provider_key + "): their tokens are refused as ambiguous");
  }
  warnings.add_users(users_file, shared, attribute, "group(s) of users share a value of \"" + attribute + "\"");
}

void lint_provider(const LintInput& input, const std::string& auth_file, const std::string& users_file,
                   const std::string& id, const Json& config, Warnings& warnings) {
  const std::string base = "authentication_policies.jwt.identity_providers." + id;
  if (!config.is_object()) return;  // construction reports it
  for (const auto& [key, value] : config.items()) {
    if (std::find(kProviderKeys.begin(), kProviderKeys.end(), key) == kProviderKeys.end()) {
      warnings.add(auth_file, base + "." + key, unknown_key_message(key, kProviderKeys));
    }
  }
  if (!truthy(get_or_null(config, "enabled"))) return;
  const auto named = [](const Json& value) { return value.is_string() && !value.get_ref<const std::string&>().empty(); };
  for (const char* key : {"claim_attribute", "user_config_attribute"}) {
    const Json& value = get_or_null(config, key);
    if (named(value)) continue;
    warnings.add(auth_file, base + "." + key,
                 std::string(value.is_null() ? "missing or null" : "not a non-empty text") +
                     ": no token of this provider can be matched to a user");
  }
  const Json& attribute = get_or_null(config, "user_config_attribute");
  if (named(attribute)) lint_users(input, users_file, base, attribute.get<std::string>(), warnings);

  const auth::jwt::IDPConfig* idp = input.policy->idps ? input.policy->idps->find(id) : nullptr;
  if (!idp || !idp->offline_jwks) return;
  const auto& keys = idp->offline_jwks->keys();
  const auto without_kid =
      std::count_if(keys.begin(), keys.end(), [](const jose::JWK& key) { return !key.kid().has_value(); });
  if (without_kid > 1) {
    warnings.add(get_or_null(*idp->idp_config, "jwks_uri").is_string()
                     ? (*idp->idp_config)["jwks_uri"].get<std::string>()
                     : auth_file,
                 base + ".jwks_uri",
                 std::to_string(without_kid) +
                     " keys without \"kid\" in one key set: a token without \"kid\" is tried against each, and a "
                     "token with one can use none of them");
  }
}

}  // namespace

std::string nearest_key(std::string_view key, const std::vector<std::string_view>& known) {
  std::string best;
  std::size_t best_distance = 0;
  for (std::string_view candidate : known) {
    const std::size_t distance = edit_distance(key, candidate);
    if (best.empty() || distance < best_distance) best = candidate, best_distance = distance;
  }
  // Three edits, or a third of the name for short ones: typos, not other words.
  const std::size_t allowed = std::min<std::size_t>(3, std::max<std::size_t>(1, best.size() / 3));
  return best_distance <= allowed ? best : std::string();
}

Json configuration_warnings(const LintInput& input) {
  Warnings warnings;
  lint_ini(input, warnings);
  const std::string auth_file = input.settings->get("corvane.auth_settings", "").get<std::string>();
  const std::string users_file = input.settings->get("corvane.users", "").get<std::string>();
  // The settings as written, before construction marked skipped providers disabled.
  for (const auto& [id, config] :
       auth::jwt::JWTAuthenticationPolicy::configured_providers(*input.auth_settings).items()) {
    lint_provider(input, auth_file, users_file, id, config, warnings);
  }
  std::vector<SignInProblem> problems;
  const std::vector<SignInProvider> sign_in = sign_in_providers(*input.policy, problems);
  for (const SignInProblem& problem : problems) {
    warnings.add(auth_file, "authentication_policies.jwt.identity_providers." + problem.idp_id + "." + problem.key,
                 problem.message);
  }
  for (const SignInProvider& provider : sign_in) {
    if (auto note = unsupported_claim_note(provider)) {
      warnings.add(auth_file, "authentication_policies.jwt.identity_providers." + provider.idp_id + ".claim_attribute",
                   *note);
    }
  }
  return warnings.take();
}

}  // namespace corvane::apps
