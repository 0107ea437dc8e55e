#include "corvane/util/url.hpp"

#include <gtest/gtest.h>

#include "corvane/util/errors.hpp"

namespace corvane {
namespace {

TEST(UrlSplit, SchemeHostAndPath) {
  struct Case {
    const char* text;
    const char* scheme;
    const char* netloc;
    const char* path;
  } cases[] = {
      {"/etc/keys.json", "", "", "/etc/keys.json"},
      {"file:///etc/keys.json", "file", "", "/etc/keys.json"},
      {"file:///etc/keys.json?x=1#frag", "file", "", "/etc/keys.json"},
      {"file://host/etc/keys.json", "file", "host", "/etc/keys.json"},
      {"FILE:///a", "file", "", "/a"},
      {"HTTPS://Example.org/jwks?a#b", "https", "Example.org", "/jwks"},
      {"keys/jwks.json", "", "", "keys/jwks.json"},
      {"keys/jwks.json;v=1", "", "", "keys/jwks.json"},   // path parameters end a schemeless path
      {"a;b/jwks.json", "", "", "a;b/jwks.json"},         // only in the last segment
      {"//host/path", "", "host", "/path"},
      {"1http://x/y", "", "", "1http://x/y"},             // a scheme starts with a letter
      {"ht_tp://x/y", "", "", "ht_tp://x/y"},
      {"c+s-v.1:rest", "c+s-v.1", "", "rest"},
      {":nothing", "", "", ":nothing"},
      {"ftp://host/file", "ftp", "host", "/file"},
      {"", "", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    UrlParts parts = url_split(c.text);
    EXPECT_EQ(parts.scheme, c.scheme);
    EXPECT_EQ(parts.netloc, c.netloc);
    EXPECT_EQ(parts.path, c.path);
  }
}

TEST(UrlSplit, QueryAndFragment) {
  UrlParts parts = url_split("https://h/p?q=1&r=2#frag?x");
  EXPECT_EQ(parts.query, "q=1&r=2");
  EXPECT_EQ(parts.fragment, "frag?x");
}

TEST(UrlSplit, UnbalancedBracketsInHost) {
  for (const char* text : {"http://[::1/path", "http://::1]/path"}) {
    SCOPED_TRACE(text);
    EXPECT_THROW(url_split(text), ValueError);
  }
  EXPECT_EQ(url_split("http://[::1]:8080/p").netloc, "[::1]:8080");
}

}  // namespace
}  // namespace corvane
