// Published vectors: RFC 7515 Appendix A and RFC 8037 A.4.
#include <gtest/gtest.h>

#include "corvane/jose/jwt.hpp"
#include "corvane/util/errors.hpp"

namespace corvane::jose {
namespace {

struct Vector {
  const char* name;
  const char* jwk;
  const char* token;
};

const Vector kVectors[] = {
    {"RFC 7515 A.1 HS256",
     R"({"kty":"oct","k":"AyM1SysPpbyDfgZld3umj1qzKObwVMkoqQ-EstJQLr_T-1qS0gZH75aKtMN3Yj0iPS4hcgUuTwjAzZr1Z9CAow"})",
     "eyJ0eXAiOiJKV1QiLA0KICJhbGciOiJIUzI1NiJ9."
     "eyJpc3MiOiJqb2UiLA0KICJleHAiOjEzMDA4MTkzODAsDQogImh0dHA6Ly9leGFtcGxlLmNvbS9pc19yb290Ijp0cnVlfQ."
     "dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"},
    {"RFC 7515 A.2 RS256",
     R"({"kty":"RSA","e":"AQAB","n":"ofgWCuLjybRlzo0tZWJjNiuSfb4p4fAkd_wWJcyQoTbji9k0l8W26mPddxHmfHQp-Vaw-4qPCJrcS2mJPMEzP1Pt0Bm4d4QlL-yRT-SFd2lZS-pCgNMsD1W_YpRPEwOWvG6b32690r2jZ47soMZo9wGzjb_7OMg0LOL-bSf63kpaSHSXndS5z5rexMdbBYUsLA9e-KXBdQOS-UTo7WTBEMa2R2CapHg665xsmtdVMTBQY4uDZlxvb3qCo5ZwKh9kG4LT6_I5IhlJH7aGhyxXFvUK-DWNmoudF8NAco9_h9iaGNj8q2ethFkMLs91kzk2PAcDTW9gb54h4FRWyuXpoQ"})",
     "eyJhbGciOiJSUzI1NiJ9."
     "eyJpc3MiOiJqb2UiLA0KICJleHAiOjEzMDA4MTkzODAsDQogImh0dHA6Ly9leGFtcGxlLmNvbS9pc19yb290Ijp0cnVlfQ."
     "cC4hiUPoj9Eetdgtv3hF80EGrhuB__dzERat0XF9g2VtQgr9PJbu3XOiZj5RZmh7AAuHIm4Bh-0Qc_lF5YKt_O8W2Fp5jujGbds9uJdbF9CUAr7t1d"
     "nZcAcQjbKBYNX4BAynRFdiuB--f_nZLgrnbyTyWzO75vRK5h6xBArLIARNPvkSjtQBMHlb1L07Qe7K0GarZRmB_eSN9383LcOLn6_dO--xi12jzDw"
     "usC-eOkHWEsqtFZESc6BfI7noOPqvhJ1phCnvWh6IeYI2w9QOYEUipUTI8np6LbgGY9Fs98rqVt5AXLIhWkWywlVmtVrBp0igcN_IoypGlUPQGe77Rw"},
    {"RFC 7515 A.3 ES256",
     R"({"kty":"EC","crv":"P-256","x":"f83OJ3D2xF1Bg8vub9tLe1gHMzV76e8Tus9uPHvRVEU","y":"x_FEzRu9m36HLN_tue659LNpXW6pCyStikYjKIWI5a0"})",
     "eyJhbGciOiJFUzI1NiJ9."
     "eyJpc3MiOiJqb2UiLA0KICJleHAiOjEzMDA4MTkzODAsDQogImh0dHA6Ly9leGFtcGxlLmNvbS9pc19yb290Ijp0cnVlfQ."
     "DtEhU3ljbEg8L38VWAfUAqOyKAM6-Xx-F4GawxaepmXFCgfTjDxw5djxLa8ISlSApmWQxfKTUJqPP3-Kg6NU1Q"},
    {"RFC 7515 A.4 ES512",
     R"({"kty":"EC","crv":"P-521","x":"AekpBQ8ST8a8VcfVOTNl353vSrDCLLJXmPk06wTjxrrjcBpXp5EOnYG_NjFZ6OvLFV1jSfS9tsz4qUxcWceqwQGk","y":"ADSmRA43Z1DSNx_RvcLI87cdL07l6jQyyBXMoxVg_l2Th-x3S1WDhjDly79ajL4Kkd0AZMaZmh9ubmf63e3kyMj2"})",
     "eyJhbGciOiJFUzUxMiJ9.UGF5bG9hZA."
     "AdwMgeerwtHoh-l192l60hp9wAHZFVJbLfD_UxMi70cwnZOYaRI1bKPWROc-mZZqwqT2SI-KGDKB34XO0aw_7XdtAG8GaSwFKdCAPZgoXD2YBJZCPEX3"
     "xKpRwcdOO8KpEHwJjyqOgzDO7iKvU8vcnwNrmxYbSW9ERBXukOXolLzeO_Jn"},
    {"RFC 8037 A.4 Ed25519", R"({"kty":"OKP","crv":"Ed25519","x":"11qYAYKxCrfVS_7TyWQHOg7hcvPapiMlrwIaaPcHURo"})",
     "eyJhbGciOiJFZERTQSJ9.RXhhbXBsZSBvZiBFZDI1NTE5IHNpZ25pbmc."
     "hgyY0il_MGCjP0JzlnLWG1PPOt7-09PGcvMg3AIbQR6dWbhijcNR4ki4iylGjg5BhVsPt9g7sVvpAr_MuM0KAg"},
};

// The vectors' "exp" lies in 2011: verify at a time before it.
const auto kThen = std::chrono::system_clock::time_point(std::chrono::seconds(1300819000));

JWKSet set_of(const char* jwk) {
  JWKSet set;
  set.add(JWK(Json::parse(jwk)));
  return set;
}

TEST(PublishedVectors, Verify) {
  for (const auto& vector : kVectors) {
    SCOPED_TRACE(vector.name);
    JWT token(vector.token, set_of(vector.jwk), kThen);
    EXPECT_FALSE(token.payload().empty());
  }
  JWT hs256(kVectors[0].token, set_of(kVectors[0].jwk), kThen);
  EXPECT_EQ(hs256.claims()["iss"], "joe");
  JWT ed25519(kVectors[4].token, set_of(kVectors[4].jwk), kThen);
  EXPECT_EQ(ed25519.payload(), "Example of Ed25519 signing");
  EXPECT_THROW(ed25519.claims(), JSONDecodeError);  // verified, but not JSON
}

TEST(PublishedVectors, ExpiredAtTheirTimeNow) {
  EXPECT_THROW(JWT(kVectors[0].token, set_of(kVectors[0].jwk)), JWTExpired);
}

TEST(PublishedVectors, AnyChangedCharacterFails) {
  for (const auto& vector : kVectors) {
    SCOPED_TRACE(vector.name);
    const std::string original = vector.token;
    const JWKSet keys = set_of(vector.jwk);
    // Every position in header and payload; a sample across the signature.
    for (std::size_t i = 0; i < original.size(); i += (i > original.rfind('.') ? 7 : 1)) {
      if (original[i] == '.') continue;
      std::string changed = original;
      changed[i] = changed[i] == 'A' ? 'B' : 'A';
      try {
        JWT token(changed, keys, kThen);
        ADD_FAILURE() << "verified with position " << i << " changed";
      } catch (const JWException&) {
      } catch (const ValueError&) {
      }
    }
  }
}

}  // namespace
}  // namespace corvane::jose
