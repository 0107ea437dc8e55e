#include "http/http_listener.hpp"

#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_set>

#include "common/app_errors.hpp"
#include "http/framing.hpp"
#include "http/work_pool.hpp"

namespace corvane::apps {

using Clock = std::chrono::steady_clock;

namespace {

// Room beside the head in a connection's buffer: parsed header entries and
// the answer's own header lines.
constexpr std::size_t kPoolSlack = 8 * 1024;
constexpr auto kWatchInterval = std::chrono::milliseconds(200);
// At a stop, how long the answers of deferred work may take to leave once
// the work is done; a client that does not read them is not waited for.
constexpr auto kDrainTime = std::chrono::seconds(2);

// One TCP connection. Owned by the library's connection notifications; the
// watcher reads it only while it is registered, under the state's mutex.
struct Connection {
  // The head deadline also covers a body being read.
  enum class Phase { awaiting_head, reading_body, handling, timed_out };
  Connection(int socket, Clock::time_point due) : fd(socket), deadline(due) {}
  int fd;
  Clock::time_point deadline;
  Phase phase = Phase::awaiting_head;
  std::string target;  // of the current request, once its request line arrived
  std::string body;    // of the current request, when bodies are read
  bool body_too_large = false;
  // The answer of deferred work, set by a pool thread while the library has
  // the connection suspended; sent on the library's next call.
  std::optional<HttpResponse> deferred;
  // From the deferral until the answer is sent or the connection closes.
  bool deferring = false;
};

std::string json_error(std::string_view title, std::string_view message) {
  return "{\"error\":\"" + std::string(title) + "\",\"message\":\"" + std::string(message) + "\"}\n";
}

HttpResponse refusal(int status, std::string_view title, std::string_view message) {
  return {status, "application/json", json_error(title, message), {}, true};
}

// The announced body of a request, which this layer never reads.
bool announces_body(MHD_Connection* connection) {
  const char* length = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
  const char* encoding =
      MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_TRANSFER_ENCODING);
  return encoding != nullptr || (length != nullptr && std::strcmp(length, "0") != 0);
}

MHD_Result collect(void* cls, MHD_ValueKind, const char* key, const char* value) {
  static_cast<HttpFields*>(cls)->emplace_back(key, value ? value : "");
  return MHD_YES;
}

Connection* connection_of(MHD_Connection* connection) {
  const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
  return info ? *reinterpret_cast<Connection* const*>(info) : nullptr;
}

std::string describe_address(const std::string& host, int port) {
  const bool v6 = host.find(':') != std::string::npos;
  return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

// A listening socket without SO_REUSEPORT: a second process on the same port
// fails here instead of silently sharing the traffic.
int listen_socket(const std::string& host, int port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (const int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0) {
    throw ConfigError("cannot listen on " + describe_address(host, port) + ": " + gai_strerror(rc));
  }
  std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> owned(found, &freeaddrinfo);
  const int fd = socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, found->ai_protocol);
  if (fd < 0) throw ConfigError("cannot listen on " + describe_address(host, port) + ": " + std::strerror(errno));
  const int on = 1;
  // Lets a restarted host bind while old connections linger in TIME_WAIT;
  // unlike SO_REUSEPORT it never lets two listeners share the port.
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (::bind(fd, found->ai_addr, found->ai_addrlen) != 0 || ::listen(fd, SOMAXCONN) != 0) {
    const int error = errno;
    ::close(fd);
    throw ConfigError("cannot listen on " + describe_address(host, port) + ": " + std::strerror(error));
  }
  return fd;
}

int bound_port(int fd) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
  return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

}  // namespace

struct HttpListener::State {
  HttpLimits limits;
  Handler handler;
  RefusalLog refused;
  MHD_Daemon* daemon = nullptr;
  std::unique_ptr<WorkPool> pool;

  std::mutex mutex;
  std::unordered_set<Connection*> connections;
  std::condition_variable wake;
  bool stopping = false;
  std::size_t deferring = 0;  // connections with a deferred answer not yet sent
  std::condition_variable drained;
  std::thread watcher;

  void log_refusal(std::string_view method, std::string_view target, int status) const {
    if (refused) refused(HttpRefusal{method, target, status});
  }

