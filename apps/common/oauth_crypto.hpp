// The small cryptographic pieces both ends of a sign-in need.
#pragma once

#include <string>
#include <string_view>

namespace corvane::apps {

// 32 random bytes as base64url: states, nonces, codes.
std::string random_token();

// The PKCE S256 challenge of a verifier: base64url(SHA-256(verifier)).
std::string s256_challenge(std::string_view verifier);

// Equality that takes the same time wherever two texts of a length differ.
bool same_text(std::string_view a, std::string_view b);

}  // namespace corvane::apps
