// The cost of authenticating one request, next to the bare signature check
// it cannot beat, and how costs grow with users, keys, tokens and start-up
// input. Writes one JSON document; bench/report.py judges it against the
// targets and bench/plots.py draws the growth curves.
//
//   policy_bench [--out FILE] [--export DIR] [--only SECTION,...]
//   sections: requests cache allocations users startup curves threads
//   BENCH_MAX_SECONDS: wall time per measurement before its spread stands (15)
//   BENCH_THREAD_SECONDS: seconds per one- and two-thread run (0.5)
#include <dlfcn.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iostream>
#include <new>
#include <set>
#include <sstream>
#include <thread>

#include "corvane/util/logging.hpp"
#include "fixture.hpp"
#include "growth.hpp"
#include "measure.hpp"

// Allocations counted per thread (a shared counter would make the two-thread
// runs contend on it). The exception object itself comes from
// __cxa_allocate_exception (malloc, not counted here); what is allocated from
// then until a handler catches it, such as the message built for it and its
// copy in the exception, is counted apart as the exception's own.
namespace {
thread_local std::uint64_t t_allocations = 0;
thread_local std::uint64_t t_exception_allocations = 0;
thread_local std::uint64_t t_exceptions = 0;
thread_local bool t_exception_in_flight = false;

template <class F>
F next_symbol(const char* name) {
  void* symbol = dlsym(RTLD_NEXT, name);
  if (!symbol) std::abort();
  return reinterpret_cast<F>(symbol);
}
}  // namespace

// GCC pairs the inlined free() with operator new and warns; the two
// replacements below are a matching malloc/free pair.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
  ++t_allocations;
  if (t_exception_in_flight) ++t_exception_allocations;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace __cxxabiv1 {
extern "C" void* __cxa_allocate_exception(std::size_t size) noexcept {
  static const auto real = next_symbol<void* (*)(std::size_t)>("__cxa_allocate_exception");
  ++t_exceptions;
  t_exception_in_flight = true;
  return real(size);
}
extern "C" void* __cxa_begin_catch(void* exception) noexcept {
  static const auto real = next_symbol<void* (*)(void*)>("__cxa_begin_catch");
  t_exception_in_flight = false;
  return real(exception);
}
}  // namespace __cxxabiv1

namespace corvane::bench {
namespace {

const char* const kAlgorithms[] = {"RS256", "PS256", "ES256", "EdDSA", "HS256"};
using Sites = std::vector<std::unique_ptr<AlgorithmSite>>;

double env_or(const char* name, double fallback) {
  const char* value = std::getenv(name);
  return value ? std::atof(value) : fallback;
}

// Per algorithm: the raw check and authenticated_userid (10 users),
// alternately in one loop; the ratio is the policy's time over the raw
// check's, repetition by repetition.
Json measure_requests(const Sites& sites, const Budget& budget) {
  Json out = Json::object();
  for (const auto& site : sites) {
    std::cerr << "policy_bench: requests " << site->alg << "\n";
    RawVerifier verifier(site->alg, site->signing_jwk, site->compact);
    const auto& policy = site->policy(10);
    apps::SimpleRequest request = api_request(site->header);
    if (policy.authenticated_userid(request) != site->expected_user()) {
      out[site->alg] = {{"error", "the bench token is not authenticated"}};
      continue;
    }
    out[site->alg] = to_json(measure_alternating(
        {subject([&] { return verifier.verify(); }), subject([&] { return policy.authenticated_userid(request); })},
        budget));
  }
  return out;
}

// Resident memory of this process, in bytes.
double resident_bytes() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atof(line.c_str() + 6) * 1024;
  }
  return 0;
}

// The token cache, per algorithm against the raw check: a repeated token
// (hits), and a stream of distinct valid tokens four times the cache's size
// (every request a miss that replaces an entry). Then the memory a full
// default cache holds, filled with distinct HS256 tokens of the site's size.
Json measure_token_cache(const Sites& sites, const Budget& budget) {
  Json out = {{"algorithms", Json::object()}};
  for (const auto& site : sites) {
    std::cerr << "policy_bench: token cache " << site->alg << "\n";
    RawVerifier verifier(site->alg, site->signing_jwk, site->compact);
    apps::SimpleRequest repeated = api_request(site->header);
    std::vector<apps::SimpleRequest> stream;
    for (const auto& header : site->stream) stream.push_back(api_request(header));
    if (site->cached->authenticated_userid(repeated) != site->expected_user() ||
        site->small_cache->authenticated_userid(stream.front()) != site->expected_user()) {
      out["algorithms"][site->alg] = {{"error", "the bench token is not authenticated"}};
      continue;
    }
    std::size_t next = 0;
    const auto* cached = site->cached.get();
    const auto* small = site->small_cache.get();
    out["algorithms"][site->alg] = {
        {"repeated", to_json(measure_alternating({subject([&] { return verifier.verify(); }),
                                                  subject([&] { return cached->authenticated_userid(repeated); })},
                                                 budget))},
        {"stream", to_json(measure_alternating(
                       {subject([&] { return verifier.verify(); }),
                        subject([&] { return small->authenticated_userid(stream[next++ % stream.size()]); })},
                       budget))},
        {"hits", cached->token_cache->hits()},
        {"stream_hits", small->token_cache->hits()}};
  }
  std::cerr << "policy_bench: token cache memory\n";
  const AlgorithmSite& hs256 = *sites.back();
  const auto limits = auth::jwt::TokenCache::kDefaults;
  const double before = resident_bytes();
  auto policy = make_policy(hs256.jwks_path, make_users(10, false));
  for (std::size_t i = 0; i < limits.entries; ++i) {
    Json distinct = hs256.claims;
    distinct["jti"] = "fill-" + std::to_string(i);
    apps::SimpleRequest request =
        api_request(testing::bearer(hs256.keys.back().token(distinct, hs256.signing_jwk["kid"].get<std::string>())));
    policy->authenticated_userid(request);
  }
  out["memory"] = {{"entries", policy->token_cache->size()},
                   {"token_bytes", hs256.compact.size()},
                   {"resident_bytes", resident_bytes() - before}};
  return out;
}