  // Answers 408 on every connection whose head is overdue. While a head is
  // incomplete the library only reads the connection (unless it is already
  // sending an error of its own for a malformed head, which this answer could
  // then garble), so the answer is written on the socket from here; shutting
  // the socket down makes the library see the end and close it.
  void watch() {
    static const std::string timeout = [] {
      const std::string body = json_error("Request Timeout", "The request head did not arrive in time.");
      return "HTTP/1.1 408 Request Timeout\r\nConnection: close\r\nContent-Type: application/json\r\n"
             "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    }();
    std::unique_lock lock(mutex);
    while (!stopping) {
      wake.wait_for(lock, kWatchInterval);
      const auto now = Clock::now();
      std::vector<std::string> overdue;
      for (Connection* connection : connections) {
        const bool reading = connection->phase == Connection::Phase::awaiting_head ||
                             connection->phase == Connection::Phase::reading_body;
        if (!reading || now < connection->deadline) continue;
        connection->phase = Connection::Phase::timed_out;
        (void)::send(connection->fd, timeout.data(), timeout.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        ::shutdown(connection->fd, SHUT_RDWR);
        overdue.push_back(connection->target);
      }
      if (overdue.empty()) continue;
      lock.unlock();
      for (const std::string& target : overdue) log_refusal("", target, 408);
      lock.lock();
    }
  }

  static void on_connection(void* cls, MHD_Connection* connection, void** socket_context,
                            MHD_ConnectionNotificationCode code) {
    auto* self = static_cast<State*>(cls);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
      const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
      const int fd = info->connect_fd;
      // An answer is one small write; never hold it for a delayed acknowledgement.
      const int on = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      auto* state = new Connection(fd, Clock::now() + self->limits.head_timeout);
      *socket_context = state;
      std::lock_guard lock(self->mutex);
      self->connections.insert(state);
    } else if (auto* state = static_cast<Connection*>(*socket_context)) {
      // The library closes the socket only after this returns, so the watcher
      // never writes to a descriptor that was reused.
      {
        std::lock_guard lock(self->mutex);
        self->connections.erase(state);
        self->end_deferral(*state);
      }
      delete state;
      *socket_context = nullptr;
    }
  }

  static void* on_request_line(void* cls, const char* uri, MHD_Connection* connection) {
    auto* self = static_cast<State*>(cls);
    Connection* state = connection_of(connection);
    if (state) {
      std::lock_guard lock(self->mutex);  // the watcher reads it
      state->target = uri;
    }
    return state;
  }

  static void on_completed(void* cls, MHD_Connection*, void** request_context, MHD_RequestTerminationCode) {
    auto* self = static_cast<State*>(cls);
    auto* state = static_cast<Connection*>(*request_context);
    if (!state) return;
    std::lock_guard lock(self->mutex);
    self->end_deferral(*state);
    if (state->phase == Connection::Phase::handling || state->phase == Connection::Phase::reading_body) {
      state->phase = Connection::Phase::awaiting_head;
      state->deadline = Clock::now() + self->limits.head_timeout;
      state->target.clear();
      state->body.clear();
      state->body_too_large = false;
      state->deferred.reset();
    }
  }

  static MHD_Result on_request(void* cls, MHD_Connection* connection, const char* url, const char* method,
                               const char* version, const char* upload_data, std::size_t* upload_size,
                               void** request_context) {
    auto* self = static_cast<State*>(cls);
    auto* state = static_cast<Connection*>(*request_context);
    if (!state) return MHD_NO;
    std::string_view ambiguous;
    std::optional<HttpResponse> deferred;
    {
      std::lock_guard lock(self->mutex);
      if (state->phase == Connection::Phase::timed_out) return MHD_NO;
      if (state->deferred) {
        deferred.swap(state->deferred);
      } else if (state->phase == Connection::Phase::awaiting_head) {
        // Checked before the library acts on the head: an answer queued on
        // this first call is sent alone and the connection closed after it.
        HttpFields fields;
        MHD_get_connection_values(connection, MHD_HEADER_KIND, collect, &fields);
        ambiguous = framing_problem(version, state->target, fields);
      }
      if (!ambiguous.empty()) {
        state->phase = Connection::Phase::handling;
      } else if (state->phase == Connection::Phase::awaiting_head) {
        // A request without a body is answered on the library's second
        // call: an answer queued on the first one makes it close the
        // connection instead of keeping it alive.
        if (!announces_body(connection)) {
          state->phase = Connection::Phase::handling;
          return MHD_YES;
        }
        if (self->reads_body(method)) {
          state->phase = Connection::Phase::reading_body;
          return MHD_YES;
        }
        state->phase = Connection::Phase::handling;
      } else if (*upload_size != 0) {
        if (state->phase != Connection::Phase::reading_body) return MHD_NO;  // body data, which is never read
        // Past the bound the rest is drained unkept, so the 413 can be sent.
        if (state->body.size() + *upload_size > self->limits.max_body_bytes) state->body_too_large = true;
        if (!state->body_too_large) state->body.append(upload_data, *upload_size);
        *upload_size = 0;
        return MHD_YES;
      } else if (state->phase == Connection::Phase::reading_body) {
        state->phase = Connection::Phase::handling;
      }
    }
    // The connection was resumed with the answer of its deferred work.
    if (deferred) return self->queue(connection, self->finished(connection, method, std::move(*deferred)));
    if (!ambiguous.empty()) {
      self->log_refusal(method, state->target, 400);
      return self->queue(connection, refusal(400, "Bad Request", ambiguous));
    }
    if (state->body_too_large) {
      self->log_refusal(method, state->target, 413);
      return self->queue(connection, refusal(413, "Content Too Large", "The request body is too large."));
    }
    HttpAnswer answer = self->answer(connection, url, method, state->target, std::move(state->body));
    if (auto* later = std::get_if<HttpDeferred>(&answer)) {
      return self->defer(connection, method, state, std::move(*later));
    }
    return self->queue(connection, self->finished(connection, method, std::move(std::get<HttpResponse>(answer))));
  }

  bool reads_body(std::string_view method) const { return limits.max_body_bytes > 0 && method == "POST"; }

  HttpResponse finished(MHD_Connection* connection, std::string_view method, HttpResponse response) const {
    // An unread body must not become a request.
    if (announces_body(connection) && !reads_body(method)) response.close = true;
    return response;
  }

  // The deferred answer was sent, or the connection closed. Under the mutex.
  void end_deferral(Connection& state) {
    if (!state.deferring) return;
    state.deferring = false;
    if (--deferring == 0) drained.notify_all();
  }

  // Suspends the connection (its socket leaves the event worker's loop)
  // until the work has its answer; the pool thread stores it and resumes
  // the connection, and the library calls on_request again to send it. The
  // connection is suspended before the job can run, so it is never resumed
  // first.
  MHD_Result defer(MHD_Connection* connection, const char* method, Connection* state, HttpDeferred deferred) {
    {
      std::lock_guard lock(mutex);
      state->deferring = true;
      ++deferring;
    }
    MHD_suspend_connection(connection);
    auto owned = std::make_shared<HttpDeferred>(std::move(deferred));
    const auto done = [this, connection, state](HttpResponse response) {
      {
        std::lock_guard lock(mutex);
        state->deferred = std::move(response);
      }
      MHD_resume_connection(connection);
    };
    const auto call = [this, verb = std::string(method), target = state->target](
                          const std::function<HttpResponse()>& make) {
      try {
        return make();
      } catch (const std::exception&) {
        log_refusal(verb, target, 500);
        return refusal(500, "Internal Server Error", "The request could not be handled.");
      }
    };
    const bool taken = pool->try_submit([owned, done, call](bool run) { done(call(run ? owned->work : owned->busy)); });
    if (!taken) done(call(owned->busy));
    return MHD_YES;
  }

  HttpAnswer answer(MHD_Connection* connection, const char* url, const char* method, const std::string& target,
                    std::string body) {
    const MHD_ConnectionInfo* head = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_REQUEST_HEADER_SIZE);
    if (head && head->header_size > limits.max_head_bytes) {
      log_refusal(method, target, 431);
      return refusal(431, "Request Header Fields Too Large", "The request head is too large.");
    }
    const std::string_view verb(method);
    if ((verb == "GET" || verb == "HEAD") && announces_body(connection)) {
      log_refusal(method, target, 400);
      return refusal(400, "Bad Request", "A GET or HEAD request carries no body.");
    }
    HttpRequest request{method, target, url, {}, {}, std::move(body)};
    MHD_get_connection_values(connection, MHD_HEADER_KIND, collect, &request.headers);
    MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, collect, &request.query);
    try {
      return handler(request);
    } catch (const std::exception&) {
      log_refusal(method, target, 500);
      return refusal(500, "Internal Server Error", "The request could not be handled.");
    }
  }

  static MHD_Result queue(MHD_Connection* connection, const HttpResponse& answer) {
    MHD_Response* response = MHD_create_response_from_buffer(answer.body.size(), const_cast<char*>(answer.body.data()),
                                                              MHD_RESPMEM_MUST_COPY);
    if (!response) return MHD_NO;
    if (!answer.content_type.empty()) {
      MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, answer.content_type.c_str());
    }
    for (const auto& [name, value] : answer.headers) MHD_add_response_header(response, name.c_str(), value.c_str());
    if (answer.close) MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
    const MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned>(answer.status), response);
    MHD_destroy_response(response);
    return queued;
  }
};

