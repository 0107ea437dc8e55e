// Request authentication, principals and the one-time HTML session login.
#include "corvane/auth/jwt/policy.hpp"
#include "corvane/util/base64.hpp"
#include "corvane/util/errors.hpp"
#include "corvane/util/log_text.hpp"
#include "corvane/util/logging.hpp"
#include "corvane/util/scratch.hpp"

namespace corvane::auth::jwt {

std::string_view outcome_name(AuthOutcome outcome) {
  switch (outcome) {
    case AuthOutcome::authenticated: return "authenticated";
    case AuthOutcome::jwt_disabled: return "jwt_disabled";
    case AuthOutcome::no_header: return "no_header";
    case AuthOutcome::bad_header: return "bad_header";
    case AuthOutcome::no_provider_id: return "no_provider_id";
    case AuthOutcome::unknown_provider: return "unknown_provider";
    case AuthOutcome::token_refused: return "token_refused";
    case AuthOutcome::no_user: return "no_user";
    case AuthOutcome::several_users: return "several_users";
    case AuthOutcome::error: return "error";
  }
  return "error";
}

std::optional<std::string> JWTAuthenticationPolicy::authenticated_userid(host::PolicyRequest& request) const {
  return authenticate(request, false).user_id;
}

Authentication JWTAuthenticationPolicy::authenticate(host::PolicyRequest& request) const {
  return authenticate(request, true);
}

namespace {

// `before "idp_id" after`, made only for a record that is `wanted`, in a
// buffer of the thread: an unknown provider's warning costs no allocation.
void provider_record(spdlog::level::level_enum level, bool wanted, std::string_view idp_id, std::string_view before,
                     std::string_view after) {
  if (!wanted) return;
  ScratchText record;
  std::string& text = record.text();
  text += before;
  text += '"';
  logging::append_capped(text, idp_id);
  text += '"';
  text += after;
  logging::write(level, text);
}

void failure_record(std::string_view error) {
  if (!logging::enabled(spdlog::level::warn)) return;
  ScratchText record;
  record.text() += "JWT authentication failed. ";
  record.text() += error;
  logging::warning(record.text());
}

// The provider a request names: the "idp_id" query parameter, else (also
// when empty) the X-Identity-Provider-Id header.
std::optional<std::string_view> requested_provider_id(const host::PolicyRequest& request) {
  std::optional<std::string_view> idp_id = request.query_parameter("idp_id");
  if (!idp_id || idp_id->empty()) idp_id = request.header("X-Identity-Provider-Id");
  return idp_id;
}

}  // namespace

Authentication JWTAuthenticationPolicy::authenticate(host::PolicyRequest& request, bool keep_sso_user_id) const {
  Authentication result;
  if (!truthy(jwt_enabled)) return result;

  // Read the token. It lives in a buffer of the thread: a flood of requests
  // decodes into the same memory.
  const std::string_view auth_header = request.header("Authorization", "").value_or("");
  ScratchText token_buffer;
  const std::optional<std::string_view> token = read_token(auth_header, token_buffer.text());
  if (!token) {
    result.outcome = auth_header.empty() ? AuthOutcome::no_header : AuthOutcome::bad_header;
    return result;
  }

  // Find the provider.
  const std::optional<std::string_view> idp_id = requested_provider_id(request);
  if (!idp_id) {
    logging::debug("Skipped JWT authentication. The idp_id was not found in query string or header.");
    result.outcome = AuthOutcome::no_provider_id;
    return result;
  }
  const bool debug_records = logging::enabled(spdlog::level::debug);
  const IDPConfig* idp = find_provider(*idp_id, debug_records);
  if (!idp) {
    result.outcome = AuthOutcome::unknown_provider;
    return result;
  }
  result.idp_id = *idp_id;

  // Verify, then map the user (past verification, what fails is the
  // mapping). What the mapping reads of the claims is copied first into
  // buffers of this call's own: host code called from here on (the users,
  // the log context, the session login) may authenticate another token on
  // this thread, which reuses the thread's verification buffers.
  ScratchText claims_buffer;
  ScratchText form_buffer;  // the claim's comparison form, then the sso id
  RequestClaims claims;
  try {
    claims = read_claims(*idp_id, *idp, *token, claims_buffer.text());
  } catch (const std::exception& error) {
    result.outcome = refusal(error, false);
    return result;
  }
  std::string user_id;
  std::string_view sso_user_id;
  try {
    payload_record(*token, debug_records);
    sso_user_id = map_user(request, *idp, claims, user_id, form_buffer.text());
    if (keep_sso_user_id) result.sso_user_id.emplace(sso_user_id);
    if (debug_records) logging::debug("JWT authentication - user: " + user_id);
  } catch (const std::exception& error) {
    result.outcome = refusal(error, true);
    return result;
  }

  // Log in.
  provider_record(spdlog::level::debug, debug_records, *idp_id, "Authenticated using JWT for Identity Provider ", ".");
  cookie_auth_for_html(request, user_id);
  request.load_sso_user_to_session(sso_user_id);
  result.outcome = AuthOutcome::authenticated;
  result.user_id = std::move(user_id);
  return result;
}

const IDPConfig* JWTAuthenticationPolicy::find_provider(std::string_view idp_id, bool debug_records) const {
  provider_record(spdlog::level::debug, debug_records, idp_id, "JWT authentication - Identity Provider: ", "");
  const IDPConfig* idp = idps ? idps->find(idp_id) : nullptr;
  if (!idp) {
    provider_record(spdlog::level::warn, logging::enabled(spdlog::level::warn), idp_id, "Unknown Identity Provider ",
                    ".");
  }
  return idp;
}

RequestClaims JWTAuthenticationPolicy::read_claims(std::string_view idp_id, const IDPConfig& idp,
                                                   std::string_view token, std::string& buffer) const {
  const auto now = host().now();
  // A hit gives what verification gave, its time window checked at `now` as
  // verification checks it; a window that has closed is a miss, so the
  // refusal and its records are a first sight's.
  if (token_cache) {
    if (std::optional<RequestClaims> cached = token_cache->find(idp_id, token, now, buffer)) return *cached;
  }
  RequestClaims claims = verify(idp, token, now, buffer);
  // Only tokens that verified are remembered, so forged ones cannot push
  // valid ones out; a payload that is not an object fails the mapping on
  // every request, and takes the full path each time.
  if (token_cache && claims.kind == JsonKind::object) token_cache->insert(idp_id, token, claims);
  return claims;
}

RequestClaims JWTAuthenticationPolicy::verify(const IDPConfig& idp, std::string_view token,
                                              std::chrono::system_clock::time_point now, std::string& buffer) const {
  // Only a public key's check (with the payload's reading after it) takes
  // long enough for a host to let other threads run meanwhile (an HMAC
  // check, a remembered token and the users walk are shorter than a
  // hand-over of the host's lock). The claims are read in place, and copied
  // before anything else runs.
  const host::Host& runner = host();
  return RequestClaims::copy(
      idp.secure_read_claims(token, now, [&runner](function_ref<void()> step) { runner.detached(step); }), buffer);
}

void JWTAuthenticationPolicy::payload_record(std::string_view token, bool debug_records) const {
  if (!debug_records) return;
  // The verified payload is the token's second part, decoded: the tree is
  // built only for the record.
  const std::size_t begin = token.find('.') + 1;
  const std::string_view part = token.substr(begin, token.find('.', begin) - begin);
  ScratchText payload;
  base64url_decode(part, payload.text());
  logging::debug("JWT authentication payload: " + dump(parse_json(payload.text())));
}

std::string_view JWTAuthenticationPolicy::map_user(host::PolicyRequest& request, const IDPConfig& idp,
                                                   const RequestClaims& claims, std::string& user_id,
                                                   std::string& buffer) const {
  user_id = idp.get_user_id_for_claims(claims, buffer);
  const std::string_view sso_user_id = idp.get_sso_user_id(claims, buffer);
  request.set_log_context("sso_user_id", sso_user_id);
  return sso_user_id;
}

AuthOutcome JWTAuthenticationPolicy::refusal(const std::exception& error, bool verified) const {
  // A token that does not verify, a provider that cannot verify, and
  // unusable claims end in no user; every other error is the host's, and
  // passes on.
  if (const auto* exc = dynamic_cast<const Exception*>(&error)) {
    if (!dynamic_cast<const JWException*>(exc) && !dynamic_cast<const NotImplementedError*>(exc) &&
        !dynamic_cast<const ValueError*>(exc)) {
      throw;
    }
    failure_record(exc->what());
    return !verified                                       ? AuthOutcome::token_refused
           : dynamic_cast<const SeveralUsersError*>(exc) ? AuthOutcome::several_users
                                                          : AuthOutcome::no_user;
  }
  std::string text;  // the host's own errors, from its users or its log context
  if (!host().belongs_to(error, host::ErrorFamily::request_failure, text)) throw;
  failure_record(text);
  return verified ? AuthOutcome::no_user : AuthOutcome::token_refused;
}

std::vector<std::string> JWTAuthenticationPolicy::effective_principals(host::PolicyRequest& request) const {
  const std::optional<std::string> userid = authenticated_userid(request);
  if (!userid) return {};
  return principals_for(*userid);
}

std::vector<std::string> JWTAuthenticationPolicy::principals_for(const std::string& userid) const {
  return {host().everyone(), host().authenticated(), userid, "group:corvane_users"};
}

std::optional<std::string> JWTAuthenticationPolicy::unauthenticated_userid(const host::PolicyRequest&) const {
  return std::nullopt;
}

host::Headers JWTAuthenticationPolicy::remember(host::PolicyRequest&, const std::string&, const Json&) const {
  return {};
}

host::Headers JWTAuthenticationPolicy::forget(host::PolicyRequest&) const { return {}; }

void JWTAuthenticationPolicy::cookie_auth_for_html(host::PolicyRequest& request, std::string_view userid) const {
  const std::optional<std::string_view> response_format = request.first_data_format(default_extension());
  if (!response_format) throw ValueError("not enough values to unpack (expected at least 1, got 0)");
  if (*response_format != "html") return;
  if (request.has_attribute("cvn_cookie_updated")) return;
  request.invalidate_session();
  request.remember(userid);
  request.set_attribute("cvn_cookie_updated", true);
}

}  // namespace corvane::auth::jwt
