#include "signin/sign_in.hpp"

#include <strings.h>

#include <algorithm>

#include "common/app_config.hpp"
#include "common/app_errors.hpp"
#include "common/oauth_crypto.hpp"
#include "corvane/util/json.hpp"
#include "http/url_form.hpp"
#include "identity/host_request.hpp"
#include "identity/host_session.hpp"
#include "signin/provider_requests.hpp"

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

bool audience_holds(const Json& aud, const std::string& client_id) {
  if (aud.is_string()) return aud.get<std::string>() == client_id;
  if (!aud.is_array()) return false;
  for (const Json& each : aud) {
    if (each.is_string() && each.get<std::string>() == client_id) return true;
  }
  return false;
}

// Why the ID token is not for this client (OpenID Connect Core 3.1.3.7: "aud"
// holds the client id; with several audiences "azp" must be present, and
// where present it must be the client id); empty when it is.
std::string audience_fault(const Json& claims, const std::string& client_id) {
  const Json& aud = get_or_null(claims, "aud");
  if (!audience_holds(aud, client_id)) {
    return "the ID token's audience does not hold the client id \"" + printable(client_id) + "\"";
  }
  const Json& azp = get_or_null(claims, "azp");
  if (azp.is_null() && aud.is_array() && aud.size() > 1) {
    return "the ID token has several audiences and no azp";
  }
  if (!azp.is_null() && azp != client_id) {
    return "the ID token's azp is not the client id \"" + printable(client_id) + "\"";
  }
  return {};
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

SignInAnswer SignIn::internal_error(const std::string& who, const std::exception& error, bool secure) const {
  log_->error(who + "the policy failed: " + describe_error(error));
  SignInAnswer answer{error_reply(500, "html", "Internal Server Error",
                                  "The sign-in could not be completed; the reason is in the server's log."),
                      {}, std::nullopt};
  answer.headers.emplace_back("Set-Cookie", clear_cookie(kLoginCookieName, secure));
  return answer;
}

SignInAnswer SignIn::callback(const HttpRequest& request, const SignInContext& context) const {
  auto accepted = accept_answer(request, context);
  if (auto* refused = std::get_if<SignInAnswer>(&accepted)) return std::move(*refused);
  const Accepted& answer = std::get<Accepted>(accepted);
  auto redeemed = redeem_code(answer, context);
  if (auto* refused = std::get_if<SignInAnswer>(&redeemed)) return std::move(*refused);
  const Tokens& tokens = std::get<Tokens>(redeemed);
  auto checked = check_id_token(tokens, answer, context);
  if (auto* refused = std::get_if<SignInAnswer>(&checked)) return std::move(*refused);
  auth::jwt::VerifiedToken& token = std::get<auth::jwt::VerifiedToken>(checked);
  std::string source;
  if (auto refused = complete_claims(token, tokens, answer, source, context.secure)) return std::move(*refused);
  return log_in(token, source, answer, context);
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
  const std::string who = "identity provider \"" + printable(state->idp_id) + "\": ";
  if (given_state.empty() || !same_text(given_state, state->state)) {
    return refuse(400, "Sign-in refused", "The answer from the identity provider does not belong to this sign-in.",
                  who + "the state does not match the sign-in cookie's", secure);
  }
  const SignInProvider* provider = find_provider(context.providers, state->idp_id);
  if (!provider) {
    return refuse(400, "Sign-in refused", "This identity provider no longer offers a sign-in here.",
                  who + "no sign-in any more", secure);
  }
  if (auto refused = check_origin(request, *state, *provider, secure)) return std::move(*refused);
  if (const auto error = field(request.query, "error")) {
    const std::string description(field(request.query, "error_description").value_or(""));
    return refuse(401, "Sign-in failed", "The identity provider did not sign you in: " + std::string(*error) +
                                             (description.empty() ? "" : " (" + description + ")"),
                  who + "answered " + printable(*error) + ": " + printable(description), secure);
  }
  std::string code(field(request.query, "code").value_or(""));
  if (code.empty()) {
    return refuse(400, "Sign-in refused", "The identity provider's answer carries no code.",
                  who + "no code in the callback", secure);
  }
  if (finished_.contains(state->state)) {
    return refuse(400, "Sign-in refused", "This sign-in has already been used. Please sign in again.",
                  who + "a finished sign-in was replayed", secure);
  }
  return Accepted{std::move(*state), provider, std::move(code), who};
}

std::optional<SignInAnswer> SignIn::check_origin(const HttpRequest& request, const LoginState& state,
                                                 const SignInProvider& provider, bool secure) const {
  const std::string who = "identity provider \"" + printable(state.idp_id) + "\": ";
  // Each provider has its own callback path: an answer at another's path was
  // sent there by that other provider's sign-in (a mix-up), and its code
  // must go to no token endpoint at all.
  if (request.path != provider.redirect_path) {
    return refuse(400, "Sign-in refused", "The answer came from another identity provider than this sign-in's.",
                  who + "the answer arrived at " + printable(request.path) + ", not at its callback " +
                      provider.redirect_path + " (a mix-up of providers)",
                  secure);
  }
  const std::optional<std::string_view> iss = field(request.query, "iss");
  if (!iss && provider.iss_required) {
    return refuse(400, "Sign-in refused", "The answer does not say which identity provider sent it.",
                  who + "the answer carries no iss, which the provider's discovery document promises", secure);
  }
  if (iss && provider.issuer && *iss != *provider.issuer) {
    return refuse(400, "Sign-in refused", "The answer came from another identity provider than this sign-in's.",
                  who + "the answer's iss \"" + printable(*iss) + "\" is not the provider's issuer \"" +
                      printable(*provider.issuer) + "\" (a mix-up of providers)",
                  secure);
  }
  return std::nullopt;
}

std::variant<SignIn::Tokens, SignInAnswer> SignIn::redeem_code(const Accepted& accepted,
                                                               const SignInContext& context) const {
  const bool secure = context.secure;
  const SignInProvider& provider = *accepted.provider;
  corvane::HttpClientResponse exchanged;
  try {
    exchanged = token_request(provider, accepted.code, context.states.code_verifier(accepted.state.state));
  } catch (const Exception& error) {
    return refuse(502, "Sign-in failed", "The identity provider could not be reached. Please try again later.",
                  accepted.who + "the token endpoint failed: " + describe_error(error), secure);
  }
  if (exchanged.status != 200) {
    return refuse(401, "Sign-in failed", "The identity provider refused to complete the sign-in.",
                  accepted.who + "the token endpoint refused the code (" + printable(token_error(exchanged)) + ")",
                  secure);
  }
  // The provider accepted the code: only now is the sign-in finished, so a
  // made-up callback never takes a place in the set.
  if (!finished_.insert(accepted.state.state, accepted.state.expires, seconds_now())) {
    return refuse(400, "Sign-in refused", "This sign-in has already been used. Please sign in again.",
                  accepted.who + "a finished sign-in was replayed", secure);
  }
  try {
    const Json answer = parse_json(exchanged.body, 16);
    const Json& id_token = get_or_null(answer, "id_token");
    if (!id_token.is_string()) throw ValueError("no id_token in the token endpoint's answer");
    const Json& access_token = get_or_null(answer, "access_token");
    Tokens tokens{id_token.get<std::string>(), std::nullopt};
    if (access_token.is_string()) tokens.access_token = access_token.get<std::string>();
    return tokens;
  } catch (const Exception& error) {
    return refuse(502, "Sign-in failed", "The identity provider's answer could not be read.",
                  accepted.who + describe_error(error), secure);
  }
}

std::variant<auth::jwt::VerifiedToken, SignInAnswer> SignIn::check_id_token(const Tokens& tokens,
                                                                            const Accepted& accepted,
                                                                            const SignInContext& context) const {
  const bool secure = context.secure;
  std::optional<auth::jwt::VerifiedToken> token;
  try {
    token = context.policy.verify_token(accepted.provider->idp_id, tokens.id_token);
  } catch (const std::exception& error) {
    return internal_error(accepted.who, error, secure);
  }
  if (!token) {
    return refuse(401, "Sign-in failed",
                  "Your identity provider signed you in, but this site could not verify the token.",
                  accepted.who + "the policy refused the ID token (see its warning)", secure);
  }
  const Json& claims = token->claims();
  const Json& nonce = get_or_null(claims, "nonce");
  if (!nonce.is_string() || !same_text(nonce.get<std::string>(), accepted.state.nonce)) {
    return refuse(401, "Sign-in failed", "The identity provider's token does not belong to this sign-in.",
                  accepted.who + "the ID token's nonce does not match the sign-in's", secure);
  }
  const std::optional<std::string>& issuer = accepted.provider->issuer;
  if (issuer && get_or_null(claims, "iss") != *issuer) {
    return refuse(401, "Sign-in failed", "The identity provider's token was issued by another provider.",
                  accepted.who + "the ID token's iss is not the provider's issuer \"" + printable(*issuer) + "\"",
                  secure);
  }
  if (const std::string fault = audience_fault(claims, accepted.provider->client_id); !fault.empty()) {
    return refuse(401, "Sign-in failed", "The identity provider's token was issued for another application.",
                  accepted.who + fault, secure);
  }
  return std::move(*token);
}

std::optional<SignInAnswer> SignIn::complete_claims(auth::jwt::VerifiedToken& token, const Tokens& tokens,
                                                    const Accepted& accepted, std::string& source,
                                                    bool secure) const {
  const SignInProvider& provider = *accepted.provider;
  source = "the ID token";
  if (provider.claim_attribute.empty() || token.claims().contains(provider.claim_attribute) ||
      !provider.userinfo_endpoint) {
    return std::nullopt;
  }
  // OpenID Connect Core 5.3: the claims the ID token leaves out, from UserInfo.
  const auto unreadable = [&](const std::string& why) {
    return refuse(502, "Sign-in failed", "The identity provider's user information could not be read.",
                  accepted.who + "UserInfo: " + why, secure);
  };
  if (!tokens.access_token) return unreadable("the token endpoint gave no access_token to ask it with");
  Json info;
  try {
    const corvane::HttpClientResponse answer = userinfo_request(provider, *tokens.access_token);
    if (answer.status != 200) return unreadable("status " + std::to_string(answer.status));
    info = parse_json(answer.body, 16);
  } catch (const Exception& error) {
    return unreadable(describe_error(error));
  }
  if (!info.is_object()) return unreadable("the answer is not a JSON object");
  const Json& sub = get_or_null(info, "sub");
  if (!sub.is_string() || sub != get_or_null(token.claims(), "sub")) {
    return refuse(401, "Sign-in failed", "The identity provider's user information is about someone else.",
                  accepted.who + "UserInfo's sub is not the ID token's", secure);
  }
  token.complete(info);
  source = "UserInfo";
  return std::nullopt;
}

SignInAnswer SignIn::log_in(const auth::jwt::VerifiedToken& token, const std::string& source,
                            const Accepted& accepted, const SignInContext& context) const {
  const bool secure = context.secure;
  const std::string claim = "the claim \"" + printable(accepted.provider->claim_attribute) + "\" from " + source;
  auth::jwt::Authentication result;
  try {
    result = context.policy.map_token(token);
  } catch (const std::exception& error) {
    return internal_error(accepted.who, error, secure);
  }
  if (!result.user_id) {
    return refuse(401, "Sign-in failed",
                  "Your identity provider signed you in, but this site does not know you.",
                  accepted.who + "the policy refused the ID token's user (" + claim + "; see its warning)", secure);
  }
  log_->info(accepted.who + "signed in user \"" + printable(*result.user_id) + "\" by " + claim);
  CookieSession session;
  session.remember_user(*result.user_id);
  if (result.sso_user_id) session.set_sso_user_id(*result.sso_user_id);
  const std::string& next = accepted.state.next;
  SignInAnswer answer{{303, "html", "Signed in", {{"location", next}}}, {}, std::nullopt};
  answer.sso_user_id = std::move(result.sso_user_id);
  answer.reply.links = {{"Continue", next}};
  answer.headers.emplace_back("Location", next);
  answer.headers.emplace_back("Set-Cookie", clear_cookie(kLoginCookieName, secure));
  if (auto cookie = session_cookie(session, context.sessions, secure)) answer.headers.emplace_back("Set-Cookie", *cookie);
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
