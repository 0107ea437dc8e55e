// The bearer token of an Authorization header: "Bearer", one blank and the
// standard base64 of the compact JWT.
#include <cstdio>

#include "corvane/auth/jwt/policy.hpp"
#include "corvane/util/base64.hpp"
#include "corvane/util/errors.hpp"
#include "corvane/util/logging.hpp"

namespace corvane::auth::jwt {
namespace {

void require_ascii(const std::string& bytes) {
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    auto byte = static_cast<unsigned char>(bytes[i]);
    if (byte >= 0x80) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "0x%02x", byte);
      throw UnicodeDecodeError(std::string("'ascii' codec can't decode byte ") + hex + " in position " +
                               std::to_string(i) + ": ordinal not in range(128)");
    }
  }
}

}  // namespace

std::string JWTAuthenticationPolicy::get_token_from_header(std::string_view auth_header) const {
  auto token = token_regex().match_group(auth_header, "token");
  if (!token) throw ValueError("Invalid header for JWT.");
  try {
    std::string decoded = b64decode_padded(*token);
    require_ascii(decoded);
    return decoded;
  } catch (const Base64Error& error) {
    logging::debug(error.what());
  } catch (const UnicodeDecodeError& error) {
    logging::debug(error.what());
  }
  throw ValueError("Invalid JWT in header.");
}

}  // namespace corvane::auth::jwt
