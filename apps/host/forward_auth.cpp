#include "host/forward_auth.hpp"

#include <strings.h>

#include "corvane/util/json.hpp"
#include "http/url_form.hpp"
#include "identity/host_request.hpp"
#include "identity/host_session.hpp"
#include "identity/identify.hpp"

namespace corvane::apps {
namespace {

// A value the proxy copies into a request header: no control characters,
// which could end the header or the head.
const std::string& header_value(const std::string& value, const char* what) {
  for (unsigned char c : value) {
    if (c < 0x20 || c == 0x7f) throw std::runtime_error(std::string(what) + " holds a control character");
  }
  return value;
}

// The identity headers' one encoding: an RFC 8941 string whose content is
// the UTF-8 text with every byte outside printable ASCII, and "%" itself,
// percent-encoded. A reader unquotes the string, then percent-decodes it; a
// comma or a quote in an id can never be taken for a separator.
std::string structured_string(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte > 0x7e || c == '%') {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
      continue;
    }
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + '"';
}

// Every /auth answer is about one request's credentials: no cache may keep
// it for another.
HttpResponse json_response(int status, const Json& document) {
  return {status, "application/json", document.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n",
          {{"Cache-Control", "no-store"}}, false};
}

}  // namespace

std::optional<HttpRequest> original_request(const HttpRequest& subrequest) {
  HttpRequest original;
  original.method = "GET";
  original.headers = subrequest.headers;
  // Built before it is assigned: GCC 12 at -O3 misreads assigning "/" to
  // the member as an overlapping copy (-Wrestrict).
  std::string original_target("/");
  for (const auto& [name, value] : subrequest.headers) {
    if (strcasecmp(name.c_str(), kOriginalUriHeader.data()) == 0) {
      original_target = value;
      break;
    }
  }
  original.target = std::move(original_target);
  const std::string_view target = original.target;
  if (target.empty() || target.front() != '/' || !valid_percent_encoding(target) ||
      target.find("%00") != std::string_view::npos) {
    return std::nullopt;
  }
  const auto question = target.find('?');
  std::optional<std::string> path = percent_decode(target.substr(0, question), false);
  if (!path) return std::nullopt;
  original.path = std::move(*path);
  if (question != std::string_view::npos) {
    std::string_view query = target.substr(question + 1);
    std::optional<HttpFields> fields = parse_form(query.substr(0, query.find('#')));
    if (!fields) return std::nullopt;
    original.query = std::move(*fields);
  }
  return original;
}

ForwardAuthAnswer answer_forward_auth(const HttpRequest& subrequest, const ForwardAuthContext& context) {
  ForwardAuthAnswer answer;
  const Json refused = {{"error", "401 Unauthorized"}};
  const std::optional<HttpRequest> original = original_request(subrequest);
  if (!original) {
    // The proxy can only pass on 2xx, 401 and 403: a malformed original
    // target is refused, not answered with 400.
    if (context.log.should_log(spdlog::level::debug)) {
      context.log.debug("/auth: refusing a malformed " + std::string(kOriginalUriHeader));
    }
    answer.response = json_response(401, refused);
    return answer;
  }
  HostRequest request(*original, open_session(*original, context.sessions, context.users));
  const Identity identity = identify(request, context.policy, context.metrics, context.log);
  answer.sso_user_id = identity.sso_user_id;
  if (!identity.user_id) {
    answer.response = json_response(401, refused);
    return answer;
  }
  // An RFC 8941 list of such strings.
  std::string principals;
  for (const std::string& principal : context.policy.principals_for(*identity.user_id)) {
    principals += (principals.empty() ? "" : ", ") + structured_string(principal);
  }
  answer.response = json_response(200, {{"user_id", *identity.user_id},
                                        {"authenticated_by", identity.via},
                                        {"sso_user_id", identity.sso_user_id ? Json(*identity.sso_user_id) : Json()}});
  HttpFields& headers = answer.response.headers;
  headers.emplace_back("X-Auth-User", structured_string(header_value(*identity.user_id, "the user id")));
  if (identity.sso_user_id && !identity.sso_user_id->empty()) {
    headers.emplace_back("X-Auth-Sso-User",
                         structured_string(header_value(*identity.sso_user_id, "the sso user id")));
  }
  headers.emplace_back("X-Auth-Principals", principals);
  if (auto cookie = session_cookie(request.session(), context.sessions, context.session_secure)) {
    headers.emplace_back("Set-Cookie", std::move(*cookie));
  }
  return answer;
}

}  // namespace corvane::apps
