// Bearer header extraction agrees with the header pattern and the padded
// base64 rules on any header value, and fails only with its two ValueErrors.
#include <cstdint>
#include <string>

#include "corvane/auth/jwt/policy.hpp"
#include "corvane/util/base64.hpp"
#include "corvane/util/errors.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const corvane::auth::jwt::JWTAuthenticationPolicy policy(corvane::host::IniSettings{},
                                                                   corvane::host::AuthConfiguration{});
  std::string header(reinterpret_cast<const char*>(data), size);
  // The header pattern itself, as the reference the extraction must follow.
  auto group = corvane::auth::jwt::JWTAuthenticationPolicy::token_regex().match_group(header, "token");
  std::string expected;
  bool decodes = false;
  if (group) {
    try {
      expected = corvane::b64decode_padded(*group);
      decodes = true;
      for (unsigned char c : expected) decodes = decodes && c < 0x80;
    } catch (const corvane::Base64Error&) {
    }
  }
  try {
    std::string token = policy.get_token_from_header(header);
    if (!decodes || token != expected) __builtin_trap();
  } catch (const corvane::ValueError& error) {
    std::string message = error.what();
    if (message == "Invalid header for JWT.") {
      if (group) __builtin_trap();
    } else if (message == "Invalid JWT in header.") {
      if (!group || decodes) __builtin_trap();
    } else {
      __builtin_trap();
    }
  }
  return 0;
}
