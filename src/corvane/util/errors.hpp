// Error kinds and families of the system.
//
// Each kind is a C++ exception class whose base classes are its families, so a
// handler for a family catches its members. Every kind knows its own name
// (kind()), used where a message reads "{kind}: {error}"; what() is the
// message text alone.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace corvane {

// Root of the ordinary error family.
class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string& message) : std::runtime_error(message) {}
  virtual const char* kind() const noexcept { return "Exception"; }
};

#define CORVANE_ERROR_KIND(Name, Base)                                   \
  class Name : public Base {                                             \
   public:                                                               \
    explicit Name(const std::string& message = {}) : Base(message) {}    \
    const char* kind() const noexcept override { return #Name; }         \
  }

CORVANE_ERROR_KIND(ValueError, Exception);
CORVANE_ERROR_KIND(JSONDecodeError, ValueError);
CORVANE_ERROR_KIND(UnicodeDecodeError, ValueError);

CORVANE_ERROR_KIND(OSError, Exception);
using IOError = OSError;
CORVANE_ERROR_KIND(FileNotFoundError, OSError);
CORVANE_ERROR_KIND(PermissionError, OSError);
CORVANE_ERROR_KIND(IsADirectoryError, OSError);

// What the HTTP client reports: every failure to obtain a usable response.
CORVANE_ERROR_KIND(RequestException, OSError);
CORVANE_ERROR_KIND(ConnectionError, RequestException);
CORVANE_ERROR_KIND(SSLError, ConnectionError);
CORVANE_ERROR_KIND(HTTPError, RequestException);
CORVANE_ERROR_KIND(Timeout, RequestException);
CORVANE_ERROR_KIND(InvalidSchema, RequestException);
CORVANE_ERROR_KIND(InvalidURL, RequestException);
CORVANE_ERROR_KIND(TooManyRedirects, RequestException);
CORVANE_ERROR_KIND(ContentTooLarge, RequestException);

CORVANE_ERROR_KIND(TypeError, Exception);
CORVANE_ERROR_KIND(AttributeError, Exception);
CORVANE_ERROR_KIND(NotImplementedError, Exception);

// A missing key; its text is the key in single quotes.
class KeyError : public Exception {
 public:
  explicit KeyError(std::string_view key) : Exception(quoted(key)), key_(key) {}
  const char* kind() const noexcept override { return "KeyError"; }
  const std::string& key() const noexcept { return key_; }

 private:
  // Appended piece by piece: GCC 12 at -O3 misreads "'" + std::string as an
  // overlapping copy (-Wrestrict).
  static std::string quoted(std::string_view key) {
    std::string text;
    text.reserve(key.size() + 2);
    text += '\'';
    text += key;
    text += '\'';
    return text;
  }
  std::string key_;
};

// The JOSE layer's family.
CORVANE_ERROR_KIND(JWException, Exception);
CORVANE_ERROR_KIND(InvalidJWKType, JWException);
CORVANE_ERROR_KIND(InvalidJWKValue, JWException);
CORVANE_ERROR_KIND(InvalidJWKUsage, JWException);
CORVANE_ERROR_KIND(InvalidJWAAlgorithm, JWException);
CORVANE_ERROR_KIND(InvalidJWSObject, JWException);
CORVANE_ERROR_KIND(InvalidJWSSignature, JWException);
CORVANE_ERROR_KIND(InvalidJWEData, JWException);
CORVANE_ERROR_KIND(JWKeyNotFound, JWException);
CORVANE_ERROR_KIND(JWTMissingKey, JWKeyNotFound);
CORVANE_ERROR_KIND(JWTExpired, JWException);
CORVANE_ERROR_KIND(JWTNotYetValid, JWException);
CORVANE_ERROR_KIND(JWTInvalidClaimFormat, JWException);

#undef CORVANE_ERROR_KIND

}  // namespace corvane
