// Key set documents: a key set or an error of the ordinary family, never a
// crash.
#include <cstdint>
#include <string>

#include "corvane/auth/jwt/idp_config.hpp"
#include "corvane/util/errors.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  try {
    corvane::auth::jwt::IDPConfig::make_jwks(corvane::parse_json(text));
  } catch (const corvane::Exception&) {
  } catch (const corvane::Json::exception&) {
  }
  return 0;
}
