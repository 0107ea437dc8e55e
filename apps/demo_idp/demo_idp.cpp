#include "demo_idp/demo_idp.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <set>

#include "common/app_config.hpp"
#include "common/app_errors.hpp"
#include "common/oauth_crypto.hpp"
#include "corvane/util/base64.hpp"
#include "corvane/util/url.hpp"
#include "demo_idp/jwk_tools.hpp"
#include "http/render.hpp"
#include "http/url_form.hpp"

namespace corvane::apps {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxBody = 8 * 1024;

// Whether every address `host` resolves to is a loopback one (127.0.0.0/8,
// ::1): the text alone proves nothing ("127.example.org" is a name), and a
// name that does not resolve binds nowhere.
bool loopback(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return false;
  std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> owned(found, &freeaddrinfo);
  for (const addrinfo* entry = found; entry; entry = entry->ai_next) {
    if (entry->ai_family == AF_INET) {
      const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ai_addr);
      if ((ntohl(address->sin_addr.s_addr) >> 24) != 127) return false;
    } else if (entry->ai_family == AF_INET6) {
      const auto* address = reinterpret_cast<const sockaddr_in6*>(entry->ai_addr);
      if (!IN6_IS_ADDR_LOOPBACK(&address->sin6_addr)) return false;
    } else {
      return false;
    }
  }
  return true;
}

HttpResponse json_answer(int status, const Json& document) {
  return {status, "application/json", dump(document) + "\n", {{"Cache-Control", "no-store"}}, false};
}

// An OAuth error answer of the token endpoint.
HttpResponse oauth_error(int status, const std::string& error, const std::string& description) {
  return json_answer(status, {{"error", error}, {"error_description", description}});
}

HttpResponse html_answer(int status, const std::string& title, const std::string& body) {
  return {status, "text/html; charset=utf-8",
          "<!doctype html>\n<html><head><meta charset=\"utf-8\"><title>" + html_escape(title) +
              "</title><style>body{font:16px/1.5 system-ui,sans-serif;margin:2rem auto;max-width:40rem;padding:0 "
              "1rem}li{margin:.5rem 0}</style></head>\n<body>\n<h1>" +
              html_escape(title) + "</h1>\n" + body + "</body></html>\n",
          {{"Cache-Control", "no-store"}}, false};
}

HttpResponse redirect(const std::string& location) {
  HttpResponse answer = html_answer(302, "Redirecting",
                                    "<p><a href=\"" + html_escape(location) + "\">Continue</a></p>\n");
  answer.headers.emplace_back("Location", location);
  return answer;
}

std::string text_of(const HttpFields& fields, std::string_view name) {
  return std::string(field(fields, name).value_or(""));
}

bool has_word(std::string_view words, std::string_view word) {
  while (!words.empty()) {
    const auto end = words.find(' ');
    if (words.substr(0, end) == word) return true;
    words = end == std::string_view::npos ? std::string_view() : words.substr(end + 1);
  }
  return false;
}

// The host part of a URL's netloc, without the port.
std::string host_of(const std::string& netloc) {
  if (!netloc.empty() && netloc.front() == '[') return netloc.substr(0, netloc.find(']') + 1);
  return netloc.substr(0, netloc.find(':'));
}

// Exact, except that a registered loopback address accepts any port, as for
// native applications (RFC 8252, 7.3): a host on an ephemeral port can sign in.
bool redirect_allowed(const std::vector<std::string>& registered, const std::string& given) {
  if (std::find(registered.begin(), registered.end(), given) != registered.end()) return true;
  try {
    const UrlParts asked = url_split(given);
    const std::string host = host_of(asked.netloc);
    const std::string port = asked.netloc.substr(std::min(asked.netloc.size(), host.size() + 1));
    if (asked.scheme != "http" || (host != "127.0.0.1" && host != "[::1]") || !asked.fragment.empty() ||
        port.find_first_not_of("0123456789") != std::string::npos) {
      return false;
    }
    return std::any_of(registered.begin(), registered.end(), [&](const std::string& each) {
      const UrlParts known = url_split(each);
      return known.scheme == "http" && host_of(known.netloc) == host && known.path == asked.path &&
             known.query == asked.query;
    });
  } catch (const Exception&) {
    return false;
  }
}

