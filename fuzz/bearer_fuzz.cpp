// Bearer header extraction: any header value gives the decoded token or one
// of the two ValueErrors.
#include <cstdint>
#include <string>

#include "corvane/auth/jwt/policy.hpp"
#include "corvane/util/base64.hpp"
#include "corvane/util/errors.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const corvane::auth::jwt::JWTAuthenticationPolicy policy(corvane::host::IniSettings{},
                                                                   corvane::host::AuthConfiguration{});
  std::string header(reinterpret_cast<const char*>(data), size);
  try {
    std::string token = policy.get_token_from_header(header);
    for (unsigned char c : token) {
      if (c >= 0x80) __builtin_trap();  // only ASCII comes out
    }
  } catch (const corvane::ValueError& error) {
    std::string message = error.what();
    if (message != "Invalid header for JWT." && message != "Invalid JWT in header.") __builtin_trap();
  }
  return 0;
}
