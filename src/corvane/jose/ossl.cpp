#include "corvane/jose/ossl.hpp"

#include <openssl/err.h>

namespace corvane::jose::detail {

std::string take_openssl_errors() {
  std::string text;
  char buffer[256];
  while (unsigned long code = ERR_get_error()) {
    ERR_error_string_n(code, buffer, sizeof buffer);
    if (!text.empty()) text += "; ";
    text += buffer;
  }
  return text.empty() ? "unknown OpenSSL failure" : text;
}

}  // namespace corvane::jose::detail