// The value of header `name` (case-insensitive), or "".
std::string header_of(const HttpRequest& request, std::string_view name) {
  for (const auto& [header, value] : request.headers) {
    if (header.size() == name.size() &&
        std::equal(header.begin(), header.end(), name.begin(), [](char a, char b) {
          return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
        })) {
      return value;
    }
  }
  return "";
}

// The client id and secret of "Authorization: Basic", each form-decoded
// (RFC 6749 2.3.1); nullopt without the header, ("", "") for a malformed one.
std::optional<std::pair<std::string, std::string>> basic_credentials(const HttpRequest& request) {
  const std::string value = header_of(request, "Authorization");
  constexpr std::string_view scheme = "Basic ";
  if (value.size() < scheme.size() || strncasecmp(value.c_str(), scheme.data(), scheme.size()) != 0) {
    return std::nullopt;
  }
  std::string decoded;
  if (!b64decode_padded(std::string_view(value).substr(scheme.size()), decoded)) return std::pair<std::string, std::string>{};
  const auto colon = decoded.find(':');
  if (colon == std::string::npos) return std::pair<std::string, std::string>{};
  const auto id = percent_decode(decoded.substr(0, colon), true);
  const auto secret = percent_decode(decoded.substr(colon + 1), true);
  if (!id || !secret) return std::pair<std::string, std::string>{};
  return std::pair{*id, *secret};
}

long long unix_now() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

DemoIdp::DemoIdp(DemoIdpOptions options)
    : options_(std::move(options)),
      listener_(HttpLimits{.threads = 2, .max_body_bytes = kMaxBody},
                [this](const HttpRequest& request) { return handle(request); }, nullptr) {
  if (options_.client_id.empty()) throw ConfigError("the demo provider needs a client id");
  if (options_.redirect_uris.empty()) throw ConfigError("the demo provider needs at least one redirect address");
  if (!loopback(options_.host)) {
    throw ConfigError("the demo provider signs anyone in without a password: it listens on a loopback address "
                      "only, not on " + options_.host);
  }
  if (!options_.users.is_object() || options_.users.empty()) {
    throw ConfigError("the demo provider needs users: a JSON object of user id to claims");
  }
  for (const auto& [id, claims] : options_.users.items()) {
    if (!claims.is_object()) throw ConfigError("the demo user \"" + id + "\" is not a JSON object of claims");
  }
  if (get_or_null(options_.private_jwk, "kty") == "oct") {
    throw ConfigError("the demo provider publishes its key set: an HMAC key would publish its secret");
  }
  mint_compact(options_.private_jwk, Json::object());  // a key that cannot sign fails here, not per token
  public_key_set_ = {{"keys", Json::array({public_jwk(options_.private_jwk)})}};
}

int DemoIdp::start() {
  const int port = listener_.start(options_.host, options_.port);
  const bool v6 = options_.host.find(':') != std::string::npos;
  std::lock_guard lock(mutex_);
  issuer_ = "http://" + (v6 ? "[" + options_.host + "]" : options_.host) + ":" + std::to_string(port);
  return port;
}

std::string DemoIdp::issuer() const {
  std::lock_guard lock(mutex_);
  return issuer_;
}

HttpResponse DemoIdp::handle(const HttpRequest& request) {
  const std::string& path = request.path;
  if (path == "/userinfo") return userinfo(request);
  if (path == "/token") {
    if (request.method != "POST") return oauth_error(405, "invalid_request", "the token endpoint takes a POST");
    return token(request);
  }
  if (request.method != "GET" && request.method != "HEAD") {
    return oauth_error(405, "invalid_request", "only GET is served here");
  }
  if (path == "/.well-known/openid-configuration") {
    const std::string base = issuer();
    std::set<std::string> claims = {"sub", "iss", "aud", "exp", "iat", "nonce"};
    for (const auto& [id, user] : options_.users.items()) {
      for (const auto& [name, value] : user.items()) claims.insert(name);
    }
    return json_answer(200, {{"issuer", base},
                             {"authorization_endpoint", base + "/authorize"},
                             {"token_endpoint", base + "/token"},
                             {"userinfo_endpoint", base + "/userinfo"},
                             {"jwks_uri", base + "/jwks.json"},
                             {"authorization_response_iss_parameter_supported", true},
                             {"claims_supported", claims},
                             {"response_types_supported", {"code"}},
                             {"grant_types_supported", {"authorization_code"}},
                             {"subject_types_supported", {"public"}},
                             {"id_token_signing_alg_values_supported", {get_or_null(options_.private_jwk, "alg")}},
                             {"code_challenge_methods_supported", {"S256"}},
                             {"token_endpoint_auth_methods_supported", {"client_secret_basic", "client_secret_post", "none"}},
                             {"scopes_supported", {"openid", "email", "profile"}}});
  }
  if (path == "/jwks.json") return json_answer(200, public_key_set_);
  if (path == "/authorize") return authorize(request, false);
  if (path == "/approve") return authorize(request, true);
  return oauth_error(404, "not_found", "there is nothing at this address");
}

