#include "cli/recording_request.hpp"

namespace corvane::apps {

void MemorySession::invalidate() {
  ++invalidated;
  remembered.reset();
  sso_user_id.reset();
}

SimpleRequest& SimpleRequest::header(std::string name, std::string value) {
  headers_.add(std::move(name), std::move(value));
  return *this;
}

SimpleRequest& SimpleRequest::query(std::string name, std::string value) {
  query_.add(std::move(name), std::move(value));
  return *this;
}

SimpleRequest& SimpleRequest::format(std::string value) {
  format_ = std::move(value);
  return *this;
}

std::optional<std::string_view> SimpleRequest::first_data_format(const Json& default_extension) const {
  return host::format_or_default(format_, default_extension);
}

}  // namespace corvane::apps
