// What the sign-in asks of a provider over HTTP: the code exchange at its
// token endpoint and the claims at its UserInfo endpoint, with the
// time-outs, TLS checks and size bound of every fetch, following no redirect.
#pragma once

#include <string>
#include <string_view>

#include "corvane/util/http.hpp"
#include "signin/sign_in_settings.hpp"

namespace corvane::apps {

// The authorization code exchange (RFC 6749 4.1.3, with the PKCE verifier),
// the client authenticated as the provider's settings say. Its status is
// returned, not raised; a failure to get an answer is a RequestException kind.
HttpClientResponse token_request(const SignInProvider& provider, const std::string& code,
                                 const std::string& code_verifier);

// "status N, error: description" of a token endpoint's refusal, or the status alone.
std::string token_error(const HttpClientResponse& answer);

// The UserInfo request with the access token (OpenID Connect Core 5.3);
// errors as token_request's.
HttpClientResponse userinfo_request(const SignInProvider& provider, std::string_view access_token);

}  // namespace corvane::apps
