// The host seam for Python hosts: a Pyramid request, the host's users
// mapping and its companion modules, looked up when called so that a host's
// own modules replace the reference ones.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>

#include "corvane/host/seam.hpp"
#include "corvane/host/users.hpp"

namespace corvane::python {

namespace py = pybind11;

// Every method is called with the GIL held, as the policy calls request
// methods only outside Host::detached().
class PythonRequest : public host::PolicyRequest {
 public:
  explicit PythonRequest(py::handle request) : request_(request) {}

  std::optional<std::string> header(std::string_view name, const std::optional<std::string>& fallback) const override;
  std::optional<std::string> query_parameter(std::string_view name) const override;
  bool has_attribute(std::string_view name) const override;
  void set_attribute(std::string_view name, Json value) override;
  std::vector<std::string> requested_data_format(const Json& default_extension) const override;
  void set_log_context(std::string_view key, const std::string& value) override;
  void invalidate_session() override;
  void remember(const std::string& userid) override;
  void load_sso_user_to_session(const std::string& sso_user_id) override;

 private:
  py::handle request_;
};

// The host's users mapping, walked with the GIL held: items() in the
// mapping's order, getattr() per record.
class PythonUsers : public host::UserDirectory {
 public:
  explicit PythonUsers(py::object users) : users_(std::move(users)) {}
  ~PythonUsers() override;
  host::UserMatch match(const Json& name, std::string_view form) const override;

 private:
  py::object users_;
};

class PythonHost : public host::Host {
 public:
  long asint(const Json& value, long fallback, std::string_view key) const override;
  std::string everyone() const override;
  std::string authenticated() const override;
  // Releases the GIL; the users and the logger take it back when they need it.
  void detached(const std::function<void()>& work) const override;
  bool belongs_to(const std::exception& error, host::ErrorFamily family, std::string& text) const override;
};

// The C++-backed users mapping of the reference companion module.
struct UsersMapping {
  std::shared_ptr<const host::Users> users;
};

}  // namespace corvane::python
