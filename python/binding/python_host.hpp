// The host seam for Python hosts: a Pyramid request, the host's users
// mapping and its companion modules, looked up when called so that a host's
// own modules replace the reference ones.
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <memory>
#include <vector>

#include "corvane/host/ini_settings.hpp"
#include "corvane/host/seam.hpp"
#include "corvane/users/users.hpp"

namespace corvane::python {

namespace py = pybind11;

// Every method is called with the GIL held, as the policy calls request
// methods only outside Host::detached(); the object is made and dropped with
// the GIL held too.
class PythonRequest : public host::PolicyRequest {
 public:
  explicit PythonRequest(py::handle request) : request_(request) {}

  std::optional<std::string_view> header(std::string_view name,
                                         std::optional<std::string_view> fallback) const override;
  std::optional<std::string_view> query_parameter(std::string_view name) const override;
  bool has_attribute(std::string_view name) const override;
  void set_attribute(std::string_view name, Json value) override;
  std::optional<std::string_view> first_data_format(const Json& default_extension) const override;
  void set_log_context(std::string_view key, std::string_view value) override;
  void invalidate_session() override;
  void remember(std::string_view userid) override;
  void load_sso_user_to_session(std::string_view sso_user_id) override;

 private:
  // The UTF-8 form of a Python text, which the text object caches: the
  // object is kept with this request, so the view lives as long.
  std::string_view kept_text(py::object text) const;

  py::handle request_;
  // The texts the views point into: a request keeps a few (its token, its
  // provider id, its format), held without an allocation.
  mutable std::array<py::object, 4> kept_;
  mutable std::size_t kept_count_ = 0;
  mutable std::vector<py::object> kept_more_;
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

// Every method may be called without the GIL (construction runs without
// it); each takes it when it calls Python.
class PythonHost : public host::Host {
 public:
  // `ini_settings`: the host's own ini settings mapping, whose values asint()
  // receives as they are; none gives asint() the policy's value.
  explicit PythonHost(py::object ini_settings = py::object()) : ini_settings_(std::move(ini_settings)) {}
  ~PythonHost() override;
  long asint(const Json& value, long fallback, std::string_view key) const override;
  std::string everyone() const override;
  std::string authenticated() const override;
  // Releases the GIL around `work`: a public key's signature check and the
  // payload's reading, which touch no Python object (the policy calls it
  // for nothing shorter).
  void detached(function_ref<void()> work) const override;
  bool belongs_to(const std::exception& error, host::ErrorFamily family, std::string& text) const override;

 private:
  py::object ini_settings_;
};

// The host's ini settings mapping in the text form of the policy's (each
// value's str()); None gives none.
host::IniSettings ini_from(py::handle settings);

// The C++-backed users mapping of the reference companion module.
struct UsersMapping {
  std::shared_ptr<const Users> users;
};

}  // namespace corvane::python
