#include "corvane/host/log_context.hpp"

namespace corvane::host {

Json& current_thread_log_context() {
  thread_local Json context = Json::object();
  return context;
}

}  // namespace corvane::host
