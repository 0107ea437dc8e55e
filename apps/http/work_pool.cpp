#include "http/work_pool.hpp"

#include <utility>

namespace corvane::apps {

WorkPool::WorkPool(unsigned threads, std::size_t max_queued)
    : max_threads_(threads > 0 ? threads : 1), max_queued_(max_queued) {}

WorkPool::~WorkPool() { stop(); }

bool WorkPool::try_submit(Job job) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_ || running_ + queue_.size() >= max_threads_ + max_queued_) return false;
    queue_.push_back(std::move(job));
    if (idle_ < queue_.size() && threads_.size() < max_threads_) {
      ++idle_;  // counted now, so the next submit does not start one more
      threads_.emplace_back([this] { work(); });
    }
  }
  wake_.notify_one();
  return true;
}

void WorkPool::work() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) return;  // stopping, and nothing left for this thread
    Job job = std::move(queue_.front());
    queue_.pop_front();
    --idle_;
    ++running_;
    lock.unlock();
    job(true);
    job = nullptr;  // what it holds is released outside the lock
    lock.lock();
    --running_;
    ++idle_;
  }
}

void WorkPool::stop() {
  std::deque<Job> dropped;
  std::vector<std::thread> threads;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    dropped.swap(queue_);
    threads.swap(threads_);
  }
  wake_.notify_all();
  for (Job& job : dropped) job(false);
  for (std::thread& thread : threads) thread.join();
}

WorkPool::Load WorkPool::load() const {
  std::lock_guard lock(mutex_);
  return {running_, queue_.size()};
}

}  // namespace corvane::apps
