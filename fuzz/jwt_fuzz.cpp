// Compact tokens against a fixed key set: either a verified token or an error
// of the families the verifier may raise. Nothing forged verifies.
#include <cstdint>
#include <string>

#include "corvane/jose/jwt.hpp"
#include "corvane/util/errors.hpp"

namespace {

const corvane::jose::JWKSet& key_set() {
  static const corvane::jose::JWKSet keys = [] {
    corvane::jose::JWKSet set;
    // RFC 7515 A.1 HMAC key and A.3 P-256 key.
    set.add(corvane::jose::JWK(corvane::Json::parse(
        R"({"kty":"oct","k":"AyM1SysPpbyDfgZld3umj1qzKObwVMkoqQ-EstJQLr_T-1qS0gZH75aKtMN3Yj0iPS4hcgUuTwjAzZr1Z9CAow"})")));
    set.add(corvane::jose::JWK(corvane::Json::parse(
        R"({"kty":"EC","crv":"P-256","x":"f83OJ3D2xF1Bg8vub9tLe1gHMzV76e8Tus9uPHvRVEU","y":"x_FEzRu9m36HLN_tue659LNpXW6pCyStikYjKIWI5a0"})")));
    return set;
  }();
  return keys;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string token(reinterpret_cast<const char*>(data), size);
  try {
    corvane::jose::JWT verified(token, key_set());
    // Random input that verifies would be a forgery.
    __builtin_trap();
  } catch (const corvane::JWException&) {
  } catch (const corvane::ValueError&) {
  }
  return 0;
}
