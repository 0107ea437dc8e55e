// The host's utilities and logging context used by the policy.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "corvane/host/request.hpp"
#include "corvane/host/seam.hpp"  // asint
#include "corvane/util/json.hpp"

namespace corvane::host {

// The calling thread's log context, a mapping the host's log records carry.
Json& current_thread_log_context();

// The data formats the request asks for; the first is the response format
// ("html" for an HTML page).
std::vector<std::string> requested_data_format(const Request& request, const Json& default_extension);

// Hands the single sign-on user id to the request's session.
void load_sso_user_to_session(Request& request, std::string_view sso_user_id);

}  // namespace corvane::host
