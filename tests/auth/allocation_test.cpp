// Heap allocations on the request path: an authenticated API request and the
// refusals an unauthenticated flood exercises make none but a refusal's own
// exception, with the logger at warning and its records formatted.
#include <gtest/gtest.h>
#include <spdlog/sinks/base_sink.h>

#include <cstdint>
#include <mutex>

#include "cli/recording_request.hpp"
#include "corvane/auth/jwt/jwt.hpp"
#include "corvane/util/errors.hpp"
#include "corvane/util/logging.hpp"
#include "support/allocation_counter.hpp"
#include "support/http_server.hpp"
#include "support/mint.hpp"
#include "support/policy_fixture.hpp"

namespace corvane::auth::jwt {
namespace {

const std::string kSecret = "an HS256 secret of at least 32 bytes";

// Formats every record as a file or terminal sink would, and counts them.
struct FormattingSink : spdlog::sinks::base_sink<std::mutex> {
  std::size_t records = 0;

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    spdlog::memory_buf_t line;
    formatter_->format(msg, line);
    ++records;
  }
  void flush_() override {}
};

TEST(RequestPath, AllocatesNothingButARefusalsException) {
  testing::TempDir dir;
  const std::string jwks = dir.write("jwks.json", Json{{"keys", {testing::oct_jwk(kSecret, "k1")}}}.dump());
  auto users = std::make_shared<Users>();
  users->add("alice", {{"email", "alice@example.org"}});
  const host::AuthConfiguration configuration =
      testing::jwt_configuration({{"idp", testing::email_provider(jwks)}}, users);
  // Repeated tokens are answered from the token cache; without it, each is
  // verified anew.
  const JWTAuthenticationPolicy cached(host::IniSettings{}, configuration);
  const JWTAuthenticationPolicy uncached(host::IniSettings{{"jwt_cvn.token_cache_entries", "0"}}, configuration);
  const Json claims = {{"sub", "alice-sso"}, {"email", "alice@example.org"}};
  const std::string good = testing::bearer(testing::mint_hs256(kSecret, "k1", claims));
  const std::string forged = testing::bearer(testing::mint_hs256("a different secret, also 32 bytes", "k1", claims));
  const std::string long_sub = testing::bearer(
      testing::mint_hs256(kSecret, "k1", {{"sub", "0f8fad5b-d9cb-469f-a165-70867728950e"}, {"email", "alice@example.org"}}));

  auto sink = std::make_shared<FormattingSink>();
  logging::add_sink(sink);
  const auto level = logging::logger().level();
  logging::logger().set_level(spdlog::level::warn);

  struct Case {
    const char* name;
    std::string authorization;
    std::string idp;
    AuthOutcome outcome;
    std::size_t warnings;
    bool throws = false;  // the refusal's exception (its text) is allowed
    // The result's own copy of a single sign-on id too long to be kept in
    // place (the log context and the session reuse their texts).
    std::uint64_t result_copies = 0;
  };
  const std::uint64_t exception_allocations = testing::steady_allocations([] {
    try {
      throw InvalidJWSSignature("Verification failed for all signatures");
    } catch (const Exception&) {
    }
  });
  const Case cases[] = {
      {"no header", "", "idp", AuthOutcome::no_header, 0},
      {"bad padding", "Bearer abc", "idp", AuthOutcome::bad_header, 0},
      {"unknown provider", good, "nope", AuthOutcome::unknown_provider, 1},
      {"unknown provider, escaped in the record", good, "no\tpe", AuthOutcome::unknown_provider, 1},
      {"bad signature", forged, "idp", AuthOutcome::token_refused, 1, true},
      {"authenticated", good, "idp", AuthOutcome::authenticated, 0},
      {"authenticated, long sso id", long_sub, "idp", AuthOutcome::authenticated, 0, false, 1},
  };
  for (const auto& c : cases) {
    for (const JWTAuthenticationPolicy* policy : {&cached, &uncached}) {
      SCOPED_TRACE(std::string(c.name) + (policy == &cached ? ", cached" : ", uncached"));
      apps::SimpleRequest request;
      if (!c.authorization.empty()) request.header("Authorization", c.authorization);
      request.query("idp_id", c.idp).format("json");
      sink->records = 0;
      Authentication result;
      const std::uint64_t policy_allocations =
          testing::steady_allocations([&] { result = policy->authenticate(request); });
      EXPECT_EQ(result.outcome, c.outcome);
      EXPECT_EQ(sink->records, 2 * c.warnings);
      EXPECT_EQ(policy_allocations, (c.throws ? exception_allocations : 0) + c.result_copies);
    }
  }
  // authenticated_userid() keeps no sso id, so even a long one costs nothing.
  apps::SimpleRequest request;
  request.header("Authorization", long_sub).query("idp_id", "idp").format("json");
  for (const JWTAuthenticationPolicy* policy : {&cached, &uncached}) {
    EXPECT_EQ(testing::steady_allocations([&] { EXPECT_EQ(policy->authenticated_userid(request), "alice"); }), 0u);
  }

  logging::logger().set_level(level);
  logging::remove_sink(sink);
}

}  // namespace
}  // namespace corvane::auth::jwt
