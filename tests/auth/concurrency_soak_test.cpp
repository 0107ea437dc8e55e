// A long mixed run of one policy from eight threads: every answer matches
// what a single thread computes, and each thread's log context holds its own
// single sign-on id. Repeated tokens are answered from the token cache; a
// cache of a few entries makes threads replace entries others are reading.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "cli/recording_request.hpp"
#include "corvane/auth/jwt/jwt.hpp"
#include "corvane/host/log_context.hpp"
#include "corvane/users/users.hpp"
#include "support/http_server.hpp"
#include "support/jose_signer.hpp"
#include "support/mint.hpp"
#include "support/policy_fixture.hpp"

namespace corvane::auth::jwt {
namespace {

TEST(ConcurrentPolicy, HundredThousandMixedAuthentications) {
  testing::TempDir dir;
  testing::TestKey es256("ES256"), hs256("HS256"), stranger("ES256");
  std::string jwks = dir.write("jwks.json", Json{{"keys", {es256.public_jwk("ec"), hs256.public_jwk("hs")}}}.dump());
  host::AuthConfiguration configuration = testing::jwt_configuration({{"idp", testing::email_provider(jwks)}});
  auto users = std::make_shared<Users>();
  for (int i = 0; i < 50; ++i) users->add("user" + std::to_string(i), {{"email", "u" + std::to_string(i) + "@x.org"}});
  configuration.users = users;
  for (const char* entries : {"4096", "6"}) {
    SCOPED_TRACE(entries);
    const JWTAuthenticationPolicy policy(host::IniSettings{{"jwt_cvn.token_cache_entries", entries}}, configuration);

    struct Job {
      std::string authorization;
      std::optional<std::string> user;
      std::string sso;
      bool looked_up = true;  // reaches the token cache
    };
    std::vector<Job> jobs;
    for (int i = 0; i < 50; ++i) {
      Json claims = {{"sub", "S" + std::to_string(i)}, {"email", "U" + std::to_string(i) + "@x.org"}};
      jobs.push_back({testing::bearer(hs256.token(claims, "hs")), "user" + std::to_string(i), "s" + std::to_string(i)});
      if (i % 10 == 0) jobs.push_back({testing::bearer(es256.token(claims, "ec")), "user" + std::to_string(i),
                                       "s" + std::to_string(i)});
      jobs.push_back({testing::bearer(stranger.token(claims, "ec")), std::nullopt, ""});
      jobs.push_back({testing::bearer(hs256.token({{"sub", "x"}, {"email", "nobody@x.org"}}, "hs")), std::nullopt, ""});
      jobs.push_back({"Bearer " + std::to_string(i), std::nullopt, "", false});
    }

    constexpr int kThreads = 8, kPerThread = 12'500;
    std::atomic<int> wrong{0};
    std::atomic<std::uint64_t> lookups{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (int n = 0; n < kPerThread; ++n) {
          const Job& job = jobs[(static_cast<std::size_t>(n) * 7 + t) % jobs.size()];
          if (job.looked_up) ++lookups;
          host::current_thread_log_context().erase("sso_user_id");
          apps::SimpleRequest request;
          request.header("Authorization", job.authorization).query("idp_id", "idp").format(n % 2 ? "json" : "html");
          auto user = policy.authenticated_userid(request);
          const auto& context = host::current_thread_log_context();
          bool right = user == job.user && (job.user ? context.value("sso_user_id", "?") == job.sso
                                                     : !context.contains("sso_user_id"));
          if (job.user && n % 2 == 0) right = right && request.session().remembered == job.user;
          if (!right) ++wrong;
        }
      });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
    // Every request that reached the cache is a hit or a miss; with room for
    // every token, nearly all are hits.
    EXPECT_EQ(policy.token_cache->hits() + policy.token_cache->misses(), lookups.load());
    if (std::string(entries) == "4096") {
      EXPECT_GT(policy.token_cache->hits(), lookups.load() / 2);
    }
  }
}

}  // namespace
}  // namespace corvane::auth::jwt
