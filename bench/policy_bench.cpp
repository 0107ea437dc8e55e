// The cost of authenticating one request, next to the bare signature check
// it cannot beat; scripts/run-bench turns the JSON result into the table of
// docs/performance.md.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <map>
#include <new>

#include "fixture.hpp"
#include "corvane/util/logging.hpp"

// Allocations counted per thread (a shared counter would make the two-thread
// runs contend on it), so a benchmark can report allocations per operation.
namespace {
thread_local std::uint64_t t_allocations = 0;
}  // namespace

// GCC pairs the inlined free() with operator new and warns; the two
// replacements below are a matching malloc/free pair.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
  ++t_allocations;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace corvane::bench {
namespace {

const char* const kAlgorithms[] = {"RS256", "PS256", "ES256", "EdDSA", "HS256"};

// Reports allocations per iteration of the calling thread.
class AllocationMeter {
 public:
  explicit AllocationMeter(benchmark::State& state) : state_(state), start_(t_allocations) {}
  ~AllocationMeter() {
    const double per = state_.iterations() ? double(t_allocations - start_) / double(state_.iterations()) : 0;
    state_.counters["allocs"] = benchmark::Counter(per, benchmark::Counter::kAvgThreads);
  }

 private:
  benchmark::State& state_;
  std::uint64_t start_;
};

void raw_verify(benchmark::State& state, const AlgorithmSite* site) {
  RawVerifier verifier(site->alg, site->signing_jwk, site->compact);
  AllocationMeter meter(state);
  for (auto _ : state) {
    bool ok = verifier.verify();
    benchmark::DoNotOptimize(ok);
  }
  state.SetItemsProcessed(state.iterations());
}

void secure_load_claims(benchmark::State& state, const AlgorithmSite* site) {
  const auth::jwt::IDPConfig& idp = *site->policy(10).idps->find(kIdp);
  if (idp.secure_load_claims(site->compact) != site->claims) state.SkipWithError("claims differ");
  AllocationMeter meter(state);
  for (auto _ : state) {
    Json claims = idp.secure_load_claims(site->compact);
    benchmark::DoNotOptimize(claims);
  }
  state.SetItemsProcessed(state.iterations());
}

void authenticated_userid(benchmark::State& state, const AlgorithmSite* site, std::size_t users) {
  const auto& policy = site->policy(users);
  host::SimpleRequest request;
  // An API request: the HTML session login happens once per browser, not per request.
  request.header("Authorization", site->header).query("idp_id", kIdp).format("json");
  if (policy.authenticated_userid(request) != site->expected_user()) {
    state.SkipWithError("the bench token is not authenticated");
    return;
  }
  AllocationMeter meter(state);
  for (auto _ : state) {
    auto user = policy.authenticated_userid(request);
    benchmark::DoNotOptimize(user);
  }
  state.SetItemsProcessed(state.iterations());
}

// The user walk alone, over tables of every size and both kinds of text.
struct WalkSite {
  WalkSite() : hs256("HS256") {}
  const auth::jwt::JWTAuthenticationPolicy& policy(std::size_t users, bool non_ascii) {
    auto& slot = policies[{users, non_ascii}];
    if (!slot) slot = make_policy(hs256.jwks_path, make_users(users, non_ascii));
    return *slot;
  }
  AlgorithmSite hs256;
  std::map<std::pair<std::size_t, bool>, std::unique_ptr<auth::jwt::JWTAuthenticationPolicy>> policies;
};

void user_walk(benchmark::State& state, WalkSite* site, bool non_ascii) {
  const std::size_t users = static_cast<std::size_t>(state.range(0));
  const auth::jwt::IDPConfig& idp = *site->policy(users, non_ascii).idps->find(kIdp);
  const std::size_t matched = users / 2;
  const Json claims = {{"email", claim_email(matched, non_ascii)}, {"sub", "x"}};
  if (idp.get_user_id_for_claims(claims) != "user-" + std::to_string(matched)) {
    state.SkipWithError("the walk finds the wrong user");
    return;
  }
  AllocationMeter meter(state);
  for (auto _ : state) {
    const std::string& user = idp.get_user_id_for_claims(claims);
    benchmark::DoNotOptimize(&user);
  }
  state.counters["records"] = static_cast<double>(users);
  state.counters["ns_per_record"] =
      benchmark::Counter(static_cast<double>(users) * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void token_from_header(benchmark::State& state, const auth::jwt::JWTAuthenticationPolicy* policy) {
  // An HS256 token padded until its bearer header is 1 KB.
  testing::TestKey key("HS256");
  std::string header;
  for (std::size_t pad = 0; header.size() < 1024; ++pad) {
    Json claims = oidc_claims("user7@example.org");
    claims["pad"] = std::string(pad, 'x');
    header = testing::bearer(key.token(claims, "k"));
  }
  const std::string expected = policy->get_token_from_header(header);
  AllocationMeter meter(state);
  for (auto _ : state) {
    std::string token = policy->get_token_from_header(header);
    benchmark::DoNotOptimize(token);
  }
  state.counters["header_bytes"] = static_cast<double>(header.size());
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * header.size()));
}

}  // namespace
}  // namespace corvane::bench

int main(int argc, char** argv) {
  using namespace corvane::bench;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  // Records that are off must cost nothing: the level of a production host.
  corvane::logging::logger().set_level(spdlog::level::warn);

  std::vector<std::unique_ptr<AlgorithmSite>> sites;
  for (const char* alg : kAlgorithms) {
    sites.push_back(std::make_unique<AlgorithmSite>(alg));
    const AlgorithmSite* site = sites.back().get();
    const std::string name(alg);
    benchmark::RegisterBenchmark(("raw_verify/" + name).c_str(), raw_verify, site)
        ->Threads(1)->Threads(2)->UseRealTime();
    benchmark::RegisterBenchmark(("secure_load_claims/" + name).c_str(), secure_load_claims, site);
    benchmark::RegisterBenchmark(("authenticated_userid/" + name + "/users:10").c_str(), authenticated_userid, site,
                                 std::size_t{10})
        ->Threads(1)->Threads(2)->UseRealTime();
    benchmark::RegisterBenchmark(("authenticated_userid/" + name + "/users:1000").c_str(), authenticated_userid, site,
                                 std::size_t{1000});
  }

  WalkSite walk_site;
  for (bool non_ascii : {false, true}) {
    benchmark::RegisterBenchmark(non_ascii ? "user_walk/non_ascii" : "user_walk/ascii", user_walk, &walk_site,
                                 non_ascii)
        ->Arg(10)->Arg(1000)->Arg(100000);
  }
  benchmark::RegisterBenchmark("token_from_header/1KB", token_from_header, &sites.front()->policy(10));

  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
