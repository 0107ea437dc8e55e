// A loopback port that accepts connections (the kernel completes them) and
// never answers: what a hung server looks like to a client.
#pragma once

#include <string>

namespace corvane::testing {

class SilentServer {
 public:
  SilentServer();
  ~SilentServer();
  SilentServer(const SilentServer&) = delete;
  SilentServer& operator=(const SilentServer&) = delete;
  int port() const { return port_; }
  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

 private:
  int fd_ = -1;
  int port_ = 0;
};

}  // namespace corvane::testing
