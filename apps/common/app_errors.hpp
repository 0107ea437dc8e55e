// Errors of the tools and the host. Each is reported as one line; the
// programs exit with kUsageExit for them.
#pragma once

#include <string>

#include "corvane/util/errors.hpp"

namespace corvane::apps {

// A configuration or input file that cannot be used, an invalid option value.
class ConfigError : public Exception {
 public:
  explicit ConfigError(const std::string& message) : Exception(message) {}
  const char* kind() const noexcept override { return "ConfigError"; }
};

// OpenSSL refused an operation the tools need (key generation, signing).
class CryptoError : public Exception {
 public:
  explicit CryptoError(const std::string& message) : Exception(message) {}
  const char* kind() const noexcept override { return "CryptoError"; }
};

inline constexpr int kOkExit = 0;
inline constexpr int kFailExit = 1;   // ran, but the answer is "no"
inline constexpr int kUsageExit = 2;  // configuration, input or option error

}  // namespace corvane::apps
