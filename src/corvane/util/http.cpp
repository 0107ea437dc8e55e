#include "corvane/util/http.hpp"

#include <curl/curl.h>

#include <memory>

#include "corvane/util/errors.hpp"
#include "corvane/util/url.hpp"

namespace corvane {
namespace {

// libcurl's process-wide set-up, done once before the first transfer.
void ensure_curl_initialised() {
  static const CURLcode initialised = curl_global_init(CURL_GLOBAL_DEFAULT);
  if (initialised != CURLE_OK) throw ConnectionError("HTTP client could not be initialised");
}

struct Transfer {
  std::string body;
  bool too_large = false;
};

size_t collect(char* data, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  size_t bytes = size * count;
  if (transfer->body.size() + bytes > kMaxResponseBody) {
    transfer->too_large = true;
    return 0;  // aborts the transfer with CURLE_WRITE_ERROR
  }
  transfer->body.append(data, bytes);
  return bytes;
}

[[noreturn]] void throw_transfer_error(CURLcode code, const char* detail, std::string_view url,
                                       long timeout_seconds) {
  std::string message = std::string(*detail ? detail : curl_easy_strerror(code)) + " (url: " +
                        std::string(url) + ")";
  switch (code) {
    case CURLE_UNSUPPORTED_PROTOCOL:
      throw InvalidSchema(message);
    case CURLE_URL_MALFORMAT:
      throw InvalidURL(message);
    case CURLE_OPERATION_TIMEDOUT:
      throw Timeout(message + " after a time-out of " + std::to_string(timeout_seconds) + " s");
    case CURLE_TOO_MANY_REDIRECTS:
      throw TooManyRedirects("Exceeded " + std::to_string(kMaxRedirects) + " redirects (url: " +
                             std::string(url) + ")");
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
      throw SSLError(message);
    default:
      throw ConnectionError(message);
  }
}

}  // namespace

void HttpClientResponse::raise_for_status() const {
  if (status >= 400 && status < 600) {
    std::string side = status < 500 ? "Client Error" : "Server Error";
    throw HTTPError(std::to_string(status) + " " + side + " for url: " + url);
  }
}

namespace {

// What one transfer sends besides its URL.
struct Outgoing {
  const std::string* form = nullptr;  // a POST of this body when set, else a GET
  const std::vector<std::string>* headers = nullptr;
  bool follow_redirects = true;  // never for a POST
};

// One transfer: a GET when `form` is null, else a POST of that body.
HttpClientResponse transfer(std::string_view url, long timeout_seconds, const Outgoing& outgoing) {
  if (timeout_seconds <= 0) {
    throw ValueError("HTTP time-out must be a positive number of seconds, not " +
                     std::to_string(timeout_seconds));
  }
  const std::string location(url);
  const UrlParts parts = url_split(location);
  if (parts.scheme != "http" && parts.scheme != "https") {
    throw InvalidSchema("No connection adapter for '" + location + "': only http and https are fetched");
  }
  if (location.find('\0') != std::string::npos) throw InvalidURL("URL contains a null byte");

  ensure_curl_initialised();
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), curl_easy_cleanup);
  if (!curl) throw ConnectionError("HTTP client could not start a transfer");

  Transfer transfer;
  char error[CURL_ERROR_SIZE] = "";
  CURL* handle = curl.get();
  curl_easy_setopt(handle, CURLOPT_URL, location.c_str());
  if (const std::string* form = outgoing.form) {
    curl_easy_setopt(handle, CURLOPT_POSTFIELDS, form->c_str());
    curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(form->size()));
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
  } else {
    curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, outgoing.follow_redirects ? 1L : 0L);
  }
  std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> header_list(nullptr, curl_slist_free_all);
  if (outgoing.headers) {
    for (const std::string& header : *outgoing.headers) {
      curl_slist* grown = curl_slist_append(header_list.get(), header.c_str());
      if (!grown) throw ConnectionError("HTTP client could not add a header");
      (void)header_list.release();
      header_list.reset(grown);
    }
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, header_list.get());
  }
  curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(handle, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, timeout_seconds);
  // No byte for `timeout_seconds` counts as a time-out; a trickle is cut off
  // by the overall bound.
  curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, timeout_seconds);
  curl_easy_setopt(handle, CURLOPT_TIMEOUT, 3 * timeout_seconds);
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle, CURLOPT_ACCEPT_ENCODING, "");
  curl_easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kMaxResponseBody));
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, error);

  CURLcode code = curl_easy_perform(handle);
  if (transfer.too_large || code == CURLE_FILESIZE_EXCEEDED) {
    throw ContentTooLarge("Response body larger than " + std::to_string(kMaxResponseBody) +
                          " bytes (url: " + location + ")");
  }
  if (code != CURLE_OK) throw_transfer_error(code, error, location, timeout_seconds);

  HttpClientResponse response;
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &response.status);
  char* effective = nullptr;
  curl_easy_getinfo(handle, CURLINFO_EFFECTIVE_URL, &effective);
  response.url = effective ? effective : location;
  response.body = std::move(transfer.body);
  return response;
}

}  // namespace

HttpClientResponse http_get(std::string_view url, long timeout_seconds) { return transfer(url, timeout_seconds, {}); }

HttpClientResponse http_get_with_bearer(std::string_view url, std::string_view access_token, long timeout_seconds) {
  if (access_token.find_first_of("\r\n") != std::string_view::npos) throw ValueError("the access token holds a line break");
  const std::vector<std::string> headers = {"Authorization: Bearer " + std::string(access_token)};
  return transfer(url, timeout_seconds, {nullptr, &headers, false});
}

std::string form_urlencode(std::string_view text) {
  ensure_curl_initialised();
  char* escaped = curl_easy_escape(nullptr, text.data(), static_cast<int>(text.size()));
  if (!escaped) throw ConnectionError("HTTP client could not encode a form field");
  std::string out(escaped);
  curl_free(escaped);
  return out;
}

HttpClientResponse http_post_form(std::string_view url, const FormFields& fields, long timeout_seconds,
                                  const std::vector<std::string>& headers) {
  std::string body;
  for (const auto& [name, value] : fields) {
    body += std::string(body.empty() ? "" : "&") + form_urlencode(name) + "=" + form_urlencode(value);
  }
  for (const std::string& header : headers) {
    if (header.find_first_of("\r\n") != std::string::npos) throw ValueError("a request header holds a line break");
  }
  return transfer(url, timeout_seconds, {&body, &headers, false});
}

}  // namespace corvane
