#include "host/lifecycle.hpp"

#include <pthread.h>
#include <spdlog/sinks/stdout_sinks.h>

#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdlib>
#include <ostream>
#include <thread>

#include "common/app_config.hpp"
#include "corvane/util/logging.hpp"
#include "host/reloader.hpp"
#include "host/server.hpp"

namespace corvane::apps {

int run_host(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  CLI::App app{"corvane-host: the reference host; authenticates requests with session cookies and JWTs.\n"
               "SIGHUP reloads the configuration (providers, key sets, users, session secrets), and so does every "
               "corvane.reload_interval seconds when that is set; SIGTERM or SIGINT stops it"};
  std::string ini;
  std::optional<int> port;
  app.add_option("--ini", ini,
                 "The ini file: [app:main] settings; [server:main] host, port, threads, connection_limit, "
                 "connection_limit_per_client, head_timeout, idle_timeout, metrics_listen, auth_path_prefix, "
                 "sign_in_threads, sign_in_queue")
      ->required();
  app.add_option("--port", port, "Listen on this port instead (0 picks a free one)")->check(CLI::Range(0, 65535));
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error, out, err) == 0 ? kOkExit : kUsageExit;
  }

  // Blocked before any thread starts, so every thread inherits the mask and
  // only the signal thread receives them.
  sigset_t signals;
  sigemptyset(&signals);
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&signals, sig);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  std::unique_ptr<HostServer> server;
  int bound = 0;
  try {
    HostConfig config = load_host_config(ini);
    if (port) config.port = *port;
    auto sink = std::make_shared<spdlog::sinks::stderr_sink_mt>();
    sink->set_pattern("%Y-%m-%dT%H:%M:%S.%e %n %l %v");
    logging::add_sink(sink);
    logging::logger().set_level(config.log_level);
    server = std::make_unique<HostServer>(std::move(config));
    bound = server->bind();
  } catch (const std::exception& error) {
    err << "corvane-host: error: " << describe_error(error) << "\n";
    return kUsageExit;
  }
  out << "listening on http://" << server->config().host << ":" << bound << std::endl;
  if (const auto metrics = server->metrics_port()) {
    out << "metrics on http://" << server->config().metrics_listen->host << ":" << *metrics << "/metrics" << std::endl;
  }

  Reloader reloader(*server, server->config().reload_interval);
  std::thread signal_thread([&] {
    for (;;) {
      int sig = 0;
      if (sigwait(&signals, &sig) != 0) continue;
      if (sig == SIGHUP) {
        reloader.request();
      } else {
        server->stop();
        return;
      }
    }
  });
  server->serve();
  signal_thread.join();
  if (!reloader.finish_if_idle()) {
    // A rebuild writes nothing, so abandoning it loses nothing; waiting for
    // it would hold the stop for as long as its slowest fetch.
    err << "corvane-host: stopped during a reload; the reload was abandoned" << std::endl;
    out.flush();
    std::_Exit(kOkExit);
  }
  return kOkExit;
}

}  // namespace corvane::apps
