// A program outside the project: the policy of an ini file, and the state
// of each of its providers.
#include <iostream>

#include "corvane/auth/jwt/jwt.hpp"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  corvane::auth::jwt::JWTAuthenticationPolicy policy(corvane::host::IniSettings::from_file(argv[1]));
  for (const auto& provider : policy.provider_states) {
    std::cout << provider.idp_id << " " << corvane::auth::jwt::status_name(provider.status) << "\n";
  }
}