// Allocations per call of `f`, and of those the ones the exceptions made.
template <class F>
Json count_allocations(F f) {
  constexpr int kCalls = 1000;
  auto first = f();  // settles anything made once
  benchmark::DoNotOptimize(first);
  const auto allocations = t_allocations, exception_allocations = t_exception_allocations, exceptions = t_exceptions;
  for (int i = 0; i < kCalls; ++i) {
    auto result = f();
    benchmark::DoNotOptimize(result);
  }
  const double all = double(t_allocations - allocations) / kCalls;
  const double own = double(t_exception_allocations - exception_allocations) / kCalls;
  return {{"allocations", all},
          {"exception_allocations", own},
          {"other_allocations", all - own},
          {"exceptions", double(t_exceptions - exceptions) / kCalls},
          {"authenticated", bool(first)}};
}

// A token with one signature character changed.
std::string with_bad_signature(const std::string& compact) {
  std::string changed = compact;
  char& c = changed[compact.rfind('.') + 5];
  c = c == 'A' ? 'B' : 'A';
  return changed;
}

// The bearer header's base64 with broken padding.
std::string with_bad_padding(const std::string& header) {
  if (header.back() == '=') return header.substr(0, header.size() - 1);
  return header + "==";
}

Json measure_allocations(const Sites& sites) {
  Json out = {{"authenticated", Json::object()}, {"refused", Json::object()}};
  for (const auto& site : sites) {
    const auto& policy = site->policy(10);
    apps::SimpleRequest request = api_request(site->header);
    out["authenticated"][site->alg] = count_allocations([&] { return policy.authenticated_userid(request); });
    out["authenticated"][site->alg + ", cached"] =
        count_allocations([&] { return site->cached->authenticated_userid(request); });
    apps::SimpleRequest bad_signature = api_request(testing::bearer(with_bad_signature(site->compact)));
    out["refused"]["bad signature (" + site->alg + ")"] =
        count_allocations([&] { return policy.authenticated_userid(bad_signature); });
  }
  const auto& hs256 = *sites.back();
  const auto& policy = hs256.policy(10);
  apps::SimpleRequest bad_padding = api_request(with_bad_padding(hs256.header));
  out["refused"]["bad base64 padding"] = count_allocations([&] { return policy.authenticated_userid(bad_padding); });
  apps::SimpleRequest unknown = api_request(hs256.header, "no-such-provider");
  out["refused"]["unknown provider"] = count_allocations([&] { return policy.authenticated_userid(unknown); });
  return out;
}

// Operations per second of wall time from `threads` threads, each with its
// own work from `make` (a verifier is not shared between threads).
double rate(const std::function<std::function<bool()>()>& make, int threads, double seconds) {
  std::atomic<bool> go{false}, stop{false};
  std::atomic<std::uint64_t> total{0};
  std::vector<std::thread> workers;
  std::atomic<int> ready{0};
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&] {
      auto work = make();
      ++ready;
      while (!go) std::this_thread::yield();
      std::uint64_t n = 0;
      while (!stop) {
        for (int i = 0; i < 16; ++i) benchmark::DoNotOptimize(work());
        n += 16;
      }
      total += n;
    });
  }
  while (ready < threads) std::this_thread::yield();
  const double start = wall_seconds();
  go = true;
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  const double elapsed = wall_seconds() - start;
  for (auto& w : workers) w.join();
  return double(total) / elapsed;
}

