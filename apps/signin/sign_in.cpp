#include "signin/sign_in.hpp"

#include <strings.h>

#include <algorithm>

#include "common/app_config.hpp"
#include "common/app_errors.hpp"
#include "common/oauth_crypto.hpp"
#include "corvane/util/base64.hpp"
#include "corvane/util/http.hpp"
#include "corvane/util/json.hpp"
#include "http/url_form.hpp"
#include "identity/host_request.hpp"
#include "identity/host_session.hpp"

namespace corvane::apps {
namespace {

constexpr std::size_t kMaxNextLength = 1024;
// Where a sign-in lands when the page it started from is not known.
constexpr std::string_view kDefaultNext = "/whoami.html";

long long seconds_now() { return SignedValue::seconds(SignedValue::Clock::now()); }

std::string clear_cookie(std::string_view name, bool secure) {
  return std::string(name) + "=; Path=/; Max-Age=0; HttpOnly; SameSite=Lax" + (secure ? "; Secure" : "");
}

std::optional<std::string_view> cookie_of(const HttpRequest& request, std::string_view name) {
  for (const auto& [header, value] : request.headers) {
    if (header.size() != 6 || strncasecmp(header.c_str(), "Cookie", 6) != 0) continue;
    if (auto found = find_cookie(value, name)) return found;
  }
  return std::nullopt;
}

const SignInProvider* find_provider(const std::vector<SignInProvider>& providers, std::string_view id) {
  for (const SignInProvider& provider : providers) {
    if (provider.idp_id == id) return &provider;
  }
  return nullptr;
}

// The claims of a compact JWT, read without verifying it: only to compare
// its nonce and audience. The policy verifies the same token after.
Json unverified_claims(std::string_view token) {
  const auto first = token.find('.');
  const auto second = first == std::string_view::npos ? first : token.find('.', first + 1);
  std::string payload;
  if (second == std::string_view::npos || !base64url_decode(token.substr(first + 1, second - first - 1), payload)) {
    throw ValueError("the ID token is not a compact JWT");
  }
  Json claims = parse_json(payload, 16);
  if (!claims.is_object()) throw ValueError("the ID token's claims are not a JSON object");
  return claims;
}

bool audience_holds(const Json& aud, const std::string& client_id) {
  if (aud.is_string()) return aud.get<std::string>() == client_id;
  if (!aud.is_array()) return false;
  for (const Json& each : aud) {
    if (each.is_string() && each.get<std::string>() == client_id) return true;
  }
  return false;
}

// "error: description" of an OAuth error answer, or the status alone.
std::string token_error(const corvane::HttpClientResponse& answer) {
  std::string text = "status " + std::to_string(answer.status);
  try {
    const Json body = parse_json(answer.body, 8);
    const Json& error = get_or_null(body, "error");
    if (error.is_string()) text += ", " + error.get<std::string>();
    const Json& description = get_or_null(body, "error_description");
    if (description.is_string()) text += ": " + description.get<std::string>();
  } catch (const Exception&) {
    // Not an OAuth error document: the status says enough.
  }
  return text;
}

}  // namespace

bool local_path(std::string_view next) {
  if (next.empty() || next.size() > kMaxNextLength || next.front() != '/') return false;
  if (next.size() > 1 && (next[1] == '/' || next[1] == '\\')) return false;
  for (unsigned char c : next) {
    if (c <= 0x20 || c >= 0x7f || c == '\\') return false;
  }
  return true;
}

std::vector<std::pair<std::string, std::string>> SignIn::links(const std::vector<SignInProvider>& providers,
                                                               std::string_view next) {
  std::vector<std::pair<std::string, std::string>> out;
  for (const SignInProvider& provider : providers) {
    HttpFields query = {{"idp_id", provider.idp_id}};
    if (local_path(next)) query.emplace_back("next", std::string(next));
    out.emplace_back("Sign in with " + provider.idp_name, with_query("/login", query));
  }
  return out;
}

SignInAnswer SignIn::refuse(int status, const std::string& title, const std::string& message,
                            const std::string& reason, bool secure, bool spend_state) const {
  log_->warn("sign-in refused: " + reason);
  SignInAnswer answer{error_reply(status, "html", title, message), {}, std::nullopt};
  answer.reply.links = {{"Back to the start", std::string(kDefaultNext)}};
  if (spend_state) answer.headers.emplace_back("Set-Cookie", clear_cookie(kLoginCookieName, secure));
  return answer;
}

SignInAnswer SignIn::login(const HttpRequest& request, const SignInContext& context) const {
  const HttpFields& query = request.query;
  const std::string idp_id(field(query, "idp_id").value_or(""));
  const std::string next(field(query, "next").value_or(kDefaultNext));
  const SignInProvider* provider = find_provider(context.providers, idp_id);
  if (!provider) {
    return refuse(404, "No sign-in with this provider",
                  "There is no sign-in for the identity provider \"" + idp_id + "\" here.",
                  "no sign-in settings for identity provider \"" + printable(idp_id) + "\"", context.secure, false);
  }
  if (!local_path(next)) {
    return refuse(400, "Bad Request", "The page to return to must be a path on this site.",
                  "\"next\" is not a path on this host: \"" + printable(next) + "\"", context.secure, false);
  }
  LoginState state{provider->idp_id, random_token(), random_token(), next,
                   seconds_now() + LoginStateCodec::kLifetime.count()};
  std::string scope = "openid";
  for (const std::string& each : provider->scopes) scope += " " + each;
  const std::string location =
      with_query(provider->authorization_endpoint,
                 {{"response_type", "code"},
                  {"client_id", provider->client_id},
                  {"redirect_uri", provider->redirect_uri},
                  {"scope", scope},
                  {"state", state.state},
                  {"nonce", state.nonce},
                  {"code_challenge", s256_challenge(context.states.code_verifier(state.state))},
                  {"code_challenge_method", "S256"}});
  SignInAnswer answer{{302, "html", "Signing in", {{"location", location}}}, {}, std::nullopt};
  answer.reply.links = {{"Continue to " + provider->idp_name, location}};
  answer.headers.emplace_back("Location", location);
  answer.headers.emplace_back("Set-Cookie", std::string(kLoginCookieName) + "=" + context.states.encode(state) +
                                                "; Path=/; Max-Age=" +
                                                std::to_string(LoginStateCodec::kLifetime.count()) +
                                                "; HttpOnly; SameSite=Lax" + (context.secure ? "; Secure" : ""));
  answer.headers.emplace_back("Cache-Control", "no-store");
  return answer;
}

bool SignIn::first_finish(const LoginState& state) const {
  std::lock_guard lock(mutex_);
  if (finished_.contains(state.state)) return false;
  if (finished_.size() >= kMaxFinished) {
    const long long now = seconds_now();
    std::erase_if(finished_, [now](const auto& entry) { return entry.second <= now; });
    if (finished_.size() >= kMaxFinished) return false;
  }
  finished_.emplace(state.state, state.expires);
  return true;
}

SignInAnswer SignIn::callback(const HttpRequest& request, const SignInContext& context) const {
  auto accepted = accept_answer(request, context);
  if (auto* refused = std::get_if<SignInAnswer>(&accepted)) return std::move(*refused);
  const Accepted& answer = std::get<Accepted>(accepted);
  auto redeemed = redeem_code(answer, context);
  if (auto* refused = std::get_if<SignInAnswer>(&redeemed)) return std::move(*refused);
  const std::string& id_token = std::get<std::string>(redeemed);
  if (auto refused = check_id_token(id_token, answer, context.secure)) return std::move(*refused);
  return log_in(id_token, answer, context);
}

std::variant<SignIn::Accepted, SignInAnswer> SignIn::accept_answer(const HttpRequest& request,
                                                                   const SignInContext& context) const {
  const bool secure = context.secure;
  const std::optional<std::string_view> cookie = cookie_of(request, kLoginCookieName);
  std::optional<LoginState> state = cookie ? context.states.decode(*cookie) : std::nullopt;
  const std::string_view given_state = field(request.query, "state").value_or("");
  if (!state) {
    return refuse(400, "Sign-in expired", "This sign-in was not started here or took too long. Please sign in again.",
                  cookie ? "the sign-in cookie is invalid or expired" : "no sign-in cookie", secure);
  }
  if (given_state.empty() || !same_text(given_state, state->state)) {
    return refuse(400, "Sign-in refused", "The answer from the identity provider does not belong to this sign-in.",
                  "the state does not match the sign-in cookie's (identity provider \"" + printable(state->idp_id) +
                      "\")",
                  secure);
  }
  if (const auto error = field(request.query, "error")) {
    const std::string description(field(request.query, "error_description").value_or(""));
    return refuse(401, "Sign-in failed", "The identity provider did not sign you in: " + std::string(*error) +
                                             (description.empty() ? "" : " (" + description + ")"),
                  "identity provider \"" + printable(state->idp_id) + "\" answered " + printable(*error) + ": " +
                      printable(description),
                  secure);
  }
  std::string code(field(request.query, "code").value_or(""));
  if (code.empty()) {
    return refuse(400, "Sign-in refused", "The identity provider's answer carries no code.",
                  "no code in the callback (identity provider \"" + printable(state->idp_id) + "\")", secure);
  }
  const SignInProvider* provider = find_provider(context.providers, state->idp_id);
  if (!provider) {
    return refuse(400, "Sign-in refused", "This identity provider no longer offers a sign-in here.",
                  "identity provider \"" + printable(state->idp_id) + "\" has no sign-in any more", secure);
  }
  if (!first_finish(*state)) {
    return refuse(400, "Sign-in refused", "This sign-in has already been used. Please sign in again.",
                  "a finished sign-in was replayed (identity provider \"" + printable(state->idp_id) + "\")", secure);
  }
  std::string who = "identity provider \"" + printable(state->idp_id) + "\": ";
  return Accepted{std::move(*state), provider, std::move(code), std::move(who)};
}

std::variant<std::string, SignInAnswer> SignIn::redeem_code(const Accepted& accepted,
                                                            const SignInContext& context) const {
  const bool secure = context.secure;
  const SignInProvider& provider = *accepted.provider;
  FormFields form = {{"grant_type", "authorization_code"},
                     {"code", accepted.code},
                     {"redirect_uri", provider.redirect_uri},
                     {"client_id", provider.client_id},
                     {"code_verifier", context.states.code_verifier(accepted.state.state)}};
  if (provider.client_secret) form.emplace_back("client_secret", *provider.client_secret);
  corvane::HttpClientResponse exchanged;
  try {
    exchanged = http_post_form(provider.token_endpoint, form, provider.http_timeout);
  } catch (const Exception& error) {
    return refuse(502, "Sign-in failed", "The identity provider could not be reached. Please try again later.",
                  accepted.who + "the token endpoint failed: " + describe_error(error), secure);
  }
  if (exchanged.status != 200) {
    return refuse(401, "Sign-in failed", "The identity provider refused to complete the sign-in.",
                  accepted.who + "the token endpoint refused the code (" + printable(token_error(exchanged)) + ")",
                  secure);
  }
  try {
    const Json answer = parse_json(exchanged.body, 16);
    const Json& found = get_or_null(answer, "id_token");
    if (!found.is_string()) throw ValueError("no id_token in the token endpoint's answer");
    return found.get<std::string>();
  } catch (const Exception& error) {
    return refuse(502, "Sign-in failed", "The identity provider's answer could not be read.",
                  accepted.who + describe_error(error), secure);
  }
}

std::optional<SignInAnswer> SignIn::check_id_token(const std::string& id_token, const Accepted& accepted,
                                                   bool secure) const {
  Json claims;
  try {
    claims = unverified_claims(id_token);
  } catch (const Exception& error) {
    return refuse(502, "Sign-in failed", "The identity provider's answer could not be read.",
                  accepted.who + describe_error(error), secure);
  }
  const Json& nonce = get_or_null(claims, "nonce");
  if (!nonce.is_string() || !same_text(nonce.get<std::string>(), accepted.state.nonce)) {
    return refuse(401, "Sign-in failed", "The identity provider's token does not belong to this sign-in.",
                  accepted.who + "the ID token's nonce does not match the sign-in's", secure);
  }
  const std::string& client_id = accepted.provider->client_id;
  if (!audience_holds(get_or_null(claims, "aud"), client_id)) {
    return refuse(401, "Sign-in failed", "The identity provider's token was issued for another application.",
                  accepted.who + "the ID token's audience does not hold the client id \"" + printable(client_id) +
                      "\"",
                  secure);
  }
  return std::nullopt;
}

SignInAnswer SignIn::log_in(const std::string& id_token, const Accepted& accepted,
                            const SignInContext& context) const {
  const bool secure = context.secure;
  // Authenticated exactly as a bearer request for an HTML page: the policy
  // verifies the token against the key set loaded at start-up and logs the
  // user in to this request's session.
  constexpr std::string_view kPage = "/callback.html";
  const HttpRequest bearer{"GET", std::string(kPage), std::string(kPage),
                           {{"Authorization", "Bearer " + base64_encode(id_token)}},
                           {{"idp_id", accepted.provider->idp_id}}, {}};
  HostRequest internal(bearer, CookieSession{});
  auth::jwt::Authentication result;
  try {
    result = context.policy.authenticate(internal);
  } catch (const std::exception& error) {
    // A fault of this host's configuration (say, a user record without the
    // attribute), not of the sign-in: an error, on a page the person can read.
    log_->error(accepted.who + "the policy failed: " + describe_error(error));
    SignInAnswer answer{error_reply(500, "html", "Internal Server Error",
                                    "The sign-in could not be completed; the reason is in the server's log."),
                        {}, std::nullopt};
    answer.headers.emplace_back("Set-Cookie", clear_cookie(kLoginCookieName, secure));
    return answer;
  }
  if (!result.user_id) {
    return refuse(401, "Sign-in failed",
                  "Your identity provider signed you in, but this site does not know you or could not verify the "
                  "token.",
                  accepted.who + "the policy refused the ID token (see its warning)", secure);
  }
  const std::string& next = accepted.state.next;
  SignInAnswer answer{{303, "html", "Signed in", {{"location", next}}}, {}, std::nullopt};
  answer.sso_user_id = std::move(result.sso_user_id);
  answer.reply.links = {{"Continue", next}};
  answer.headers.emplace_back("Location", next);
  answer.headers.emplace_back("Set-Cookie", clear_cookie(kLoginCookieName, secure));
  if (auto session = session_cookie(internal.session(), context.sessions, secure)) {
    answer.headers.emplace_back("Set-Cookie", *session);
  }
  answer.headers.emplace_back("Cache-Control", "no-store");
  return answer;
}

SignInAnswer SignIn::logout(bool secure) {
  SignInAnswer answer{{200, "html", "Signed out", {{"message", "You are signed out of this site."}}}, {}, std::nullopt};
  answer.reply.links = {{"Sign in again", std::string(kDefaultNext)}};
  answer.headers.emplace_back("Set-Cookie", clear_cookie(kSessionCookieName, secure));
  answer.headers.emplace_back("Cache-Control", "no-store");
  return answer;
}

}  // namespace corvane::apps
