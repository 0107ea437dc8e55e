// Values between Python and the JSON values of the policy.
#pragma once

#include <pybind11/pybind11.h>

#include <string_view>

#include "corvane/util/json.hpp"

namespace corvane::python {

namespace py = pybind11;

// A JSON-like Python value (None, bool, int, float, str, list, tuple, dict
// with text keys) as JSON; anything else is a TypeError.
Json to_json(py::handle value);

// UTF-8 text as a Python str; bytes that are not UTF-8 become lone
// surrogates, as the surrogateescape error handler makes them.
py::str py_text(std::string_view text);

// A JSON value as the Python value of the same kind.
py::object to_python(const Json& value);

// Makes `target` (a Python dict) hold what `source` holds, changing only
// what differs: mappings inside it stay the same objects and are updated in
// place, so holders of the host's settings see every change.
void write_back(const Json& source, py::handle target);

}  // namespace corvane::python
