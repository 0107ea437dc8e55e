#include "corvane/host/utils.hpp"

namespace corvane::host {

Json& current_thread_log_context() {
  thread_local Json context = Json::object();
  return context;
}

std::vector<std::string> requested_data_format(const Request& request, const Json& default_extension) {
  return request.requested_data_format(default_extension);
}

void load_sso_user_to_session(Request& request, const std::string& sso_user_id) {
  request.session().set_sso_user_id(sso_user_id);
}

}  // namespace corvane::host