HttpListener::HttpListener(HttpLimits limits, Handler handler, RefusalLog refused)
    : state_(std::make_unique<State>()) {
  state_->limits = limits;
  state_->handler = std::move(handler);
  state_->refused = std::move(refused);
}

HttpListener::~HttpListener() { stop(); }

int HttpListener::start(const std::string& host, int port) {
  const int fd = listen_socket(host, port);
  const HttpLimits& limits = state_->limits;
  unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME;
  const MHD_OptionItem options[] = {
      {MHD_OPTION_LISTEN_SOCKET, fd, nullptr},
      {MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<intptr_t>(limits.max_head_bytes + kPoolSlack), nullptr},
      {MHD_OPTION_CONNECTION_LIMIT, static_cast<intptr_t>(limits.max_connections), nullptr},
      {MHD_OPTION_PER_IP_CONNECTION_LIMIT, static_cast<intptr_t>(limits.max_connections_per_client), nullptr},
      {MHD_OPTION_CONNECTION_TIMEOUT, static_cast<intptr_t>(limits.idle_timeout.count()), nullptr},
      {MHD_OPTION_THREAD_POOL_SIZE, static_cast<intptr_t>(limits.threads > 1 ? limits.threads : 0), nullptr},
      // Not strict: the library's own refusals (a missing Host, a blank in
      // a field name) answer with their head twice in 0.9.75 and let some
      // shapes through, so framing_problem refuses them all on the first
      // call instead.
      {MHD_OPTION_STRICT_FOR_CLIENT, 0, nullptr},
      {MHD_OPTION_END, 0, nullptr},
  };
  State* state = state_.get();
  state->pool = std::make_unique<WorkPool>(limits.work_threads, limits.work_queue);
  state->daemon = MHD_start_daemon(
      flags, 0, nullptr, nullptr, &State::on_request, state, MHD_OPTION_ARRAY, options, MHD_OPTION_NOTIFY_CONNECTION,
      &State::on_connection, state, MHD_OPTION_URI_LOG_CALLBACK, &State::on_request_line, state,
      MHD_OPTION_NOTIFY_COMPLETED, &State::on_completed, state, MHD_OPTION_END);
  if (!state->daemon) {
    ::close(fd);
    throw ConfigError("cannot start the HTTP server on " + describe_address(host, port));
  }
  state->watcher = std::thread([state] { state->watch(); });
  return bound_port(fd);
}

void HttpListener::stop() {
  if (state_->daemon) {
    // The library must not stop with a connection suspended: every deferred
    // request gets its answer (busy, when its work never started) first,
    // and a short while for it to leave.
    state_->pool->stop();
    {
      std::unique_lock lock(state_->mutex);
      state_->drained.wait_for(lock, kDrainTime, [this] { return state_->deferring == 0; });
    }
    MHD_stop_daemon(state_->daemon);
    state_->daemon = nullptr;
  }
  {
    std::lock_guard lock(state_->mutex);
    state_->stopping = true;
  }
  state_->wake.notify_all();
  if (state_->watcher.joinable()) state_->watcher.join();
}

HttpListener::WorkLoad HttpListener::work_load() const {
  if (!state_->pool) return {};
  const WorkPool::Load load = state_->pool->load();
  return {load.running, load.queued};
}

}  // namespace corvane::apps
