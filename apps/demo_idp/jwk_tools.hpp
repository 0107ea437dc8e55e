// Key generation and signing for the tools: the system itself only
// verifies, so making keys and tokens for demos and tests lives here.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "corvane/util/json.hpp"

namespace corvane::apps {

enum class Alg { RS256, PS256, ES256, ES384, ES512, EdDSA, HS256 };

std::optional<Alg> parse_alg(std::string_view name);
std::string_view alg_name(Alg alg);

// A fresh private JWK with "kty", "kid", "alg", "use" and its key members:
// RSA 2048 bits, EC on the algorithm's curve, Ed25519, or 32 random bytes.
Json generate_private_jwk(Alg alg, const std::string& kid);

// The members a verifier may see: the private ones removed. An "oct" key is
// its own secret, so it comes back whole.
Json public_jwk(const Json& private_jwk);

// Adds `key` to the key set document {"keys": [...]}; a kid already present
// is a ConfigError (a second key under one kid would make tokens ambiguous).
void add_to_key_set(Json& key_set, Json key);
// The same refusal, without adding: lets keygen refuse before it makes a key.
void check_kid_free(const Json& key_set, const std::string& kid);

// The raw JWS signature of `signing_input` under the private JWK, in the
// form a compact JWS carries (ECDSA as R||S).
std::string sign(const Json& private_jwk, std::string_view signing_input);

// The compact JWT of `claims`, header {"alg", "kid", "typ": "JWT"}.
std::string mint_compact(const Json& private_jwk, const Json& claims);

// A ConfigError when `path` is a symbolic link: lets keygen refuse before it
// writes either of its files.
void refuse_symbolic_link(const std::string& path);

// Both replace `path` through a new file created exclusively beside it and a
// rename, so a reader (a host reloading its keys) never sees half a file. A
// symbolic link in place of `path` is a ConfigError, never followed.
// This one makes the file readable by the owner only (0600).
void write_private_file(const std::string& path, const std::string& text);
// This one makes it readable by everyone (0644): never for a secret.
void write_file_atomically(const std::string& path, const std::string& text);

// Writes the key set document: owner-only when it holds an HMAC secret (an
// "oct" key is its own verifier), else readable by everyone.
void write_key_set_file(const std::string& path, const Json& key_set);

}  // namespace corvane::apps
