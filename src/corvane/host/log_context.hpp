// The log context of C++ hosts: a mapping per thread that the host's log
// records carry (the policy stores the single sign-on user id in it).
#pragma once

#include "corvane/util/json.hpp"

namespace corvane::host {

// The calling thread's log context.
Json& current_thread_log_context();

}  // namespace corvane::host
