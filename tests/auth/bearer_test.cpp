#include <gtest/gtest.h>

#include "corvane/auth/jwt/jwt.hpp"
#include "corvane/util/base64.hpp"
#include "corvane/util/errors.hpp"
#include "corvane/util/logging.hpp"

namespace corvane::auth::jwt {
namespace {

TEST(BearerToken, HeaderValues) {
  JWTAuthenticationPolicy policy(host::IniSettings{}, host::AuthConfiguration{});
  const std::string jwt = "eyJhbGciOiJIUzI1NiJ9.eyJzdWIiOiJhIn0.c2ln";
  const std::string header_error = "Invalid header for JWT.";
  const std::string jwt_error = "Invalid JWT in header.";
  struct Case {
    std::string header;
    std::string result;   // the decoded text, or the error message
    bool logs_debug;      // a decoding failure is logged
  } cases[] = {
      {"Bearer " + base64_encode(jwt), jwt, false},
      {"Bearer YWJj", "abc", false},
      {"Bearer YWJj===", "abc", false},
      {"Bearer YWI", jwt_error, true},
      {"Bearer YWI=", "ab", false},
      {"Bearer YQ=", jwt_error, true},
      {"Bearer YQ==", "a", false},
      {"Bearer YR==", "a", false},  // unused low bits need not be zero
      {"Bearer Y", jwt_error, true},
      {"Bearer Y===", jwt_error, true},
      {"Bearer gA==", jwt_error, true},  // byte 0x80 is not ASCII
      {"Bearer YWJj\n", "abc", false},   // one final line feed is allowed
      {"Bearer YWJj\n\n", header_error, false},
      {"Bearer YWJj====", header_error, false},
      {"Bearer YWJj ", header_error, false},
      {"Bearer  YWJj", header_error, false},
      {"Bearer\tYWJj", header_error, false},
      {"bearer YWJj", header_error, false},
      {"BEARER YWJj", header_error, false},
      {"Basic YWJj", header_error, false},
      {" Bearer YWJj", header_error, false},
      {"Bearer ", header_error, false},
      {"", header_error, false},
      {"Bearer " + jwt, header_error, false},  // compact form, unencoded
      {"Bearer YW-_", header_error, false},
      {"Bearer YWJj\r\n", header_error, false},
      {std::string("Bearer YWJj\0", 12), header_error, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.header);
    logging::Capture capture;
    try {
      EXPECT_EQ(policy.get_token_from_header(c.header), c.result);
    } catch (const ValueError& error) {
      EXPECT_EQ(error.what(), c.result);
    }
    auto records = capture.records();
    ASSERT_EQ(records.size(), c.logs_debug ? 1u : 0u);
    if (c.logs_debug) {
      EXPECT_EQ(records[0].level, spdlog::level::debug);
    }
  }
}

TEST(BearerToken, LogsTheDecodersMessage) {
  JWTAuthenticationPolicy policy(host::IniSettings{}, host::AuthConfiguration{});
  logging::Capture capture;
  EXPECT_THROW(policy.get_token_from_header("Bearer gA=="), ValueError);
  EXPECT_EQ(capture.messages(), std::vector<std::string>{
                                    "'ascii' codec can't decode byte 0x80 in position 0: ordinal not in range(128)"});
}

}  // namespace
}  // namespace corvane::auth::jwt
