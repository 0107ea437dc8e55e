// How the benchmarks time things: CPU time of the measuring thread, in
// batches, repetition after repetition until the spread is small; several
// subjects measured alternately in one loop so that a ratio compares figures
// taken under the same conditions; and work that may run away on a slow
// build done in a child process with a time limit.
#pragma once

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "corvane/util/json.hpp"

namespace corvane::bench {

inline double thread_cpu_ns() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return double(now.tv_sec) * 1e9 + double(now.tv_nsec);
}

inline double wall_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Median and coefficient of variation (sample standard deviation over mean).
struct Spread {
  double median = 0;
  double cv = 0;
  std::size_t n = 0;
};

inline Spread spread_of(std::vector<double> values) {
  Spread s;
  s.n = values.size();
  if (values.empty()) return s;
  std::sort(values.begin(), values.end());
  const std::size_t mid = values.size() / 2;
  s.median = values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
  double mean = 0;
  for (double v : values) mean += v;
  mean /= double(values.size());
  double square = 0;
  for (double v : values) square += (v - mean) * (v - mean);
  s.cv = values.size() > 1 && mean > 0 ? std::sqrt(square / double(values.size() - 1)) / mean : 0;
  return s;
}

inline Json to_json(const Spread& s) { return {{"median", s.median}, {"cv", s.cv}, {"n", s.n}}; }

// A subject runs its work `n` times per call; the loop is in the subject so
// that no indirect call lands between two requests.
using Subject = std::function<void(std::size_t n)>;

template <class F>
Subject subject(F f) {
  return [f](std::size_t n) mutable {
    for (std::size_t i = 0; i < n; ++i) {
      auto result = f();
      benchmark::DoNotOptimize(result);
    }
  };
}

struct Budget {
  double batch_ns = 10e6;     // CPU time of one batch
  std::size_t window = 7;     // repetitions the spread is taken over
  double cv_target = 0.03;
  double max_seconds = 15;    // wall time, then the spread stands as it is
};

inline Budget budget_from_env() {
  Budget budget;
  if (const char* s = std::getenv("BENCH_MAX_SECONDS")) budget.max_seconds = std::atof(s);
  return budget;
}

// Nanoseconds per call of each subject (median of the last `window`
// repetitions, with its spread), and of the ratio of each subject to the
// first, computed per repetition.
struct Alternating {
  std::vector<Spread> ns;
  std::vector<Spread> ratio_to_first;
  std::size_t repetitions = 0;
  bool cv_reached = false;
  double seconds = 0;
};

inline std::size_t calibrate(Subject& s, double batch_ns) {
  std::size_t n = 1;
  for (;;) {
    const double start = thread_cpu_ns();
    s(n);
    const double took = thread_cpu_ns() - start;
    if (took >= batch_ns / 4 || n >= (std::size_t{1} << 30)) {
      return std::max<std::size_t>(1, std::size_t(double(n) * batch_ns / std::max(took, 1.0)));
    }
    n *= took < batch_ns / 100 ? 10 : 2;
  }
}

// Measures the subjects one batch each per repetition, in turn (the order
// reversed every other repetition), until every subject's spread over the
// last `window` repetitions is under the target or the time is up.
inline Alternating measure_alternating(std::vector<Subject> subjects, const Budget& budget) {
  const double started = wall_seconds();
  std::vector<std::size_t> batch;
  for (auto& s : subjects) batch.push_back(calibrate(s, budget.batch_ns));
  std::vector<std::vector<double>> times(subjects.size());
  Alternating result;
  for (;;) {
    std::vector<double> these(subjects.size());
    for (std::size_t k = 0; k < subjects.size(); ++k) {
      const std::size_t i = result.repetitions % 2 ? subjects.size() - 1 - k : k;
      const double start = thread_cpu_ns();
      subjects[i](batch[i]);
      these[i] = (thread_cpu_ns() - start) / double(batch[i]);
    }
    for (std::size_t i = 0; i < subjects.size(); ++i) times[i].push_back(these[i]);
    ++result.repetitions;
    if (times[0].size() < budget.window) continue;
    bool reached = true;
    for (auto& t : times) {
      const std::vector<double> last(t.end() - long(budget.window), t.end());
      reached = reached && spread_of(last).cv < budget.cv_target;
    }
    result.cv_reached = reached;
    if (reached || wall_seconds() - started > budget.max_seconds) break;
  }
  for (std::size_t i = 0; i < subjects.size(); ++i) {
    const std::vector<double> last(times[i].end() - long(budget.window), times[i].end());
    result.ns.push_back(spread_of(last));
    std::vector<double> ratios;
    for (std::size_t r = times[i].size() - budget.window; r < times[i].size(); ++r) {
      ratios.push_back(times[i][r] / times[0][r]);
    }
    result.ratio_to_first.push_back(spread_of(ratios));
  }
  result.seconds = wall_seconds() - started;
  return result;
}

