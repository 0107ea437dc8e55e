#include "host/reloader.hpp"

#include "host/server.hpp"

namespace corvane::apps {

Reloader::Reloader(HostServer& server, std::chrono::seconds interval)
    : server_(server), interval_(interval), thread_([this] { run(); }) {}

Reloader::~Reloader() {
  {
    std::lock_guard lock(mutex_);
    quit_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void Reloader::request() {
  {
    std::lock_guard lock(mutex_);
    pending_ = true;
  }
  wake_.notify_one();
}

bool Reloader::finish_if_idle() {
  bool idle = false;
  {
    std::lock_guard lock(mutex_);
    quit_ = true;
    idle = !running_;
  }
  wake_.notify_one();
  if (idle && thread_.joinable()) thread_.join();
  return idle;
}

void Reloader::run() {
  using Clock = std::chrono::steady_clock;
  const auto woken = [this] { return pending_ || quit_; };
  std::unique_lock lock(mutex_);
  for (Clock::time_point due = Clock::now() + interval_;; due = Clock::now() + interval_) {
    if (interval_ == Clock::duration::zero()) {
      wake_.wait(lock, woken);
    } else {
      wake_.wait_until(lock, due, woken);
    }
    if (quit_) return;
    const ReloadTrigger trigger = pending_ ? ReloadTrigger::request : ReloadTrigger::interval;
    pending_ = false;
    running_ = true;
    lock.unlock();
    server_.reload(trigger);
    lock.lock();
    running_ = false;
  }
}

}  // namespace corvane::apps
