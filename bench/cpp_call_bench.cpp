// The C++ side of `make bench-python`: authenticated_userid on the site an
// ini file names, through the C++ reference request (a JSON request), for
// bench/python_bench.py to set beside the same call from Python in one run.
//
//   cpp_call_bench --ini FILE --authorization VALUE [--idp-id ID] [--seconds S] [--threads N]
//
// Prints one JSON object: {"calls_per_second": ..., "cpu_micros_per_call": ...,
// "user_id": ...}; the CPU time is the threads' own (CLOCK_THREAD_CPUTIME_ID),
// which other programs on a busy machine do not inflate as they do wall time.
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "cli/recording_request.hpp"
#include "common/app_config.hpp"
#include "corvane/util/logging.hpp"

namespace corvane::bench {
namespace {

struct Options {
  std::string ini;
  std::string authorization;
  std::string idp_id = "idp";
  double seconds = 3.0;
  int threads = 1;
};

Options parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    const std::string value = argv[i + 1];
    if (name == "--ini") {
      options.ini = value;
    } else if (name == "--authorization") {
      options.authorization = value;
    } else if (name == "--idp-id") {
      options.idp_id = value;
    } else if (name == "--seconds") {
      options.seconds = std::atof(value.c_str());
    } else if (name == "--threads") {
      options.threads = std::atoi(value.c_str());
    } else {
      throw std::invalid_argument("unknown option " + name);
    }
  }
  if (options.ini.empty() || options.authorization.empty() || options.threads < 1) {
    throw std::invalid_argument("usage: cpp_call_bench --ini FILE --authorization VALUE [--idp-id ID] [--seconds S] "
                                "[--threads N]");
  }
  return options;
}

double thread_cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

int run(const Options& options) {
  logging::logger().set_level(spdlog::level::warn);
  const host::IniSettings settings = apps::read_ini(options.ini);
  apps::FileConfiguration loaded = apps::load_auth_configuration(options.ini, settings);
  const auto policy = apps::build_policy(options.ini, settings, std::move(loaded.auth));

  // One request per thread, reused as the Python bench reuses its own.
  const auto request = [&] {
    apps::SimpleRequest made;
    made.header("Authorization", options.authorization).query("idp_id", options.idp_id).format("json");
    return made;
  };
  apps::SimpleRequest probe = request();
  const std::optional<std::string> user_id = policy->authenticated_userid(probe);

  std::vector<std::uint64_t> counts(static_cast<std::size_t>(options.threads));
  std::vector<double> cpu(static_cast<std::size_t>(options.threads));
  std::atomic<bool> stop{false};
  const auto started = std::chrono::steady_clock::now();
  std::vector<std::thread> workers;
  for (int t = 0; t < options.threads; ++t) {
    workers.emplace_back([&, t] {
      apps::SimpleRequest mine = request();
      std::uint64_t n = 0;
      const double cpu_start = thread_cpu_seconds();
      while (!stop.load(std::memory_order_relaxed)) {
        for (int i = 0; i < 50; ++i) (void)policy->authenticated_userid(mine);
        n += 50;
      }
      cpu[static_cast<std::size_t>(t)] = thread_cpu_seconds() - cpu_start;
      counts[static_cast<std::size_t>(t)] = n;
    });
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(options.seconds));
  stop.store(true);
  for (std::thread& worker : workers) worker.join();
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::uint64_t total = 0;
  for (std::uint64_t n : counts) total += n;
  double cpu_total = 0;
  for (double seconds : cpu) cpu_total += seconds;
  std::cout << Json{{"calls_per_second", static_cast<double>(total) / elapsed},
                    {"cpu_micros_per_call", cpu_total * 1e6 / static_cast<double>(total)},
                    {"user_id", user_id ? Json(*user_id) : Json(nullptr)}}
                   .dump()
            << "\n";
  return 0;
}

}  // namespace
}  // namespace corvane::bench

int main(int argc, char** argv) {
  try {
    return corvane::bench::run(corvane::bench::parse(argc, argv));
  } catch (const std::exception& error) {
    std::cerr << "cpp_call_bench: " << error.what() << "\n";
    return 2;
  }
}
