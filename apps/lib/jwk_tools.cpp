#include "jwk_tools.hpp"

#include <fcntl.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

#include "app_errors.hpp"
#include "corvane/util/base64.hpp"

namespace corvane::apps {
namespace {

template <auto Free>
struct Deleter {
  template <class T>
  void operator()(T* p) const noexcept {
    Free(p);
  }
};
using PKey = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using PKeyCtx = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX_free>>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX_free>>;
using Bn = std::unique_ptr<BIGNUM, Deleter<BN_clear_free>>;
using ParamBld = std::unique_ptr<OSSL_PARAM_BLD, Deleter<OSSL_PARAM_BLD_free>>;
using Params = std::unique_ptr<OSSL_PARAM, Deleter<OSSL_PARAM_free>>;
using EcdsaSig = std::unique_ptr<ECDSA_SIG, Deleter<ECDSA_SIG_free>>;

[[noreturn]] void fail(const std::string& what) {
  std::string detail;
  if (unsigned long code = ERR_get_error()) {
    std::array<char, 256> text{};
    ERR_error_string_n(code, text.data(), text.size());
    detail = std::string(" (") + text.data() + ")";
  }
  ERR_clear_error();
  throw CryptoError(what + detail);
}

struct Curve {
  const char* crv;         // the JWK name
  const char* group;       // the OpenSSL group name
  const char* digest;
  std::size_t coordinate;  // bytes of one coordinate, R or S
};

const Curve& curve_of(Alg alg) {
  static constexpr Curve p256{"P-256", "prime256v1", "SHA256", 32};
  static constexpr Curve p384{"P-384", "secp384r1", "SHA384", 48};
  static constexpr Curve p521{"P-521", "secp521r1", "SHA512", 66};
  switch (alg) {
    case Alg::ES256: return p256;
    case Alg::ES384: return p384;
    default: return p521;
  }
}

std::string text_of(const Json& jwk, const char* member) {
  auto it = jwk.find(member);
  if (it == jwk.end() || !it->is_string()) throw ConfigError(std::string("the key lacks the member \"") + member + "\"");
  return it->get<std::string>();
}

std::string bytes_of(const Json& jwk, const char* member) {
  std::string out;
  if (!base64url_decode(text_of(jwk, member), out)) {
    throw ConfigError(std::string("the key member \"") + member + "\" is not base64url");
  }
  return out;
}

std::string b64(const unsigned char* data, std::size_t size) {
  return base64url_encode(std::string_view(reinterpret_cast<const char*>(data), size));
}

// A big-number parameter as base64url, minimal length or padded to `width`.
std::string bn_param(const EVP_PKEY* key, const char* name, std::size_t width = 0) {
  BIGNUM* raw = nullptr;
  if (!EVP_PKEY_get_bn_param(key, name, &raw)) fail(std::string("cannot read the key parameter ") + name);
  Bn bn(raw);
  std::vector<unsigned char> out(width ? width : static_cast<std::size_t>(BN_num_bytes(bn.get())));
  if (BN_bn2binpad(bn.get(), out.data(), static_cast<int>(out.size())) < 0) fail("key parameter too large");
  std::string text = b64(out.data(), out.size());
  OPENSSL_cleanse(out.data(), out.size());
  return text;
}

Bn bn_from(const std::string& bytes) {
  Bn bn(BN_bin2bn(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()), nullptr));
  if (!bn) fail("cannot decode a key parameter");
  return bn;
}

PKey from_params(const char* type, OSSL_PARAM_BLD* builder) {
  Params params(OSSL_PARAM_BLD_to_param(builder));
  PKeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, type, nullptr));
  EVP_PKEY* raw = nullptr;
  if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) <= 0 ||
      EVP_PKEY_fromdata(ctx.get(), &raw, EVP_PKEY_KEYPAIR, params.get()) <= 0) {
    fail(std::string("the ") + type + " key is not usable");
  }
  return PKey(raw);
}

PKey rsa_private_key(const Json& jwk) {
  ParamBld builder(OSSL_PARAM_BLD_new());
  std::vector<Bn> numbers;
  const std::pair<const char*, const char*> members[] = {
      {"n", OSSL_PKEY_PARAM_RSA_N},          {"e", OSSL_PKEY_PARAM_RSA_E},
      {"d", OSSL_PKEY_PARAM_RSA_D},          {"p", OSSL_PKEY_PARAM_RSA_FACTOR1},
      {"q", OSSL_PKEY_PARAM_RSA_FACTOR2},    {"dp", OSSL_PKEY_PARAM_RSA_EXPONENT1},
      {"dq", OSSL_PKEY_PARAM_RSA_EXPONENT2}, {"qi", OSSL_PKEY_PARAM_RSA_COEFFICIENT1}};
  for (const auto& [member, param] : members) {
    numbers.push_back(bn_from(bytes_of(jwk, member)));
    if (!OSSL_PARAM_BLD_push_BN(builder.get(), param, numbers.back().get())) fail("cannot build the RSA key");
  }
  return from_params("RSA", builder.get());
}

