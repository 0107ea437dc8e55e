#include <gtest/gtest.h>
#include <openssl/bn.h>

#include "corvane/auth/jwt/jwt.hpp"
#include "corvane/jose/jwk.hpp"
#include "corvane/users/users.hpp"
#include "corvane/util/base64.hpp"
#include "corvane/util/errors.hpp"
#include "corvane/util/logging.hpp"
#include "support/http_server.hpp"
#include "support/mint.hpp"

namespace corvane::auth::jwt {
namespace {

const Json kKey = testing::oct_jwk("a symmetric key of at least 32 bytes", "k1");

// An RSA public key of `bits` bits that passes the public-key check without
// the cost of generating a key that large: a random odd modulus with no
// factor below 2,000, drawn again until the import accepts it (OpenSSL's
// check also runs a Miller-Rabin test that refuses some such numbers, about
// one draw in ten at 8,192 bits). Beyond the size limit any draw will do.
Json rsa_key_of(int bits) {
  std::unique_ptr<BN_CTX, decltype(&BN_CTX_free)> ctx(BN_CTX_new(), BN_CTX_free);
  std::unique_ptr<BIGNUM, decltype(&BN_free)> n(BN_new(), BN_free), gcd(BN_new(), BN_free),
      small_primes(BN_new(), BN_free);
  BN_one(small_primes.get());
  for (unsigned p = 3; p < 2000; p += 2) {
    bool prime = true;
    for (unsigned d = 3; d * d <= p && prime; d += 2) prime = p % d != 0;
    if (prime) BN_mul_word(small_primes.get(), p);
  }
  for (;;) {
    do {
      BN_rand(n.get(), bits, BN_RAND_TOP_ONE, BN_RAND_BOTTOM_ODD);
      BN_gcd(gcd.get(), n.get(), small_primes.get(), ctx.get());
    } while (!BN_is_one(gcd.get()));
    std::string bytes(static_cast<std::size_t>(BN_num_bytes(n.get())), '\0');
    BN_bn2bin(n.get(), reinterpret_cast<unsigned char*>(bytes.data()));
    Json key = {{"kty", "RSA"}, {"n", base64url_encode(bytes)}, {"e", "AQAB"}};
    if (bits > 8192) return key;
    try {
      jose::JWK{key};
      return key;
    } catch (const JWException&) {
    }
  }
}

class KeySetLoading : public ::testing::Test {
 protected:
  void SetUp() override {
    good = dir.write("jwks.json", Json{{"keys", {kKey}}, {"other", 1}}.dump());
    auto& s = server.server();
    s.Get("/jwks", [this](const httplib::Request&, httplib::Response& res) {
      res.set_content(Json{{"keys", {kKey}}}.dump(), "application/json");
    });
    s.Get("/missing", [](const httplib::Request&, httplib::Response& res) { res.status = 404; });
    s.Get("/broken", [](const httplib::Request&, httplib::Response& res) { res.status = 500; });
    s.Get("/html", [](const httplib::Request&, httplib::Response& res) {
      res.set_content("<html>hello</html>", "text/html");
    });
    server.start();
  }

  // Loads the key set named by `uri`; returns the error message, or "" on success.
  std::string load(const Json& uri, IDPConfig** out = nullptr) {
    config = {{"jwks_uri", uri}};
    record = std::make_unique<IDPConfig>(std::make_shared<Users>(), config, host::IniSettings{});
    record->offline_jwks_uri = uri;
    if (out) *out = record.get();
    try {
      record->load_offline_jwks();
      return "";
    } catch (const ValueError& error) {
      return error.what();
    }
  }

  static std::string missing(const std::string& uri) {
    return "Data could not be retrieved from the resource " + uri + ". Verify the local file path or URI.";
  }
  static std::string invalid(const std::string& uri) {
    return "The resource " + uri + " does not contain a valid JWK Set.";
  }