inline Json to_json(const Alternating& a) {
  Json out = {{"repetitions", a.repetitions}, {"cv_reached", a.cv_reached}, {"seconds", a.seconds},
              {"ns", Json::array()}, {"ratio_to_first", Json::array()}};
  for (const auto& s : a.ns) out["ns"].push_back(to_json(s));
  for (const auto& s : a.ratio_to_first) out["ratio_to_first"].push_back(to_json(s));
  return out;
}

// Reads `fd` until its writer closes it; false when `timeout_seconds` pass first.
inline bool read_until_closed(int fd, double timeout_seconds, std::string& text) {
  const double deadline = wall_seconds() + timeout_seconds;
  for (;;) {
    const double left = deadline - wall_seconds();
    if (left <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, int(std::min(left, 1.0) * 1000) + 1) <= 0) continue;
    char buffer[65536];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) return true;
    text.append(buffer, std::size_t(n));
  }
}

// Reads a child's JSON result from `fd` and reaps the child: {"timeout":
// seconds} when it did not finish in time (it is killed), {"error": ...}
// when it gave no JSON, else the JSON, with its peak resident memory
// ("max_rss_bytes", from wait4()) when `with_rss`.
inline Json collect_child(pid_t pid, int fd, double timeout_seconds, bool with_rss) {
  std::string text;
  const bool timed_out = !read_until_closed(fd, timeout_seconds, text);
  close(fd);
  if (timed_out) kill(pid, SIGKILL);
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  if (timed_out) return {{"timeout", timeout_seconds}};
  Json out;
  try {
    out = parse_json(text);
  } catch (const std::exception&) {
    return {{"error", "the child gave no result (exit status " + std::to_string(status) + ")"}};
  }
  if (with_rss) out["max_rss_bytes"] = double(usage.ru_maxrss) * 1024;  // kilobytes on Linux
  return out;
}

// Runs `work` in a forked child and gives the JSON it returns, or
// {"timeout": seconds} when it did not finish in time (the child is killed),
// or {"error": ...}. The parent must hold no other thread when it forks.
inline Json in_child(const std::function<Json()>& work, double timeout_seconds) {
  int fds[2];
  if (pipe(fds) != 0) return {{"error", "pipe failed"}};
  const pid_t pid = fork();
  if (pid < 0) return {{"error", "fork failed"}};
  if (pid == 0) {
    close(fds[0]);
    std::string text;
    try {
      text = work().dump();
    } catch (const std::exception& error) {
      text = Json{{"error", error.what()}}.dump();
    }
    std::size_t done = 0;
    while (done < text.size()) {
      const ssize_t n = write(fds[1], text.data() + done, text.size() - done);
      if (n <= 0) break;
      done += std::size_t(n);
    }
    _exit(0);
  }
  close(fds[1]);
  return collect_child(pid, fds[0], timeout_seconds, false);
}

// Runs this program again with `args`, with a time limit, and gives the JSON
// it prints plus its peak resident memory ("max_rss_bytes") from wait4().
inline Json run_self(const std::vector<std::string>& args, double timeout_seconds) {
  int fds[2];
  if (pipe(fds) != 0) return {{"error", "pipe failed"}};
  const pid_t pid = fork();
  if (pid < 0) return {{"error", "fork failed"}};
  if (pid == 0) {
    dup2(fds[1], STDOUT_FILENO);
    close(fds[0]);
    close(fds[1]);
    std::vector<char*> argv;
    std::string self = "/proc/self/exe";
    argv.push_back(self.data());
    std::vector<std::string> copies = args;
    for (auto& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(self.c_str(), argv.data());
    _exit(127);
  }
  close(fds[1]);
  return collect_child(pid, fds[0], timeout_seconds, true);
}

// How busy the machine is: the load average and the share of CPU time that
// went to anything but idle over a short sample (this program sleeping).
inline Json machine_load(double sample_seconds = 1.0) {
  auto cpu = [] {
    std::ifstream stat("/proc/stat");
    std::string label;
    stat >> label;
    std::vector<double> fields;
    double v;
    for (int i = 0; i < 8 && stat >> v; ++i) fields.push_back(v);
    double total = 0;
    for (double f : fields) total += f;
    const double idle = fields.size() > 4 ? fields[3] + fields[4] : 0;
    return std::pair{total, idle};
  };
  const auto before = cpu();
  usleep(useconds_t(sample_seconds * 1e6));
  const auto after = cpu();
  const double total = after.first - before.first;
  const double busy = total > 0 ? 1 - (after.second - before.second) / total : 0;
  double load[3] = {0, 0, 0};
  getloadavg(load, 3);
  return {{"load_average", {load[0], load[1], load[2]}}, {"cpu_busy", busy}, {"sample_seconds", sample_seconds}};
}

}  // namespace corvane::bench