PKey ec_private_key(const Json& jwk, const Curve& curve) {
  if (text_of(jwk, "crv") != curve.crv) throw ConfigError(std::string("the key's curve is not ") + curve.crv);
  std::string point = "\x04" + bytes_of(jwk, "x") + bytes_of(jwk, "y");
  Bn d = bn_from(bytes_of(jwk, "d"));
  ParamBld builder(OSSL_PARAM_BLD_new());
  if (!builder || !OSSL_PARAM_BLD_push_utf8_string(builder.get(), OSSL_PKEY_PARAM_GROUP_NAME, curve.group, 0) ||
      !OSSL_PARAM_BLD_push_octet_string(builder.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size()) ||
      !OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_PRIV_KEY, d.get())) {
    fail("cannot build the EC key");
  }
  return from_params("EC", builder.get());
}

PKey ed25519_private_key(const Json& jwk) {
  if (text_of(jwk, "crv") != "Ed25519") throw ConfigError("the key's curve is not Ed25519");
  const std::string d = bytes_of(jwk, "d");
  PKey key(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr,
                                        reinterpret_cast<const unsigned char*>(d.data()), d.size()));
  if (!key) fail("the Ed25519 key is not usable");
  return key;
}

std::string digest_sign(EVP_PKEY* key, const char* digest, bool pss, std::string_view input) {
  MdCtx md(EVP_MD_CTX_new());
  EVP_PKEY_CTX* pctx = nullptr;
  if (!md || EVP_DigestSignInit_ex(md.get(), &pctx, digest, nullptr, nullptr, key, nullptr) <= 0) {
    fail("cannot start signing");
  }
  if (pss && (EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PSS_PADDING) <= 0 ||
              EVP_PKEY_CTX_set_rsa_pss_saltlen(pctx, RSA_PSS_SALTLEN_DIGEST) <= 0)) {
    fail("cannot set the PSS padding");
  }
  const auto* data = reinterpret_cast<const unsigned char*>(input.data());
  std::size_t length = 0;
  if (EVP_DigestSign(md.get(), nullptr, &length, data, input.size()) <= 0) fail("cannot sign");
  std::string signature(length, '\0');
  if (EVP_DigestSign(md.get(), reinterpret_cast<unsigned char*>(signature.data()), &length, data, input.size()) <= 0) {
    fail("cannot sign");
  }
  signature.resize(length);
  return signature;
}

// ECDSA signs in DER; a JWS carries R and S as fixed-width big-endian numbers.
std::string der_to_raw(const std::string& der, std::size_t width) {
  const auto* cursor = reinterpret_cast<const unsigned char*>(der.data());
  EcdsaSig sig(d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(der.size())));
  if (!sig) fail("cannot decode the ECDSA signature");
  const BIGNUM* r = nullptr;
  const BIGNUM* s = nullptr;
  ECDSA_SIG_get0(sig.get(), &r, &s);
  std::string raw(2 * width, '\0');
  auto* out = reinterpret_cast<unsigned char*>(raw.data());
  if (BN_bn2binpad(r, out, static_cast<int>(width)) < 0 || BN_bn2binpad(s, out + width, static_cast<int>(width)) < 0) {
    fail("ECDSA signature too large");
  }
  return raw;
}

std::string hmac_sha256(const std::string& secret, std::string_view input) {
  unsigned char mac[EVP_MAX_MD_SIZE];
  std::size_t length = 0;
  if (!EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA256", nullptr, secret.data(), secret.size(),
                 reinterpret_cast<const unsigned char*>(input.data()), input.size(), mac, sizeof mac, &length)) {
    fail("HMAC failed");
  }
  return std::string(reinterpret_cast<char*>(mac), length);
}

}  // namespace

std::optional<Alg> parse_alg(std::string_view name) {
  for (Alg alg : {Alg::RS256, Alg::PS256, Alg::ES256, Alg::ES384, Alg::ES512, Alg::EdDSA, Alg::HS256}) {
    if (alg_name(alg) == name) return alg;
  }
  return std::nullopt;
}

