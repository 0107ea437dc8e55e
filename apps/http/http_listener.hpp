// The host's HTTP layer on libmicrohttpd: event-driven workers, so a slow or
// idle client costs a socket and a bounded buffer, never a thread. What the
// library does not bound by itself (a deadline for the whole request head,
// requests that announce a body) is enforced here.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace corvane::apps {

struct HttpLimits {
  // A request head (request line and headers) larger than this is refused
  // with 431; the per-connection buffer is sized just above it.
  std::size_t max_head_bytes = 16 * 1024;
  // From the first byte a connection may send (or the end of its previous
  // answer) to the end of the head; a later head gets 408 and the close.
  std::chrono::seconds head_timeout{10};
  // A keep-alive connection that sends nothing for this long is closed.
  std::chrono::seconds idle_timeout{5};
  unsigned max_connections = 1000;
  unsigned max_connections_per_client = 64;
  unsigned threads = 8;
  // A POST body up to this size is read and handed on; a larger one gets
  // 413. Zero (the host) reads no body: a request announcing one is answered
  // without it and the connection closed.
  std::size_t max_body_bytes = 0;
  // Deferred answers (those that wait on another server) run on this many
  // threads of their own, never on the event workers above, so a server
  // that hangs holds these threads only. Up to `work_queue` more wait for a
  // thread; past both, a deferred request gets its busy answer at once. A
  // waiting request holds only its connection (counted in max_connections),
  // and each one runs for at most its own client time-outs.
  unsigned work_threads = 4;
  unsigned work_queue = 32;
};

using HttpFields = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
  std::string method;
  std::string target;  // as sent: path and query, percent escapes kept
  std::string path;    // the path part of the target, unescaped
  HttpFields headers;  // in the order received
  HttpFields query;    // unescaped, in the order received
  std::string body;    // a POST's body, when the listener reads bodies
};

struct HttpResponse {
  int status = 200;
  std::string content_type;
  std::string body;
  HttpFields headers;
  bool close = false;  // close the connection after this answer
};

// An answer that waits on another server: `work` runs on the listener's
// work pool and its result is sent when it ends; `busy` is sent at once
// instead when the pool holds its bound, or when the listener stops first.
// Both own what they need: the request they were made for is gone by then.
struct HttpDeferred {
  std::function<HttpResponse()> work;
  std::function<HttpResponse()> busy;
};

using HttpAnswer = std::variant<HttpResponse, HttpDeferred>;

// A request the layer answered itself (408, 431, 400): for the access log.
struct HttpRefusal {
  std::string_view method;  // empty when the head never arrived
  std::string_view target;
  int status;
};

class HttpListener {
 public:
  using Handler = std::function<HttpAnswer(const HttpRequest&)>;
  using RefusalLog = std::function<void(const HttpRefusal&)>;

  HttpListener(HttpLimits limits, Handler handler, RefusalLog refused);
  ~HttpListener();
  HttpListener(const HttpListener&) = delete;
  HttpListener& operator=(const HttpListener&) = delete;

  // Binds host:port (0 picks a free port) without port sharing, so a port in
  // use is an error naming it, and starts answering. Returns the port.
  int start(const std::string& host, int port);
  // Stops accepting and closes every connection; idempotent. Deferred work
  // that has not started gets its busy answer; running work is waited for
  // (bounded by its own client time-outs).
  void stop();

  // Deferred requests running and waiting on the work pool now.
  struct WorkLoad {
    std::size_t running = 0;
    std::size_t queued = 0;
  };
  WorkLoad work_load() const;

  struct State;  // shared with the library's callbacks

 private:
  std::unique_ptr<State> state_;
};

}  // namespace corvane::apps
