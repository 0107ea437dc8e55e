#include "identity/signed_value.hpp"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include "common/app_errors.hpp"
#include "corvane/util/base64.hpp"

namespace corvane::apps {

SignedValue::SignedValue(std::vector<std::string> secrets, std::string purpose, std::size_t max_value_bytes)
    : secrets_(std::move(secrets)), purpose_(std::move(purpose)), max_value_bytes_(max_value_bytes) {
  if (secrets_.empty()) throw ConfigError("a signed value needs a secret");
}

std::string SignedValue::mac(const std::string& secret, std::string_view input) const {
  unsigned char out[EVP_MAX_MD_SIZE];
  std::size_t length = 0;
  const std::string message = purpose_ + std::string(input);
  if (!EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA256", nullptr, secret.data(), secret.size(),
                 reinterpret_cast<const unsigned char*>(message.data()), message.size(), out, sizeof out, &length)) {
    throw CryptoError("HMAC failed");
  }
  return std::string(reinterpret_cast<char*>(out), length);
}

std::string SignedValue::seal(const Json& content) const {
  const std::string encoded = base64url_encode(dump(content));
  return encoded + "." + base64url_encode(mac(encoded));
}

std::optional<Json> SignedValue::open(std::string_view value, Clock::time_point now) const {
  if (value.size() > max_value_bytes_) return std::nullopt;
  const auto dot = value.find('.');
  if (dot == std::string_view::npos) return std::nullopt;
  const std::string_view encoded = value.substr(0, dot);
  std::string signature, text;
  if (!base64url_decode(value.substr(dot + 1), signature)) return std::nullopt;
  bool signed_by_us = false;
  for (const std::string& secret : secrets_) {
    const std::string expected = mac(secret, encoded);
    signed_by_us = signed_by_us || (signature.size() == expected.size() &&
                                    CRYPTO_memcmp(signature.data(), expected.data(), expected.size()) == 0);
  }
  if (!signed_by_us || !base64url_decode(encoded, text)) return std::nullopt;
  try {
    Json content = parse_json(text, 4);
    if (!content.is_object()) return std::nullopt;
    const Json& exp = get_or_null(content, "exp");
    if (!exp.is_number_integer() || exp.get<long long>() <= seconds(now)) return std::nullopt;
    return content;
  } catch (const Exception&) {
    return std::nullopt;  // signed by us in another layout, not an attack
  }
}

}  // namespace corvane::apps
