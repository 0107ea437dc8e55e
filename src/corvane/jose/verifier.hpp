// One key's signature check for one algorithm, set up once when the key loads.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <memory>
#include <string_view>

#include "corvane/jose/algorithm.hpp"
#include "corvane/jose/ossl.hpp"

namespace corvane::jose::detail {

// Everything a token's check needs that does not depend on the token is done
// here once: the key's verification context with its padding and digest, or
// the HMAC keyed with the secret. A check then only digests and verifies, on
// working contexts copied from the prepared one.
//
// The key is otherwise read-only after loading; the pool of working contexts
// is the one exception. An OpenSSL context cannot be used by two threads at
// once, and making one per token costs allocations and set-up, so each check
// borrows one from this pool and puts it back. The pool belongs to the key,
// so its contexts go with it: a reloaded key set starts a pool of its own and
// nothing outlives the key it was made for. The slots are lock-free, so
// threads checking with the same key never wait for each other; when more
// threads than slots check at once, the extra ones make a context and free it.
class PreparedVerifier {
 public:
  // For RSA (RS*, PS*), EC (ES*) and OKP (EdDSA) keys. A JWException when
  // OpenSSL cannot set the key up for the algorithm.
  PreparedVerifier(const Algorithm& algorithm, EVP_PKEY* pkey);
  // For HS*: `keyed` is an HMAC context keyed with the secret and the hash.
  PreparedVerifier(const Algorithm& algorithm, const EVP_MAC_CTX* keyed);
  ~PreparedVerifier();
  PreparedVerifier(const PreparedVerifier&) = delete;
  PreparedVerifier& operator=(const PreparedVerifier&) = delete;

  const Algorithm& algorithm() const noexcept { return *algorithm_; }

  // Whether `signature` (ECDSA in DER) is valid for `input`. A mismatch is
  // false and leaves the thread's OpenSSL error queue empty; a failure of
  // OpenSSL itself is a JWException. Safe to call from many threads at once.
  bool verify(std::string_view input, std::string_view signature) const;

 private:
  struct Context;
  struct ContextFree {
    void operator()(Context* context) const noexcept;
  };
  using Lease = std::unique_ptr<Context, ContextFree>;

  Lease acquire() const;
  void give_back(Lease context) const noexcept;
  Lease make_context() const;

  static constexpr std::size_t kSlots = 8;
  // A cache line each, so threads on different slots do not share one.
  struct alignas(64) Slot {
    std::atomic<Context*> context{nullptr};
  };

  const Algorithm* algorithm_;
  const EVP_MD* md_ = nullptr;           // RS*, PS*, ES*
  Owned<EVP_PKEY> pkey_;                 // EdDSA: each context is initialised with it
  Owned<EVP_PKEY_CTX> prepared_;         // RS*, PS*, ES*: initialised to verify
  Owned<EVP_MAC_CTX> keyed_;             // HS*
  mutable std::array<Slot, kSlots> slots_;
};

}  // namespace corvane::jose::detail
