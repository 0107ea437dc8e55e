#include "corvane/jose/verifier.hpp"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/rsa.h>

#include <functional>
#include <thread>

#include "corvane/util/errors.hpp"

namespace corvane::jose::detail {
namespace {

const unsigned char* bytes_of(std::string_view s) noexcept { return reinterpret_cast<const unsigned char*>(s.data()); }

[[noreturn]] void openssl_failed(const char* what) { throw JWException(std::string(what) + take_openssl_errors()); }

// Where a thread first looks in a pool, so that threads sharing a key mostly
// keep to slots of their own.
std::size_t home_slot(std::size_t slots) noexcept {
  return std::hash<std::thread::id>{}(std::this_thread::get_id()) % slots;
}

}  // namespace

// One thread's working contexts while it holds them.
struct PreparedVerifier::Context {
  Owned<EVP_PKEY_CTX> verify;  // RS*, PS*, ES*: a copy of the prepared one
  Owned<EVP_MD_CTX> digest;    // RS*, PS*, ES*: the digest; EdDSA: the whole check
  Owned<EVP_MAC_CTX> mac;      // HS*
};

void PreparedVerifier::ContextFree::operator()(Context* context) const noexcept { delete context; }

PreparedVerifier::PreparedVerifier(const Algorithm& algorithm, EVP_PKEY* pkey) : algorithm_(&algorithm) {
  if (algorithm.family == Family::eddsa) {
    if (EVP_PKEY_up_ref(pkey) != 1) openssl_failed("Cannot share an EdDSA key: ");
    pkey_.reset(pkey);
    return;
  }
  md_ = digest(algorithm.hash);
  prepared_.reset(EVP_PKEY_CTX_new_from_pkey(nullptr, pkey, nullptr));
  EVP_PKEY_CTX* ctx = prepared_.get();
  if (!ctx || EVP_PKEY_verify_init(ctx) <= 0 || EVP_PKEY_CTX_set_signature_md(ctx, md_) <= 0) {
    openssl_failed("Cannot set up verification: ");
  }
  if (algorithm.family == Family::rsa_pkcs1 && EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) <= 0) {
    openssl_failed("Cannot set up RSASSA-PKCS1-v1_5: ");
  }
  // RFC 7518 3.5: MGF1 with the same hash, and a salt as long as the hash.
  if (algorithm.family == Family::rsa_pss &&
      (EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PSS_PADDING) <= 0 ||
       EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx, RSA_PSS_SALTLEN_DIGEST) <= 0 ||
       EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, md_) <= 0)) {
    openssl_failed("Cannot set up RSASSA-PSS: ");
  }
}

PreparedVerifier::PreparedVerifier(const Algorithm& algorithm, const EVP_MAC_CTX* keyed)
    : algorithm_(&algorithm), keyed_(EVP_MAC_CTX_dup(keyed)) {
  if (!keyed_) openssl_failed("Cannot set up HMAC: ");
}

PreparedVerifier::~PreparedVerifier() {
  for (Slot& slot : slots_) ContextFree{}(slot.context.load(std::memory_order_acquire));
}

PreparedVerifier::Lease PreparedVerifier::make_context() const {
  Lease context(new Context);
  switch (algorithm_->family) {
    case Family::hmac:
      context->mac.reset(EVP_MAC_CTX_dup(keyed_.get()));
      if (!context->mac) openssl_failed("Cannot copy an HMAC context: ");
      break;
    case Family::eddsa:
      // The one-shot check leaves the context ready for the next one.
      context->digest.reset(EVP_MD_CTX_new());
      if (!context->digest ||
          EVP_DigestVerifyInit(context->digest.get(), nullptr, nullptr, nullptr, pkey_.get()) <= 0) {
        openssl_failed("Cannot start verification: ");
      }
      break;
    case Family::rsa_pkcs1:
    case Family::rsa_pss:
    case Family::ecdsa:
      context->verify.reset(EVP_PKEY_CTX_dup(prepared_.get()));
      context->digest.reset(EVP_MD_CTX_new());
      if (!context->verify || !context->digest) openssl_failed("Cannot copy a verification context: ");
      break;
  }
  return context;
}

PreparedVerifier::Lease PreparedVerifier::acquire() const {
  const std::size_t home = home_slot(kSlots);
  for (std::size_t i = 0; i < kSlots; ++i) {
    std::atomic<Context*>& slot = slots_[(home + i) % kSlots].context;
    if (slot.load(std::memory_order_relaxed) == nullptr) continue;
    if (Context* context = slot.exchange(nullptr, std::memory_order_acquire)) return Lease(context);
  }
  return make_context();
}

void PreparedVerifier::give_back(Lease context) const noexcept {
  const std::size_t home = home_slot(kSlots);
  for (std::size_t i = 0; i < kSlots; ++i) {
    std::atomic<Context*>& slot = slots_[(home + i) % kSlots].context;
    Context* empty = nullptr;
    if (slot.load(std::memory_order_relaxed) == nullptr &&
        slot.compare_exchange_strong(empty, context.get(), std::memory_order_release, std::memory_order_relaxed)) {
      context.release();
      return;
    }
  }
  // Every slot is taken: more threads than slots are checking with this key.
}

bool PreparedVerifier::verify(std::string_view input, std::string_view signature) const {
  // A context is given back only after a check that ran to its end; one left
  // in an unknown state by a failure is freed with the lease.
  Lease context = acquire();
  int result = 0;
  switch (algorithm_->family) {
    case Family::hmac: {
      EVP_MAC_CTX* mac = context->mac.get();
      unsigned char tag[EVP_MAX_MD_SIZE];
      std::size_t length = 0;
      // Without a key, init restarts from the inner and outer states keyed at load.
      if (!EVP_MAC_init(mac, nullptr, 0, nullptr) || !EVP_MAC_update(mac, bytes_of(input), input.size()) ||
          !EVP_MAC_final(mac, tag, &length, sizeof tag)) {
        openssl_failed("HMAC failed: ");
      }
      give_back(std::move(context));
      return signature.size() == length && CRYPTO_memcmp(tag, signature.data(), length) == 0;
    }
    case Family::eddsa:
      result = EVP_DigestVerify(context->digest.get(), bytes_of(signature), signature.size(), bytes_of(input),
                                input.size());
      break;
    case Family::rsa_pkcs1:
    case Family::rsa_pss:
    case Family::ecdsa: {
      unsigned char hash[EVP_MAX_MD_SIZE];
      unsigned int length = 0;
      EVP_MD_CTX* md = context->digest.get();
      if (!EVP_DigestInit_ex2(md, md_, nullptr) || !EVP_DigestUpdate(md, input.data(), input.size()) ||
          !EVP_DigestFinal_ex(md, hash, &length)) {
        openssl_failed("Cannot digest the signing input: ");
      }
      result = EVP_PKEY_verify(context->verify.get(), bytes_of(signature), signature.size(), hash, length);
      break;
    }
  }
  // A mismatch leaves reasons on the queue; they are the expected outcome, not a fault.
  if (result != 1) ERR_clear_error();
  give_back(std::move(context));
  return result == 1;
}

}  // namespace corvane::jose::detail
