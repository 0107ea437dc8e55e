// The system's error kinds as Python's built-in kinds of the same names, and
// the JOSE family as Python classes of its own.
#pragma once

#include <pybind11/pybind11.h>

namespace corvane::python {

namespace py = pybind11;

// Creates JWException and its members in `module` and registers the
// translation of every system error that reaches Python.
void register_errors(py::module_& module);

// The Python class of JWException (for telling the host's own ones apart).
py::handle jwexception_class();

}  // namespace corvane::python
