// Base64 in the two forms the system meets: the standard alphabet with the
// padding rules of the bearer header, and unpadded base64url of JWS parts.
#pragma once

#include <string>
#include <string_view>

#include "corvane/util/errors.hpp"

namespace corvane {

// A base64 decoding failure (a kind of ValueError, as a decoder's error is).
class Base64Error : public ValueError {
 public:
  explicit Base64Error(const std::string& message) : ValueError(message) {}
  const char* kind() const noexcept override { return "Base64Error"; }
};

// Standard base64 with "=" padding.
std::string base64_encode(std::string_view bytes);

// Decodes standard-alphabet data characters followed by zero or more "=".
// With n data characters and p padding characters: n % 4 == 0 decodes fully
// (padding ignored); n % 4 == 1 fails; n % 4 == 2 needs p >= 2; n % 4 == 3
// needs p >= 1. Unused low bits of the last group are ignored. Any character
// outside the alphabet, or data after padding, fails. Throws Base64Error.
std::string b64decode_padded(std::string_view text);
// The same decoding into `out`, reusing its capacity: false on failure, when
// `error` (if given) receives the message the throwing form would carry.
bool b64decode_padded(std::string_view text, std::string& out, std::string* error = nullptr);

// Unpadded base64url (RFC 7515 section 2).
std::string base64url_encode(std::string_view bytes);

// Strict unpadded base64url: only "A-Za-z0-9-_", no "=", a length that is not
// 1 more than a multiple of 4, and unused low bits zero (one text per byte
// string). Returns false on any violation; `out` is then unspecified.
bool base64url_decode(std::string_view text, std::string& out);

}  // namespace corvane
