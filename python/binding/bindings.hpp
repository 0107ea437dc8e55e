// The parts of the private extension module corvane.auth.jwt._jwt, one
// function per binding file; the public API is the Python package's.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>

#include "corvane/auth/jwt/idp_config.hpp"

namespace corvane::python {

namespace py = pybind11;

// One provider record under the Python class IDPConfig: either a record of
// its own, made from Python and changed only by its own operations, or a
// ready record of a policy, shared with the policy's request threads and
// only read.
struct IDPCore {
  std::shared_ptr<const auth::jwt::IDPConfig> idp;  // what every operation reads
  std::shared_ptr<auth::jwt::IDPConfig> own;        // the same record when it is its own; null for a policy's
  std::shared_ptr<Json> config;                     // an own record's configuration, which `idp` points into
  py::object config_dict;                           // the host's mapping that `config` is written back to
};

void define_users(py::module_& m);
void define_key_sets(py::module_& m);
void define_idp_records(py::module_& m);
void define_policy(py::module_& m);

}  // namespace corvane::python
