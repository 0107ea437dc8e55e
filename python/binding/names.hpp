// The Python names and keys the binding uses on every request, interned
// once: a look-up with one of them hashes nothing and allocates nothing.
#pragma once
#include <pybind11/pybind11.h>

#include <string_view>

namespace corvane::python {
namespace py = pybind11;

struct Names {
  // Attributes and methods.
  PyObject* headers;
  PyObject* GET;
  PyObject* get;
  PyObject* session;
  PyObject* invalidate;
  PyObject* items;
  PyObject* cvn_settings;
  PyObject* default_extension;
  PyObject* isEnabledFor;
  PyObject* log;
  PyObject* disabled;
  PyObject* logger_cache;  // "_cache"
  // The companion modules and the functions the policy calls in them,
  // looked up in the module at each call (see module_function).
  PyObject* corvane_utils;
  PyObject* corvane_logging_conf;
  PyObject* pyramid_security;
  PyObject* pyramid_authorization;
  PyObject* requested_data_format;
  PyObject* current_thread_log_context;
  PyObject* load_sso_user_to_session;
  PyObject* remember;
  PyObject* asint;
  PyObject* Everyone;
  PyObject* Authenticated;
};

// Made on first use, with the GIL held, and never released: a Python object
// must not be released after the interpreter is gone.
const Names& names();

// `text` as a Python str: an interned one for the keys the policy reads and
// writes on every request ("Authorization", "idp_id", ...), a new one
// otherwise.
py::str key_text(std::string_view text);

// The function `name` of the module `module` as it is now: sys.modules
// first, as an import statement does, so that a host's own module, or a
// replacement of one of its functions, is the one called.
py::object module_function(PyObject* module, PyObject* name);

}  // namespace corvane::python
