#include "corvane/host/security.hpp"

namespace corvane::host {

Headers remember(Request& request, const std::string& userid) {
  request.session().remember_user(userid);
  return {};
}

}  // namespace corvane::host
