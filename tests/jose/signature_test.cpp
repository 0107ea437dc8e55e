// The raw-to-DER conversion of ECDSA signatures, and keys shared by threads.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "corvane/jose/jwt.hpp"
#include "corvane/jose/signature.hpp"
#include "corvane/util/errors.hpp"
#include "support/jose_signer.hpp"

namespace corvane::jose {
namespace {

std::string from_hex(std::string_view hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

std::string to_hex(std::string_view bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) out += {digits[c >> 4], digits[c & 15]};
  return out;
}

TEST(EcdsaDer, EncodesInRangeScalarsAndRefusesTheRest) {
  const std::string order = from_hex("ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551");  // P-256
  std::string order_minus_one = order;
  order_minus_one.back() = static_cast<char>(0x50);
  const std::string one = std::string(31, '\0') + "\x01";
  const std::string zero(32, '\0');
  const std::string high = "\x80" + std::string(31, '\0');
  struct Case {
    const char* name;
    std::string raw;
    std::string der_hex;  // "" when refused
  } cases[] = {
      {"smallest", one + one, "3006020101020101"},
      {"high bit gets a zero byte", high + one, "3026022100" + to_hex(high) + "020101"},
      {"order - 1", order_minus_one + one, "3026022100" + to_hex(order_minus_one) + "020101"},
      {"r zero", zero + one, ""},
      {"s zero", one + zero, ""},
      {"r the order", order + one, ""},
      {"s the order", one + order, ""},
      {"s above the order", one + std::string(32, '\xff'), ""},
      {"one byte short", (one + one).substr(1), ""},
      {"one byte long", one + one + "\x01", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(to_hex(detail::ecdsa_raw_to_der(detail::Curve::p256, c.raw)), c.der_hex);
  }
  // P-521 scalars make the sequence longer than 127 bytes: long-form length.
  const std::string big = "\x01" + std::string(65, '\x10');
  EXPECT_EQ(to_hex(detail::ecdsa_raw_to_der(detail::Curve::p521, big + big).substr(0, 3)), "308188");
}

// Keys are shared by request threads without locks (run under TSan by `make tsan`);
// more threads than a key keeps working contexts for, valid and forged tokens.
TEST(Concurrency, SharedKeysVerifyInParallel) {
  std::vector<testing::TestKey> signers;
  for (const char* alg : {"HS256", "RS256", "PS256", "ES256", "EdDSA"}) signers.emplace_back(alg);
  JWKSet keys;
  std::vector<std::string> tokens, forged;
  for (std::size_t i = 0; i < signers.size(); ++i) {
    keys.add(JWK(signers[i].public_jwk("k" + std::to_string(i))));
    tokens.push_back(signers[i].token({{"sub", "alice"}}, "k" + std::to_string(i)));
    forged.push_back(signers[(i + 1) % signers.size()].sign_token(
        Json{{"alg", signers[i].alg()}, {"kid", "k" + std::to_string(i)}}.dump(), R"({"sub":"alice"})",
        signers[(i + 1) % signers.size()].alg()));
  }
  std::vector<std::thread> threads;
  std::vector<int> verified(12, 0), refused(12, 0);
  for (std::size_t t = 0; t < verified.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 20; ++round) {
        for (std::size_t i = 0; i < tokens.size(); ++i) {
          verified[t] += JWT(tokens[i], keys).claims()["sub"] == "alice";
          try {
            (void)JWT(forged[i], keys);
          } catch (const InvalidJWSSignature&) {
            ++refused[t];
          }
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int count : verified) EXPECT_EQ(count, 20 * static_cast<int>(tokens.size()));
  for (int count : refused) EXPECT_EQ(count, 20 * static_cast<int>(tokens.size()));
}

}  // namespace
}  // namespace corvane::jose
