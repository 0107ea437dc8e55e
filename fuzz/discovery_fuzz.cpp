// A discovery document of any content goes through merge and validation with
// only the error kinds those steps name.
#include <cstdint>
#include <string>

#include "corvane/auth/jwt/idp_config.hpp"
#include "corvane/users/users.hpp"
#include "corvane/util/errors.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  corvane::Json remote;
  try {
    remote = corvane::parse_json(text);
  } catch (const corvane::JSONDecodeError&) {
    return 0;
  }
  corvane::Json local = {{"jwks_uri", ""}, {"token_endpoint", "t"}};
  corvane::auth::jwt::IDPConfig record(std::make_shared<corvane::Users>(), local, corvane::host::IniSettings{});
  try {
    record._merge_jwt_configuration(local, remote);
    record._validate_jwt_configuration(local);
    if (!corvane::truthy(local["jwks_uri"]) || local["token_endpoint"] != "t") __builtin_trap();
  } catch (const corvane::KeyError&) {
  } catch (const corvane::TypeError&) {
  } catch (const corvane::ValueError&) {
  }
  return 0;
}
