#include "signin/provider_requests.hpp"

#include "corvane/util/base64.hpp"
#include "corvane/util/errors.hpp"
#include "corvane/util/json.hpp"

namespace corvane::apps {
namespace {

// The token request's client authentication: its form fields and headers.
void authenticate_client(const SignInProvider& provider, FormFields& form, std::vector<std::string>& headers) {
  switch (provider.client_auth) {
    case ClientAuth::none:
      form.emplace_back("client_id", provider.client_id);
      break;
    case ClientAuth::post:
      form.emplace_back("client_id", provider.client_id);
      form.emplace_back("client_secret", provider.client_secret.value_or(""));
      break;
    case ClientAuth::basic:  // each part form-encoded first (RFC 6749 2.3.1)
      headers.push_back("Authorization: Basic " +
                        base64_encode(form_urlencode(provider.client_id) + ":" +
                                      form_urlencode(provider.client_secret.value_or(""))));
      break;
  }
}

}  // namespace

HttpClientResponse token_request(const SignInProvider& provider, const std::string& code,
                                 const std::string& code_verifier) {
  FormFields form = {{"grant_type", "authorization_code"},
                     {"code", code},
                     {"redirect_uri", provider.redirect_uri},
                     {"code_verifier", code_verifier}};
  std::vector<std::string> headers;
  authenticate_client(provider, form, headers);
  return http_post_form(provider.token_endpoint, form, provider.http_timeout, headers);
}

std::string token_error(const HttpClientResponse& answer) {
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

HttpClientResponse userinfo_request(const SignInProvider& provider, std::string_view access_token) {
  return http_get_with_bearer(provider.userinfo_endpoint.value_or(""), access_token, provider.http_timeout);
}

}  // namespace corvane::apps