Json measure_threads(const Sites& sites) {
  const double seconds = env_or("BENCH_THREAD_SECONDS", 0.5);
  Json out = {{"load", machine_load(2.0)}, {"algorithms", Json::object()}};
  for (const auto& site : sites) {
    std::cerr << "policy_bench: threads " << site->alg << "\n";
    const AlgorithmSite* s = site.get();
    const std::pair<const char*, std::function<std::function<bool()>()>> kinds[] = {
        {"raw", [s] {
           auto verifier = std::make_shared<RawVerifier>(s->alg, s->signing_jwk, s->compact);
           return std::function<bool()>([verifier] { return verifier->verify(); });
         }},
        {"policy", [s] {
           auto request = std::make_shared<apps::SimpleRequest>(api_request(s->header));
           const auto* policy = &s->policy(10);
           return std::function<bool()>([request, policy] { return bool(policy->authenticated_userid(*request)); });
         }},
        {"cached", [s] {
           auto request = std::make_shared<apps::SimpleRequest>(api_request(s->header));
           const auto* policy = s->cached.get();
           return std::function<bool()>([request, policy] { return bool(policy->authenticated_userid(*request)); });
         }},
    };
    for (const auto& [kind, make] : kinds) {
      std::vector<double> one, two, ratio;
      for (int r = 0; r < 3; ++r) {
        one.push_back(rate(make, 1, seconds));
        two.push_back(rate(make, 2, seconds));
        ratio.push_back(two.back() / one.back());
      }
      out["algorithms"][site->alg][kind] = {
          {"one", to_json(spread_of(one))}, {"two", to_json(spread_of(two))}, {"ratio", to_json(spread_of(ratio))}};
    }
  }
  return out;
}

// The tokens and key sets the peers in Python verify: the same as ours.
void export_for_peers(const Sites& sites, const std::string& folder) {
  for (const auto& site : sites) {
    Json jwks = parse_json(read_text_file(site->jwks_path));
    Json out = {{"alg", site->alg},
                {"token", site->compact},
                {"jwks", jwks},
                {"kid", site->signing_jwk["kid"]},
                {"issuer", site->claims["iss"]},
                {"audience", site->claims["aud"]}};
    std::ofstream(folder + "/" + site->alg + ".json") << out.dump(1) << "\n";
  }
}

Json machine() {
  std::string model = "unknown";
  std::ifstream cpuinfo("/proc/cpuinfo");
  for (std::string line; std::getline(cpuinfo, line);) {
    if (line.rfind("model name", 0) == 0) {
      model = line.substr(line.find(':') + 2);
      break;
    }
  }
  char date[32];
  const std::time_t now = std::time(nullptr);
  std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&now));
  Json out = machine_load(1.0);
  out["cpus"] = std::thread::hardware_concurrency();
  out["model"] = model;
  out["date"] = date;
  return out;
}

}  // namespace
}  // namespace corvane::bench

int main(int argc, char** argv) {
  using namespace corvane::bench;
  using corvane::Json;
  if (argc == 4 && std::string(argv[1]) == "--load-users") {
    std::cout << load_users(argv[2], argv[3]).dump() << std::endl;
    return 0;
  }
  std::string out_path, export_folder;
  std::set<std::string> only;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--out" && i + 1 < argc) {
      out_path = argv[++i];
    } else if (arg == "--export" && i + 1 < argc) {
      export_folder = argv[++i];
    } else if (arg == "--only" && i + 1 < argc) {
      std::stringstream list(argv[++i]);
      for (std::string name; std::getline(list, name, ',');) only.insert(name);
    } else {
      std::cerr << "usage: policy_bench [--out FILE] [--export DIR] [--only SECTION,...]\n"
                   "sections: requests cache allocations users startup curves threads\n";
      return arg == "--help" ? 0 : 2;
    }
  }
  auto wanted = [&](const char* section) { return only.empty() || only.count(section); };
  // Records that are off must cost nothing: the level of a production host.
  corvane::logging::logger().set_level(spdlog::level::warn);

  const Budget budget = budget_from_env();
  Budget curve_budget = budget;
  curve_budget.max_seconds = std::min(budget.max_seconds, 5.0);
  const double timeout = env_or("BENCH_TIMEOUT_SECONDS", 60);

  Json result = {{"machine", machine()}};
  Sites sites;
  for (const char* alg : kAlgorithms) sites.push_back(std::make_unique<AlgorithmSite>(alg));
  const AlgorithmSite& hs256 = *sites.back();
  if (!export_folder.empty()) export_for_peers(sites, export_folder);

  // Every child is forked before the threads section starts any thread.
  if (wanted("requests")) result["requests"] = measure_requests(sites, budget);
  if (wanted("cache")) result["token_cache"] = measure_token_cache(sites, budget);
  if (wanted("allocations")) result["allocations"] = measure_allocations(sites);
  if (wanted("users")) {
    std::cerr << "policy_bench: users\n";
    result["users"] = measure_users_curve(hs256, curve_budget, timeout);
  }
  if (wanted("startup")) {
    std::cerr << "policy_bench: start-up\n";
    corvane::testing::TempDir dir;
    result["startup"] = {{"users_load", measure_users_load(dir, timeout)},
                         {"parse", measure_parsing(hs256, curve_budget, timeout / 2)}};
  }
  if (wanted("curves")) {
    std::cerr << "policy_bench: key set and token curves\n";
    result["key_set_curve"] = measure_key_set_curve(curve_budget);
    result["token_curve"] = measure_token_curve(hs256, curve_budget);
  }
  if (wanted("threads")) result["threads"] = measure_threads(sites);

  if (out_path.empty()) {
    std::cout << result.dump(1) << "\n";
  } else {
    std::ofstream(out_path) << result.dump(1) << "\n";
  }
  return 0;
}
