// A loopback HTTP server for tests: binds 127.0.0.1 on an ephemeral port,
// serves until destroyed.
#pragma once

#include <httplib.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace corvane::testing {

class LoopbackServer {
 public:
  LoopbackServer();
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  httplib::Server& server() { return *server_; }
  // Starts serving; routes are added to server() before.
  void start();
  int port() const { return port_; }
  std::string url(const std::string& path) const;

 private:
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;
};

// A folder under the system's temporary folder, removed with its content.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  // Writes `content` to `name` inside the folder and returns its path.
  std::string write(const std::string& name, const std::string& content) const;

 private:
  std::string path_;
};

}  // namespace corvane::testing

namespace corvane::testing {
// The whole content of a file.
std::string read_file(const std::string& path);
}  // namespace corvane::testing
