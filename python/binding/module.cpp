// The private extension module corvane.auth.jwt._jwt: the C++ policy and
// provider records under the classes that corvane.auth.jwt.jwt defines.
#include <pybind11/pybind11.h>

#include "bindings.hpp"
#include "errors.hpp"
#include "gil.hpp"
#include "log_backend.hpp"

PYBIND11_MODULE(_jwt, m) {
  namespace python = corvane::python;
  m.doc() = "The compiled core of corvane.auth.jwt.jwt.";
  python::prepare_for_exit();
  python::register_errors(m);
  python::route_logging_to_python();
  python::define_users(m);
  python::define_key_sets(m);
  python::define_idp_records(m);
  python::define_policy(m);
}
