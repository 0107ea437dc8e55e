// The command line tool corvane-jwt: check, auth, keygen, mint.
#pragma once

#include <iosfwd>

namespace corvane::apps {

// Parses the arguments and runs one subcommand; returns the exit code.
// Errors are printed to `err` as one line.
int run_cli(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

}  // namespace corvane::apps
