// The tool's bearer hints never fail, whatever the header value, and they
// find a problem exactly when the policy refuses to take a token from it.
#include <cstdint>
#include <string>

#include "cli/request_hints.hpp"
#include "corvane/auth/jwt/policy.hpp"
#include "corvane/util/errors.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const corvane::auth::jwt::JWTAuthenticationPolicy policy(corvane::host::IniSettings{},
                                                                   corvane::host::AuthConfiguration{});
  const std::string value(reinterpret_cast<const char*>(data), size);
  const std::string problem = corvane::apps::bearer_problem(value);  // any exception ends the run
  bool taken = true;
  try {
    (void)policy.get_token_from_header(value);
  } catch (const corvane::ValueError&) {
    taken = false;
  }
  if (problem.empty() != taken) __builtin_trap();
  return 0;
}
