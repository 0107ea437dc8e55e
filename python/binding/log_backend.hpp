// Records of the logger "corvane.auth.jwt" to Python's logging.
#pragma once

namespace corvane::python {

// From now on every record goes to logging.getLogger("corvane.auth.jwt"),
// whose isEnabledFor() is asked per record.
void route_logging_to_python();

}  // namespace corvane::python