HttpResponse DemoIdp::authorize(const HttpRequest& request, bool approve) {
  const HttpFields& query = request.query;
  const std::string client_id = text_of(query, "client_id"), redirect_uri = text_of(query, "redirect_uri");
  // A wrong client or address is never redirected to: it is the person who must hear of it.
  if (client_id != options_.client_id) {
    return html_answer(400, "Unknown application", "<p>The application asking you to sign in is not known here.</p>\n");
  }
  if (!redirect_allowed(options_.redirect_uris, redirect_uri)) {
    return html_answer(400, "Unknown return address",
                       "<p>The application's return address is not registered here.</p>\n");
  }
  const std::string state = text_of(query, "state");
  const auto refuse = [&](const std::string& error, const std::string& description) {
    HttpFields back = {{"error", error}, {"error_description", description}};
    if (!state.empty()) back.emplace_back("state", state);
    back.emplace_back("iss", issuer());
    return redirect(with_query(redirect_uri, back));
  };
  if (text_of(query, "response_type") != "code") return refuse("unsupported_response_type", "only code is issued");
  if (!has_word(text_of(query, "scope"), "openid")) return refuse("invalid_scope", "the scope must hold openid");
  const std::string challenge = text_of(query, "code_challenge");
  if (text_of(query, "code_challenge_method") != "S256" || challenge.size() != 43) {
    return refuse("invalid_request", "PKCE with S256 is required");
  }
  if (!approve) {
    std::string list;
    for (const auto& [id, claims] : options_.users.items()) {
      HttpFields pick = query;
      pick.emplace_back("user", id);
      const Json& email = get_or_null(claims, "email");
      const std::string label = id + (email.is_string() ? " (" + email.get<std::string>() + ")" : "");
      list += "<li><a href=\"" + html_escape(with_query("/approve", pick)) + "\">" + html_escape(label) + "</a></li>\n";
    }
    const std::string cancel =
        with_query(redirect_uri, {{"error", "access_denied"}, {"state", state}, {"iss", issuer()}});
    return html_answer(200, "Demo identity provider: pick a user",
                       "<p>Sign in to <strong>" + html_escape(client_id) + "</strong> as:</p>\n<ul>\n" + list +
                           "</ul>\n<p><a href=\"" + html_escape(cancel) + "\">Cancel</a></p>\n");
  }
  if (request.method == "HEAD") return html_answer(200, "Demo identity provider", "");  // never spends a code
  const std::string user = text_of(query, "user");
  if (!options_.users.contains(user)) return refuse("access_denied", "no such demo user");
  const std::string code = random_token();
  {
    std::lock_guard lock(mutex_);
    const auto now = Clock::now();
    std::erase_if(codes_, [now](const auto& entry) { return entry.second.expires <= now; });
    if (codes_.size() >= kMaxPendingCodes) return refuse("temporarily_unavailable", "too many sign-ins at once");
    codes_[code] = Code{user, redirect_uri, text_of(query, "nonce"), challenge, now + options_.code_lifetime};
  }
  HttpFields back = {{"code", code}};
  if (!state.empty()) back.emplace_back("state", state);
  back.emplace_back("iss", issuer());
  return redirect(with_query(redirect_uri, back));
}

