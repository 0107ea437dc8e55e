// Splitting and decoding a compact JWS (RFC 7515 section 7.1), before any
// signature is checked.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "corvane/jose/algorithm.hpp"
#include "corvane/util/json.hpp"

namespace corvane::jose::detail {

// Longer tokens are refused before any decoding.
constexpr std::size_t kMaxTokenSize = 1024 * 1024;

struct CompactJWS {
  std::string_view signing_input;  // a view into the token
  Json header;                     // an object with a supported "alg"
  const Algorithm* algorithm = nullptr;
  std::optional<std::string> kid;
  std::string payload;               // decoded, not yet checked
  std::string signature;
};

// Throws InvalidJWSObject for an oversized token or a bad part or header,
// InvalidJWEData for a five-part token, ValueError for any other shape, and
// InvalidJWAAlgorithm for an "alg" that is not supported.
CompactJWS parse_compact(std::string_view token);

}  // namespace corvane::jose::detail
