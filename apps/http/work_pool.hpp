// A few threads for the answers that wait on another server (a sign-in's
// requests to its identity provider), so the event workers never do. The
// pool holds a bounded number of jobs, running and waiting together; past
// that bound a job is refused at once, and its owner answers "busy".
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace corvane::apps {

class WorkPool {
 public:
  // Called once: with true on a pool thread to do the work, or with false
  // when the pool stops before it started (the owner then answers at once).
  using Job = std::function<void(bool run)>;

  struct Load {
    std::size_t running = 0;
    std::size_t queued = 0;
  };

  // Up to `threads` jobs run at once (threads start on demand and stay);
  // `max_queued` more may wait for one.
  WorkPool(unsigned threads, std::size_t max_queued);
  ~WorkPool();
  WorkPool(const WorkPool&) = delete;
  WorkPool& operator=(const WorkPool&) = delete;

  // Takes `job` unless the pool holds threads + max_queued jobs already or
  // is stopping; false leaves the job uncalled.
  bool try_submit(Job job);
  // Refuses new jobs, calls the waiting ones with false, and waits for the
  // running ones to end. Idempotent.
  void stop();
  Load load() const;

 private:
  void work();

  const unsigned max_threads_;
  const std::size_t max_queued_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Job> queue_;
  std::size_t running_ = 0;
  std::size_t idle_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace corvane::apps
