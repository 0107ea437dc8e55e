// corvane-host's reloads: on request (SIGHUP) and, when configured, every
// `corvane.reload_interval`, one at a time on a thread of their own.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace corvane::apps {

class HostServer;

// Runs HostServer::reload() on its own thread, so the signal thread stays
// free to act on SIGTERM while a slow rebuild (key sets, discovery over
// HTTP) runs, and so request threads never wait for one. Requests made
// while a rebuild runs are merged into one more run. With an interval, a
// rebuild also starts that long after the end of the previous one (or after
// the start); a requested one resets the wait. The thread waits on a
// condition variable, so ending it never waits out an interval.
class Reloader {
 public:
  // `interval` zero: rebuilds only on request().
  Reloader(HostServer& server, std::chrono::seconds interval);
  // Ends the thread; waits for the rebuild that runs, if one does.
  ~Reloader();
  Reloader(const Reloader&) = delete;
  Reloader& operator=(const Reloader&) = delete;

  void request();

  // Ends the thread when no rebuild is running and returns true; returns
  // false while one runs (a rebuild cannot be interrupted).
  bool finish_if_idle();

 private:
  void run();

  HostServer& server_;
  const std::chrono::steady_clock::duration interval_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool pending_ = false, running_ = false, quit_ = false;
  std::thread thread_;  // last: starts once the rest is set
};

}  // namespace corvane::apps
