// corvane-host's process: options, signals, reloads and the stop.
#pragma once

#include <iosfwd>

namespace corvane::apps {

// Parses the options, serves until SIGTERM or SIGINT, rebuilds the
// configuration on SIGHUP. Returns the exit code.
int run_host(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

}  // namespace corvane::apps
