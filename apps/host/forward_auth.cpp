#include "host/forward_auth.hpp"

#include <strings.h>

#include <algorithm>
#include <array>

#include "corvane/util/json.hpp"
#include "http/url_form.hpp"
#include "identity/host_request.hpp"
#include "identity/host_session.hpp"
#include "identity/identify.hpp"

namespace corvane::apps {
namespace {

// RFC 9110 token characters, of which a method is made.
constexpr std::string_view kTokenChars =
    "!#$%&'*+-.^_`|~0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

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

bool has_path_prefix(std::string_view target, std::string_view path_prefix) {
  return !path_prefix.empty() && target.size() > path_prefix.size() && target.starts_with(path_prefix) &&
         target[path_prefix.size()] == '/';
}

OriginalRequest original_request(const HttpRequest& subrequest, std::string_view path_prefix) {
  using Problem = OriginalRequest::Problem;
  // Where the original target may come from, in the order they are taken.
  struct Source {
    std::string_view name;
    std::optional<std::string_view> target;
  };
  std::array<Source, 3> sources{{{kOriginalUriHeader, {}}, {kForwardedUriHeader, {}}, {"the path prefix", {}}}};
  std::optional<std::string_view> method;
  std::optional<std::string_view> forwarded_host;
  for (const auto& [name, value] : subrequest.headers) {
    for (std::size_t i = 0; i < 2; ++i) {
      if (strcasecmp(name.c_str(), sources[i].name.data()) != 0) continue;
      // A second header of the same name must agree with the first.
      if (sources[i].target && *sources[i].target != value) {
        return {{}, Problem::conflict, "two " + std::string(sources[i].name) + " headers differ"};
      }
      sources[i].target = value;
    }
    if (strcasecmp(name.c_str(), kForwardedMethodHeader.data()) == 0) method = value;
    if (strcasecmp(name.c_str(), kForwardedHostHeader.data()) == 0) forwarded_host = value;
  }
  if (has_path_prefix(subrequest.target, path_prefix)) {
    sources[2].target = std::string_view(subrequest.target).substr(path_prefix.size());
    if (!method) method = subrequest.method;
  }
  const Source* chosen = nullptr;
  for (const Source& source : sources) {
    if (!source.target) continue;
    if (!chosen) {
      chosen = &source;
    } else if (*source.target != *chosen->target) {
      return {{}, Problem::conflict, std::string(chosen->name) + " and " + std::string(source.name) + " differ"};
    }
  }

  HttpRequest original;
  original.method = std::string(method.value_or("GET"));
  if (original.method.empty() || original.method.find_first_not_of(kTokenChars) != std::string::npos) {
    return {{}, Problem::malformed, std::string(kForwardedMethodHeader)};
  }
  original.headers = subrequest.headers;
  if (forwarded_host) {
    auto host = std::find_if(original.headers.begin(), original.headers.end(),
                             [](const auto& header) { return strcasecmp(header.first.c_str(), "Host") == 0; });
    if (host == original.headers.end()) {
      original.headers.emplace_back("Host", *forwarded_host);
    } else {
      host->second = *forwarded_host;
    }
  }
  // Built before it is assigned: GCC 12 at -O3 misreads assigning "/" to
  // the member as an overlapping copy (-Wrestrict).
  std::string original_target = chosen ? std::string(*chosen->target) : std::string("/");
  original.target = std::move(original_target);
  const std::string_view target = original.target;
  const OriginalRequest malformed{{}, Problem::malformed, chosen ? std::string(chosen->name) : std::string()};
  if (target.empty() || target.front() != '/' || !valid_percent_encoding(target) ||
      target.find("%00") != std::string_view::npos) {
    return malformed;
  }
  const auto question = target.find('?');
  std::optional<std::string> path = percent_decode(target.substr(0, question), false);
  if (!path) return malformed;
  original.path = std::move(*path);
  if (question != std::string_view::npos) {
    std::string_view query = target.substr(question + 1);
    std::optional<HttpFields> fields = parse_form(query.substr(0, query.find('#')));
    if (!fields) return malformed;
    original.query = std::move(*fields);
  }
  return {std::move(original), Problem::none, {}};
}

ForwardAuthAnswer answer_forward_auth(const HttpRequest& subrequest, const ForwardAuthContext& context) {
  ForwardAuthAnswer answer;
  const Json refused = {{"error", "401 Unauthorized"}};
  OriginalRequest described = original_request(subrequest, context.path_prefix);
  if (described.problem == OriginalRequest::Problem::conflict) {
    // Two names for the original request: one of them came from the client.
    context.log.warn("/auth: refused, the original request is named twice: " + described.detail);
    answer.response = json_response(401, refused);
    return answer;
  }
  if (!described.request) {
    // The proxy can only pass on 2xx, 401 and 403: a malformed original
    // target is refused, not answered with 400.
    if (context.log.should_log(spdlog::level::debug)) {
      context.log.debug("/auth: refusing a malformed " + described.detail);
    }
    answer.response = json_response(401, refused);
    return answer;
  }
  const HttpRequest& original = *described.request;
  HostRequest request(original, open_session(original, context.sessions, context.users));
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
