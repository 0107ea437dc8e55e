// Splitting and decoding a compact JWS (RFC 7515 section 7.1), before any
// signature is checked.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "corvane/jose/algorithm.hpp"

namespace corvane::jose::detail {

// Longer tokens are refused before any decoding.
constexpr std::size_t kMaxTokenSize = 1024 * 1024;

// The parts of a token. The decoded parts and the kid live in buffers of the
// calling thread, which its next parse_compact() reuses: nothing is
// allocated per token once they have grown to a token's size.
struct CompactJWS {
  std::string_view signing_input;  // a view into the token
  std::string_view header;         // decoded: a JSON object with a supported "alg"
  const Algorithm* algorithm = nullptr;
  std::optional<std::string_view> kid;
  std::string_view payload;  // decoded, not yet checked
  std::string_view signature;
};

// Throws InvalidJWSObject for an oversized token or a bad part or header,
// InvalidJWEData for a five-part token, ValueError for any other shape, and
// InvalidJWAAlgorithm for an "alg" that is not supported.
CompactJWS parse_compact(std::string_view token);

}  // namespace corvane::jose::detail
