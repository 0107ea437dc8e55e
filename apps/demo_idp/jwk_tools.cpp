#include "demo_idp/jwk_tools.hpp"

#include <fcntl.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "common/app_errors.hpp"
#include "corvane/jose/sign/signer.hpp"
#include "corvane/util/base64.hpp"

namespace corvane::apps {
namespace {

std::string text_of(const Json& jwk, const char* member) {
  auto it = jwk.find(member);
  if (it == jwk.end() || !it->is_string()) throw ConfigError(std::string("the key lacks the member \"") + member + "\"");
  return it->get<std::string>();
}

// The one signer, its errors told as the tools tell them: a key that cannot
// be used is the user's to fix, a failure of OpenSSL itself is not.
template <class Action>
auto with_signer_errors(Action action) {
  try {
    return action();
  } catch (const InvalidJWKType& error) {
    throw ConfigError(std::string("the key is not usable: ") + error.what());
  } catch (const InvalidJWKValue& error) {
    throw ConfigError(std::string("the key is not usable: ") + error.what());
  } catch (const InvalidJWAAlgorithm& error) {
    throw ConfigError(std::string("the key is not usable: ") + error.what());
  } catch (const JWException& error) {
    throw CryptoError(error.what());
  }
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
  Json jwk = with_signer_errors([&] { return jose::SigningKey::generate(alg_name(alg)).private_jwk(); });
  jwk["kid"] = kid;
  jwk["alg"] = std::string(alg_name(alg));
  jwk["use"] = "sig";
  return jwk;
}

Json public_jwk(const Json& private_jwk) {
  return with_signer_errors([&] { return jose::SigningKey(private_jwk).public_jwk(); });
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
  if (!parse_alg(name)) throw ConfigError("unsupported key algorithm \"" + name + "\"");
  return with_signer_errors([&] {
    const jose::SigningKey key(private_jwk);
    if (!key.suits(name)) throw ConfigError("the key does not suit its algorithm \"" + name + "\"");
    return key.sign(name, signing_input);
  });
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
  refuse_symbolic_link(path);
  const std::filesystem::path target(path);
  std::string temporary;
  int fd = -1;
  for (int attempt = 0; attempt < 8 && fd < 0; ++attempt) {
    // Piece by piece: GCC 12 at -O3 misreads "." + std::string as an
    // overlapping copy (-Wrestrict).
    std::string name(".");
    name += target.filename().string();
    name += '.';
    name += random_suffix();
    name += ".tmp";
    temporary = (target.parent_path() / name).string();
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

void refuse_symbolic_link(const std::string& path) {
  struct stat info{};
  if (::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
    throw ConfigError(path + ": is a symbolic link; refusing to write through it or replace it");
  }
}

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
