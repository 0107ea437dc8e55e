#include "log_backend.hpp"

#include <pybind11/pybind11.h>

#include "corvane/util/logging.hpp"
#include "gil.hpp"
#include "names.hpp"

namespace corvane::python {
namespace {

namespace py = pybind11;

int python_level(spdlog::level::level_enum level) {
  switch (level) {
    case spdlog::level::trace: return 5;
    case spdlog::level::debug: return 10;
    case spdlog::level::info: return 20;
    case spdlog::level::warn: return 30;
    case spdlog::level::err: return 40;
    default: return 50;
  }
}

class PythonLogging : public logging::Backend {
 public:
  // The Python logger object never changes (getLogger returns the same one);
  // its level and handlers are read anew for every record.
  PythonLogging() : logger_(py::module_::import("logging").attr("getLogger")(logging::kLoggerName)) {}

  bool enabled(spdlog::level::level_enum level) override {
    WithGil gil;
    const py::int_ number(python_level(level));
    PyObject* args[] = {logger_.ptr(), number.ptr()};
    py::object on = guarded([&] { return PyObject_VectorcallMethod(names().isEnabledFor, args, 2, nullptr); });
    const int truth = PyObject_IsTrue(on.ptr());
    if (truth < 0) throw py::error_already_set();
    return truth == 1;
  }

  void write(spdlog::level::level_enum level, std::string_view text) override {
    WithGil gil;
    auto message = py::reinterpret_steal<py::object>(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    // No arguments: the text is never used as a format string.
    const py::int_ number(python_level(level));
    PyObject* args[] = {logger_.ptr(), number.ptr(), message.ptr()};
    guarded([&] { return PyObject_VectorcallMethod(names().log, args, 3, nullptr); });
  }

 private:
  py::object logger_;
};

}  // namespace

void route_logging_to_python() {
  // Deliberately never freed: records may be written until the interpreter
  // is gone, and a Python object must not be released after that.
  static auto* backend = new PythonLogging();
  logging::set_backend(backend);
}

}  // namespace corvane::python