std::string_view alg_name(Alg alg) {
  switch (alg) {
    case Alg::RS256: return "RS256";
    case Alg::PS256: return "PS256";
    case Alg::ES256: return "ES256";
    case Alg::ES384: return "ES384";
    case Alg::ES512: return "ES512";
    case Alg::EdDSA: return "EdDSA";
    case Alg::HS256: return "HS256";
  }
  return "";
}

Json generate_private_jwk(Alg alg, const std::string& kid) {
  Json jwk = Json::object();
  switch (alg) {
    case Alg::RS256:
    case Alg::PS256: {
      PKey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<std::size_t>(2048)));
      if (!key) fail("RSA key generation failed");
      jwk["kty"] = "RSA";
      jwk["n"] = bn_param(key.get(), OSSL_PKEY_PARAM_RSA_N);
      jwk["e"] = bn_param(key.get(), OSSL_PKEY_PARAM_RSA_E);
      jwk["d"] = bn_param(key.get(), OSSL_PKEY_PARAM_RSA_D);
      jwk["p"] = bn_param(key.get(), OSSL_PKEY_PARAM_RSA_FACTOR1);
      jwk["q"] = bn_param(key.get(), OSSL_PKEY_PARAM_RSA_FACTOR2);
      jwk["dp"] = bn_param(key.get(), OSSL_PKEY_PARAM_RSA_EXPONENT1);
      jwk["dq"] = bn_param(key.get(), OSSL_PKEY_PARAM_RSA_EXPONENT2);
      jwk["qi"] = bn_param(key.get(), OSSL_PKEY_PARAM_RSA_COEFFICIENT1);
      break;
    }
    case Alg::ES256:
    case Alg::ES384:
    case Alg::ES512: {
      const Curve& curve = curve_of(alg);
      PKey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", curve.group));
      if (!key) fail("EC key generation failed");
      jwk["kty"] = "EC";
      jwk["crv"] = curve.crv;
      jwk["x"] = bn_param(key.get(), OSSL_PKEY_PARAM_EC_PUB_X, curve.coordinate);
      jwk["y"] = bn_param(key.get(), OSSL_PKEY_PARAM_EC_PUB_Y, curve.coordinate);
      jwk["d"] = bn_param(key.get(), OSSL_PKEY_PARAM_PRIV_KEY, curve.coordinate);
      break;
    }
    case Alg::EdDSA: {
      PKey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
      if (!key) fail("Ed25519 key generation failed");
      std::array<unsigned char, 32> pub{}, priv{};
      std::size_t pub_len = pub.size(), priv_len = priv.size();
      if (!EVP_PKEY_get_raw_public_key(key.get(), pub.data(), &pub_len) ||
          !EVP_PKEY_get_raw_private_key(key.get(), priv.data(), &priv_len)) {
        fail("cannot export the Ed25519 key");
      }
      jwk["kty"] = "OKP";
      jwk["crv"] = "Ed25519";
      jwk["x"] = b64(pub.data(), pub_len);
      jwk["d"] = b64(priv.data(), priv_len);
      OPENSSL_cleanse(priv.data(), priv.size());
      break;
    }
    case Alg::HS256: {
      std::array<unsigned char, 32> secret{};
      if (RAND_bytes(secret.data(), static_cast<int>(secret.size())) != 1) fail("no random bytes");
      jwk["kty"] = "oct";
      jwk["k"] = b64(secret.data(), secret.size());
      OPENSSL_cleanse(secret.data(), secret.size());
      break;
    }
  }
  jwk["kid"] = kid;
  jwk["alg"] = std::string(alg_name(alg));
  jwk["use"] = "sig";
  return jwk;
}

Json public_jwk(const Json& private_jwk) {
  if (private_jwk.value("kty", "") == "oct") return private_jwk;
  Json out = private_jwk;
  for (const char* member : {"d", "p", "q", "dp", "dq", "qi", "oth"}) out.erase(member);
  return out;
}

void check_kid_free(const Json& key_set, const std::string& kid) {
  const Json& keys = get_or_null(key_set, "keys");
  if (!keys.is_array()) throw ConfigError("the key set is not a JSON object with a \"keys\" list");
  for (const Json& existing : keys) {
    if (get_or_null(existing, "kid") == kid) {
      throw ConfigError("the key set already holds a key with kid \"" + kid + "\"");
    }
  }
}

void add_to_key_set(Json& key_set, Json key) {
  check_kid_free(key_set, text_of(key, "kid"));
  key_set["keys"].push_back(std::move(key));
}

