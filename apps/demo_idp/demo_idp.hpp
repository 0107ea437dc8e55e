// A small OpenID Connect provider for demos and tests, on a loopback port:
// discovery document, key set, an authorization page where a person picks a
// demo user (no password), and a token endpoint issuing ID tokens signed
// with the demo key. It requires PKCE (S256), and each code is good for one
// exchange within its lifetime.
#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "corvane/util/json.hpp"
#include "http/http_listener.hpp"

namespace corvane::apps {

struct DemoIdpOptions {
  Json private_jwk;                        // signs the ID tokens (its "alg" and "kid")
  Json users;                              // user id (the "sub") to claims such as email and name
  std::string client_id;
  std::optional<std::string> client_secret;  // when set, the token request must carry it
  // The only addresses codes are sent to; a loopback one with any port.
  std::vector<std::string> redirect_uris;
  std::chrono::seconds code_lifetime{60};
  std::chrono::seconds token_lifetime{300};
  std::string host = "127.0.0.1";          // a loopback address only
  int port = 0;
};

class DemoIdp {
 public:
  // At most this many codes wait for their exchange; more are refused.
  static constexpr std::size_t kMaxPendingCodes = 1000;

  // ConfigError for options a provider cannot work with (no client id, no
  // redirect address, a key that cannot sign, a host that is not loopback).
  explicit DemoIdp(DemoIdpOptions options);

  // Binds and starts answering; returns the port.
  int start();
  void stop() { listener_.stop(); }
  // http://HOST:PORT, the issuer; known once started.
  std::string issuer() const;

 private:
  struct Code {
    std::string user, redirect_uri, nonce, challenge;
    std::chrono::steady_clock::time_point expires;
  };

  HttpResponse handle(const HttpRequest& request);
  HttpResponse authorize(const HttpRequest& request, bool approve);
  HttpResponse token(const HttpRequest& request);

  DemoIdpOptions options_;
  Json public_key_set_;
  mutable std::mutex mutex_;
  std::string issuer_;
  std::map<std::string, Code> codes_;
  HttpListener listener_;
};

}  // namespace corvane::apps
