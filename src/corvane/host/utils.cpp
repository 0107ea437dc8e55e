#include "corvane/host/utils.hpp"

namespace corvane::host {

Json& current_thread_log_context() {
  thread_local Json context = Json::object();
  return context;
}

std::vector<std::string> requested_data_format(const Request& request, const Json& default_extension) {
  const auto format = request.first_data_format(default_extension);
  if (!format) return {};
  return {std::string(*format)};
}

void load_sso_user_to_session(Request& request, std::string_view sso_user_id) {
  request.session().set_sso_user_id(sso_user_id);
}

}  // namespace corvane::host