std::string sign(const Json& private_jwk, std::string_view signing_input) {
  if (!private_jwk.is_object()) throw ConfigError("the key is not a JSON object");
  const std::string name = text_of(private_jwk, "alg");
  const std::optional<Alg> alg = parse_alg(name);
  if (!alg) throw ConfigError("unsupported key algorithm \"" + name + "\"");
  switch (*alg) {
    case Alg::RS256:
    case Alg::PS256: {
      PKey key = rsa_private_key(private_jwk);
      return digest_sign(key.get(), "SHA256", *alg == Alg::PS256, signing_input);
    }
    case Alg::ES256:
    case Alg::ES384:
    case Alg::ES512: {
      const Curve& curve = curve_of(*alg);
      PKey key = ec_private_key(private_jwk, curve);
      return der_to_raw(digest_sign(key.get(), curve.digest, false, signing_input), curve.coordinate);
    }
    case Alg::EdDSA: {
      PKey key = ed25519_private_key(private_jwk);
      return digest_sign(key.get(), nullptr, false, signing_input);
    }
    case Alg::HS256: return hmac_sha256(bytes_of(private_jwk, "k"), signing_input);
  }
  throw ConfigError("unsupported key algorithm \"" + name + "\"");
}

std::string mint_compact(const Json& private_jwk, const Json& claims) {
  if (!private_jwk.is_object()) throw ConfigError("the key is not a JSON object");
  Json header = {{"alg", text_of(private_jwk, "alg")}, {"kid", text_of(private_jwk, "kid")}, {"typ", "JWT"}};
  const std::string input = base64url_encode(header.dump()) + "." + base64url_encode(claims.dump());
  return input + "." + base64url_encode(sign(private_jwk, input));
}

namespace {

void write_all(int fd, const std::string& path, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw ConfigError(path + ": cannot write (" + std::strerror(errno) + ")");
    done += static_cast<std::size_t>(n);
  }
}

std::string random_suffix() {
  std::array<unsigned char, 8> random{};
  if (RAND_bytes(random.data(), static_cast<int>(random.size())) != 1) throw CryptoError("no random bytes");
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char byte : random) {
    out += kHex[byte >> 4];
    out += kHex[byte & 0xf];
  }
  return out;
}

// Replaces `path` with a file of `text` and exactly `mode`: the content goes
// into a new file beside it, created exclusively (never an existing file, never
// through a link), and is renamed into place, so a reader never sees half a
// file and a secret never passes through a file another user could open.
void replace_file(const std::string& path, const std::string& text, mode_t mode) {
  struct stat info{};
  if (::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
    throw ConfigError(path + ": is a symbolic link; refusing to write through it or replace it");
  }
  const std::filesystem::path target(path);
  std::string temporary;
  int fd = -1;
  for (int attempt = 0; attempt < 8 && fd < 0; ++attempt) {
    temporary = (target.parent_path() / ("." + target.filename().string() + "." + random_suffix() + ".tmp")).string();
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0 && errno != EEXIST) {
      throw ConfigError(path + ": cannot create a file beside it (" + std::strerror(errno) + ")");
    }
  }
  if (fd < 0) throw ConfigError(path + ": cannot create a file beside it (names taken)");
  try {
    // The umask may narrow the mode at creation; a public key set must stay readable.
    if (::fchmod(fd, mode) != 0) throw ConfigError(path + ": cannot set the mode (" + std::strerror(errno) + ")");
    write_all(fd, path, text);
    if (::fsync(fd) != 0) throw ConfigError(path + ": cannot write (" + std::strerror(errno) + ")");
    const int closed = ::close(fd);
    fd = -1;
    if (closed != 0) throw ConfigError(path + ": cannot write (" + std::strerror(errno) + ")");
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
      throw ConfigError(path + ": cannot replace the file (" + std::strerror(errno) + ")");
    }
  } catch (...) {
    if (fd >= 0) ::close(fd);
    ::unlink(temporary.c_str());
    throw;
  }
}

bool holds_secret(const Json& key_set) {
  const Json& keys = get_or_null(key_set, "keys");
  if (!keys.is_array()) return false;
  return std::any_of(keys.begin(), keys.end(), [](const Json& key) { return get_or_null(key, "kty") == "oct"; });
}

}  // namespace

void write_private_file(const std::string& path, const std::string& text) { replace_file(path, text, 0600); }

void write_file_atomically(const std::string& path, const std::string& text) { replace_file(path, text, 0644); }

void write_key_set_file(const std::string& path, const Json& key_set) {
  const std::string text = key_set.dump(2) + "\n";
  if (holds_secret(key_set)) {
    write_private_file(path, text);
  } else {
    write_file_atomically(path, text);
  }
}

}  // namespace corvane::apps
