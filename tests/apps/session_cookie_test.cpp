#include <gtest/gtest.h>

#include "common/app_errors.hpp"
#include "corvane/util/base64.hpp"
#include "identity/host_request.hpp"
#include "identity/session_cookie.hpp"
#include "signin/sign_in.hpp"

namespace corvane::apps {
namespace {

using namespace std::chrono_literals;
const SessionCodec::Clock::time_point kNow{std::chrono::seconds(1'800'000'000)};

TEST(SessionCookie, RoundTripsWithinItsLifetime) {
  const SessionCodec codec("0123456789abcdef", 3600s);
  const SessionData data{"alice", "sso-1"};
  const std::string cookie = codec.encode(data, kNow);
  EXPECT_EQ(codec.decode(cookie, kNow + 3599s), data);
  EXPECT_EQ(codec.decode(cookie, kNow + 3600s), std::nullopt);  // expired
  // Another process with the same secret reads it; one with another does not.
  EXPECT_EQ(SessionCodec("0123456789abcdef", 60s).decode(cookie, kNow), data);
  EXPECT_EQ(SessionCodec("0123456789abcdeX", 3600s).decode(cookie, kNow), std::nullopt);
  EXPECT_EQ(codec.decode(codec.encode(SessionData{}, kNow), kNow), SessionData{});
}

TEST(SessionCookie, TamperedAndMalformedValuesAreNoSession) {
  const SessionCodec codec("0123456789abcdef", 3600s);
  const std::string cookie = codec.encode({"alice", std::nullopt}, kNow);
  const auto dot = cookie.find('.');
  std::string flipped_content = cookie;
  flipped_content[1] = flipped_content[1] == 'A' ? 'B' : 'A';
  std::string flipped_mac = cookie;
  flipped_mac.back() = flipped_mac.back() == 'A' ? 'B' : 'A';
  const std::string forged = base64url_encode(R"({"uid":"bob","sso":null,"exp":9999999999})") + cookie.substr(dot);

  const std::string cases[] = {
      "", ".", "garbage", "a.b.c", flipped_content, flipped_mac, forged, cookie.substr(0, dot),
      cookie + "=", std::string(5000, 'a') + cookie, "%%%." + cookie.substr(dot + 1),
  };
  for (const std::string& value : cases) {
    SCOPED_TRACE(value.substr(0, 60));
    EXPECT_EQ(codec.decode(value, kNow), std::nullopt);
  }
  EXPECT_THROW(SessionCodec("short", 60s), ConfigError);
}

TEST(SessionCookie, ASignInStateIsNoSessionNorTheReverse) {
  const std::string secret = "0123456789abcdef";
  const LoginStateCodec states({secret});
  const SessionCodec sessions(secret, 3600s);
  const long long now = std::chrono::duration_cast<std::chrono::seconds>(kNow.time_since_epoch()).count();
  const std::string state = states.encode({"idp", "s", "n", "/next", now + 600});
  EXPECT_EQ(states.decode(state, kNow + 599s)->next, "/next");
  EXPECT_EQ(states.decode(state, kNow + 600s), std::nullopt);  // expired
  EXPECT_EQ(LoginStateCodec({"another-secret-entirely"}).decode(state, kNow), std::nullopt);
  EXPECT_EQ(LoginStateCodec({"another-secret-entirely", secret}).decode(state, kNow)->idp_id, "idp");
  EXPECT_EQ(sessions.decode(state, kNow), std::nullopt);
  EXPECT_EQ(states.decode(sessions.encode({"alice", std::nullopt}, kNow), kNow), std::nullopt);
}

TEST(SessionCookie, FindsItsCookieAmongOthers) {
  struct Case {
    const char* header;
    std::optional<std::string_view> expected;
  } cases[] = {
      {"corvane_session=abc", "abc"},
      {"a=1; corvane_session=abc; b=2", "abc"},
      {"a=1;corvane_session=x.y", "x.y"},
      {"corvane_sessionx=abc", std::nullopt},
      {"xcorvane_session=abc", std::nullopt},
      {"corvane_session", std::nullopt},
      {"", std::nullopt},
      {";;;", std::nullopt},
      {"corvane_session=first; corvane_session=second", "first"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.header);
    EXPECT_EQ(find_cookie(c.header, kSessionCookieName), c.expected);
  }
}

TEST(HostRequest, PathsAndTargets) {
  struct Case {
    const char* path;
    std::optional<std::string> extension;
  } cases[] = {{"/whoami.json", "json"}, {"/whoami", std::nullopt}, {"/a.b/c", std::nullopt},
               {"/resources/x.html", "html"}, {"/x.", ""}};
  for (const auto& c : cases) EXPECT_EQ(path_extension(c.path), c.extension) << c.path;

  for (const char* good : {"/a", "/a%20b", "/a?x=%2F&y=%aa", ""}) EXPECT_TRUE(valid_percent_encoding(good)) << good;
  for (const char* bad : {"/a%", "/a%2", "/a%zz", "/?x=%g1", "%%"}) EXPECT_FALSE(valid_percent_encoding(bad)) << bad;
}

}  // namespace
}  // namespace corvane::apps
