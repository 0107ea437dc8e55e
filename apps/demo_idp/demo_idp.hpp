// A small OpenID Connect provider for demos and tests, on a loopback port:
// discovery document, key set, an authorization page where a person picks a
// demo user (no password), a token endpoint issuing ID tokens signed with
// the demo key, and a UserInfo endpoint. It requires PKCE (S256), and each
// code is good for one exchange within its lifetime. As standard providers
// do, it keeps the users' claims (email, name, ...) out of the ID token and
// serves them at UserInfo, takes client_secret_basic and client_secret_post,
// and names itself in the authorization answer ("iss", RFC 9207).
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
  // The users' claims in the ID token too, not only at UserInfo.
  bool claims_in_id_token = false;
  std::string host = "127.0.0.1";          // a loopback address only
  int port = 0;
};

class DemoIdp {
 public:
  // At most this many codes wait for their exchange; more are refused. As
  // many access tokens are good at UserInfo; the oldest are forgotten first.
  static constexpr std::size_t kMaxPendingCodes = 1000;
  static constexpr std::size_t kMaxAccessTokens = 1000;

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
  HttpResponse userinfo(const HttpRequest& request);
  // The OAuth error of a token request whose client does not authenticate
  // (Basic or form), else nullopt.
  std::optional<HttpResponse> client_refusal(const HttpRequest& request, const HttpFields& form) const;
  std::string issue_access_token(const std::string& user);

  DemoIdpOptions options_;
  Json public_key_set_;
  mutable std::mutex mutex_;
  std::string issuer_;
  std::map<std::string, Code> codes_;
  struct Access {
    std::string user;
    std::chrono::steady_clock::time_point expires;
  };
  std::map<std::string, Access> access_tokens_;
  std::vector<std::string> access_order_;  // oldest first
  HttpListener listener_;
};

}  // namespace corvane::apps
