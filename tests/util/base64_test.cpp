#include "corvane/util/base64.hpp"

#include <gtest/gtest.h>

namespace corvane {
namespace {

TEST(Base64, PaddedRules) {
  struct Case {
    const char* text;
    bool ok;
    const char* bytes;
  } cases[] = {
      {"YWJj", true, "abc"},
      {"YWJj===", true, "abc"},   // padding after a full group is ignored
      {"YWI", false, ""},         // three data characters need one "="
      {"YWI=", true, "ab"},
      {"YQ=", false, ""},         // two data characters need two "="
      {"YQ==", true, "a"},
      {"YR==", true, "a"},        // unused low bits need not be zero
      {"Y", false, ""},
      {"Y===", false, ""},
      {"YWJjZ", false, ""},
      {"YW=J", false, ""},        // data after padding
      {"YW-_", false, ""},        // url-safe characters are not standard
      {"", true, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    if (c.ok) {
      EXPECT_EQ(b64decode_padded(c.text), c.bytes);
    } else {
      EXPECT_THROW(b64decode_padded(c.text), Base64Error);
    }
  }
}

TEST(Base64, RoundTrips) {
  for (std::string bytes : {"", "f", "fo", "foo", "foob", "fooba", "foobar", "\xff\xfe\x00\x01"}) {
    std::string out;
    EXPECT_EQ(b64decode_padded(base64_encode(bytes)), bytes);
    ASSERT_TRUE(base64url_decode(base64url_encode(bytes), out));
    EXPECT_EQ(out, bytes);
  }
}

TEST(Base64, UrlIsStrict) {
  std::string out;
  EXPECT_TRUE(base64url_decode("-_8", out));
  EXPECT_EQ(out, "\xfb\xff");
  for (const char* bad : {"YQ==", "YQ=", "Y", "YR", "+/8", "YW J", "YW\nJ"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(base64url_decode(bad, out));
  }
}

}  // namespace
}  // namespace corvane