HttpResponse DemoIdp::token(const HttpRequest& request) {
  const std::optional<HttpFields> form = parse_form(request.body);
  if (!form) return oauth_error(400, "invalid_request", "the form body is malformed");
  if (text_of(*form, "grant_type") != "authorization_code") {
    return oauth_error(400, "unsupported_grant_type", "only authorization_code is granted");
  }
  if (auto refused = client_refusal(request, *form)) return std::move(*refused);
  std::optional<Code> code;
  {
    // Taken out on first sight: a code is spent by any exchange, even a failed one.
    std::lock_guard lock(mutex_);
    auto found = codes_.find(text_of(*form, "code"));
    if (found != codes_.end()) {
      code = std::move(found->second);
      codes_.erase(found);
    }
  }
  if (!code) return oauth_error(400, "invalid_grant", "the code is unknown or already used");
  if (Clock::now() >= code->expires) return oauth_error(400, "invalid_grant", "the code has expired");
  if (text_of(*form, "redirect_uri") != code->redirect_uri) {
    return oauth_error(400, "invalid_grant", "the redirect_uri differs from the authorization request's");
  }
  if (!same_text(s256_challenge(text_of(*form, "code_verifier")), code->challenge)) {
    return oauth_error(400, "invalid_grant", "the code_verifier does not match the code_challenge");
  }
  const long long now = unix_now();
  Json claims = {{"iss", issuer()}, {"sub", code->user}, {"aud", options_.client_id}, {"iat", now},
                 {"exp", now + options_.token_lifetime.count()}};
  if (!code->nonce.empty()) claims["nonce"] = code->nonce;
  if (options_.claims_in_id_token) {
    for (const auto& [name, value] : options_.users[code->user].items()) {
      if (!claims.contains(name)) claims[name] = value;
    }
  }
  return json_answer(200, {{"access_token", issue_access_token(code->user)},
                           {"token_type", "Bearer"},
                           {"expires_in", options_.token_lifetime.count()},
                           {"id_token", mint_compact(options_.private_jwk, claims)}});
}

std::optional<HttpResponse> DemoIdp::client_refusal(const HttpRequest& request, const HttpFields& form) const {
  const auto basic = basic_credentials(request);
  const auto form_secret = field(form, "client_secret");
  if (basic && form_secret) {
    return oauth_error(400, "invalid_request", "the client authenticates one way only, not with Basic and the form");
  }
  const std::string client_id = basic ? basic->first : text_of(form, "client_id");
  const std::string secret = basic ? basic->second : std::string(form_secret.value_or(""));
  const bool secret_ok = !options_.client_secret || same_text(secret, *options_.client_secret);
  const auto form_id = field(form, "client_id");
  if (client_id != options_.client_id || !secret_ok || (form_id && *form_id != client_id)) {
    return oauth_error(401, "invalid_client", "unknown client or wrong secret");
  }
  return std::nullopt;
}

std::string DemoIdp::issue_access_token(const std::string& user) {
  std::string token = random_token();
  std::lock_guard lock(mutex_);
  if (access_order_.size() >= kMaxAccessTokens) {
    access_tokens_.erase(access_order_.front());
    access_order_.erase(access_order_.begin());
  }
  access_tokens_[token] = Access{user, Clock::now() + options_.token_lifetime};
  access_order_.push_back(token);
  return token;
}

HttpResponse DemoIdp::userinfo(const HttpRequest& request) {
  const std::string value = header_of(request, "Authorization");
  constexpr std::string_view scheme = "Bearer ";
  std::optional<std::string> user;
  if (value.size() > scheme.size() && strncasecmp(value.c_str(), scheme.data(), scheme.size()) == 0) {
    std::lock_guard lock(mutex_);
    const auto found = access_tokens_.find(value.substr(scheme.size()));
    if (found != access_tokens_.end() && Clock::now() < found->second.expires) user = found->second.user;
  }
  if (!user) {
    HttpResponse refused = oauth_error(401, "invalid_token", "the access token is unknown or expired");
    refused.headers.emplace_back("WWW-Authenticate", "Bearer error=\"invalid_token\"");
    return refused;
  }
  Json claims = options_.users[*user];
  claims["sub"] = *user;
  return json_answer(200, claims);
}

}  // namespace corvane::apps