  testing::TempDir dir;
  testing::LoopbackServer server;
  std::string good;
  Json config;
  std::unique_ptr<IDPConfig> record;
};

TEST_F(KeySetLoading, LocationsThatLoad) {
  for (const std::string& uri : {good, "file://" + good, "FILE://" + good + "?v=1#k", server.url("/jwks")}) {
    SCOPED_TRACE(uri);
    IDPConfig* loaded = nullptr;
    EXPECT_EQ(load(uri, &loaded), "");
    ASSERT_TRUE(loaded->offline_jwks);
    EXPECT_EQ(loaded->offline_jwks->size(), 1u);
    EXPECT_EQ(loaded->offline_raw_jwks["keys"][0], kKey);
  }
  auto previous = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  EXPECT_EQ(load("jwks.json"), "");
  std::filesystem::current_path(previous);
}

TEST_F(KeySetLoading, FailureTable) {
  struct Case {
    std::string name;
    std::string document;  // written to a file, unless uri is given
    std::string uri;
    bool is_missing;  // err_msg_missing rather than err_msg_invalid
  } cases[] = {
      {"no keys member", R"({"other": []})", "", false},
      {"keys null", R"({"keys": null})", "", false},
      {"keys a number", R"({"keys": 3})", "", false},
      {"keys a text", R"({"keys": "abc"})", "", false},
      {"element null", R"({"keys": [null]})", "", false},
      {"element a number", R"({"keys": [1]})", "", false},
      {"element a text", R"({"keys": ["k"]})", "", false},
      {"top-level array", R"([{"kty": "oct", "k": "AAAA"}])", "", false},
      {"unknown key type among valid", Json{{"keys", {kKey, {{"kty", "XYZ"}}}}}.dump(), "", false},
      {"invalid JSON", "{\"keys\": [", "", false},
      {"missing file", "", dir.path() + "/nope.json", true},
      {"404", "", server.url("/missing"), true},
      {"500", "", server.url("/broken"), true},
      {"HTML 200", "", server.url("/html"), false},
      {"refused connection", "", "http://127.0.0.1:1/jwks", true},
      // Caps on what one set may hold.
      {"more than 64 keys", Json{{"keys", std::vector<Json>(65, kKey)}}.dump(), "", false},
      {"RSA modulus over 8192 bits", Json{{"keys", {rsa_key_of(8200)}}}.dump(), "", false},
      {"document over 1 MiB", Json{{"keys", {kKey}}, {"pad", std::string(1 << 20, ' ')}}.dump(), "", false},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string uri = c.uri.empty() ? dir.write("case.json", c.document) : c.uri;
    IDPConfig* record_seen = nullptr;
    EXPECT_EQ(load(uri, &record_seen), c.is_missing ? missing(uri) : invalid(uri));
    EXPECT_FALSE(record_seen->offline_jwks);  // no partial key set remains
  }
}

TEST_F(KeySetLoading, EmptyAndLargestSetsLoad) {
  IDPConfig* loaded = nullptr;
  EXPECT_EQ(load(dir.write("empty.json", R"({"keys": []})"), &loaded), "");
  EXPECT_EQ(loaded->offline_jwks->size(), 0u);
  EXPECT_EQ(load(dir.write("full.json", Json{{"keys", std::vector<Json>(64, kKey)}}.dump()), &loaded), "");
  EXPECT_EQ(loaded->offline_jwks->size(), 64u);
  EXPECT_EQ(load(dir.write("rsa.json", Json{{"keys", {rsa_key_of(8192)}}}.dump())), "");
}

TEST_F(KeySetLoading, OtherSchemesAreRefusedWithoutAccess) {
  logging::Capture capture;
  EXPECT_EQ(load("ftp://127.0.0.1/jwks.json"), "Incorrect value for jwks_uri.");
  EXPECT_EQ(capture.records(),
            (std::vector<logging::Record>{{spdlog::level::warn, "Incorrect value for jwks_uri."},
                                          {spdlog::level::debug, "jwks_uri: ftp://127.0.0.1/jwks.json"}}));
  EXPECT_EQ(record->err_msg_missing, missing("ftp://127.0.0.1/jwks.json"));  // set before the check
}

TEST_F(KeySetLoading, OtherFileErrorsEscapeUnchanged) {
  config = {{"jwks_uri", dir.path()}};
  IDPConfig directory(std::make_shared<Users>(), config, host::IniSettings{});
  directory.offline_jwks_uri = dir.path();
  EXPECT_THROW(directory.load_offline_jwks(), IsADirectoryError);

  std::string latin1 = dir.write("latin1.json", "{\"keys\": [\"\xe4\"]}");
  directory.offline_jwks_uri = latin1;
  EXPECT_THROW(directory.load_offline_jwks(), UnicodeDecodeError);
}

TEST_F(KeySetLoading, PostInitLoadsFromTheMergedConfiguration) {
  Json settings = {{"jwks_uri", good}, {"authorization_endpoint", "a"}, {"token_endpoint", "t"}};
  IDPConfig ready(std::make_shared<Users>(), settings, host::IniSettings{});
  ready.post_init();
  EXPECT_EQ(ready.idp_config, &settings);
  EXPECT_EQ(ready.offline_jwks_uri, good);
  EXPECT_EQ(ready.offline_verification, true);
  EXPECT_EQ(ready.offline_jwks->size(), 1u);

  Json incomplete = {{"authorization_endpoint", "a"}, {"token_endpoint", "t"}};
  IDPConfig failing(std::make_shared<Users>(), incomplete, host::IniSettings{});
  try {
    failing.post_init();
    FAIL();
  } catch (const ValueError& error) {
    EXPECT_STREQ(error.what(), "Missing required attributes: jwks_uri");
  }
  EXPECT_TRUE(failing.err_msg_missing.empty());  // key set loading never started

  // A key set that cannot be read leaves the merged values in the settings.
  std::string discovery = dir.write("openid.json", Json{{"jwks_uri", dir.path() + "/nope.json"},
                                                        {"authorization_endpoint", "a"},
                                                        {"token_endpoint", "t"}}.dump());
  Json partial = {{"well_known_configuration", discovery}, {"idp_name", "Idp"}};
  IDPConfig unreadable(std::make_shared<Users>(), partial, host::IniSettings{});
  EXPECT_THROW(unreadable.post_init(), ValueError);
  EXPECT_EQ(partial["token_endpoint"], "t");
}

}  // namespace
}  // namespace corvane::auth::jwt
