// A request built from parts, with a session that records what was done to
// it: what the command line tool authenticates, and the tests' request.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "corvane/host/request.hpp"
#include "corvane/util/json.hpp"

namespace corvane::apps {

// A session kept in memory that records what was done to it.
class MemorySession : public host::Session {
 public:
  void invalidate() override;
  void remember_user(std::string_view userid) override { remembered = userid; }
  void set_sso_user_id(std::string_view id) override { sso_user_id = id; }

  int invalidated = 0;
  std::optional<std::string> remembered;
  std::optional<std::string> sso_user_id;
};

// A request built from parts: the reference request of the tests and tools.
class SimpleRequest : public host::Request {
 public:
  SimpleRequest() = default;

  SimpleRequest& header(std::string name, std::string value);
  SimpleRequest& query(std::string name, std::string value);
  // The format named by the request (a path extension, say); without one the
  // default extension applies.
  SimpleRequest& format(std::string value);

  const host::TextMapping& headers() const override { return headers_; }
  const host::TextMapping& GET() const override { return query_; }
  MemorySession& session() override { return session_; }
  bool has_attribute(std::string_view name) const override { return has_key(attributes_, name); }
  void set_attribute(std::string_view name, Json value) override { attributes_[std::string(name)] = std::move(value); }
  const Json& attributes() const { return attributes_; }
  std::optional<std::string_view> first_data_format(const Json& default_extension) const override;

 private:
  host::TextMapping headers_{true};
  host::TextMapping query_{false};
  std::optional<std::string> format_;
  MemorySession session_;
  Json attributes_ = Json::object();
};

}  // namespace corvane::apps
