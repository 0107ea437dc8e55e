// HTTP(S) GET for start-up fetches (discovery documents, key sets), and the
// form POST of a sign-in's code exchange and its UserInfo GET.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace corvane {

struct HttpClientResponse {
  long status = 0;
  std::string url;   // the final location, after redirects
  std::string body;

  bool ok() const noexcept { return status < 400; }
  // HTTPError for a final status from 400 to 599.
  void raise_for_status() const;
};

// The largest response body accepted; a larger one is ContentTooLarge.
inline constexpr std::size_t kMaxResponseBody = 4 * 1024 * 1024;
inline constexpr long kMaxRedirects = 30;

// One GET of `url` exactly as given. `timeout_seconds` bounds connecting and
// every wait for data; the whole fetch is bounded by three times that.
// Redirects are followed (at most kMaxRedirects), certificates verified, and
// only http and https are ever requested, also after a redirect.
// Every failure to obtain a response is a RequestException kind:
// InvalidSchema, InvalidURL, ConnectionError (SSLError), Timeout,
// TooManyRedirects, ContentTooLarge. A timeout that is not positive is a
// ValueError, as an unbounded fetch could hold start-up forever.
HttpClientResponse http_get(std::string_view url, long timeout_seconds);

using FormFields = std::vector<std::pair<std::string, std::string>>;

// One POST of `fields` as an application/x-www-form-urlencoded body, with
// the same time-outs, TLS checks, schemes and size bound as http_get. A
// redirect is not followed (it would turn the POST into a GET elsewhere):
// its 3xx status is the answer. Any status is returned, not raised.
// `headers` are sent as given ("Name: value"), e.g. the client's Basic
// credentials.
HttpClientResponse http_post_form(std::string_view url, const FormFields& fields, long timeout_seconds,
                                  const std::vector<std::string>& headers = {});

// One GET carrying `access_token` as "Authorization: Bearer", with the rules
// of http_post_form: a redirect is not followed (the token would travel
// with it), any status is returned.
HttpClientResponse http_get_with_bearer(std::string_view url, std::string_view access_token, long timeout_seconds);

// `text` application/x-www-form-urlencoded (every byte but A-Z a-z 0-9 - . _ ~
// escaped), as a form field or the parts of Basic client credentials are.
std::string form_urlencode(std::string_view text);

}  // namespace corvane
