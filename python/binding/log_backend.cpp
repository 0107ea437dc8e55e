#include "log_backend.hpp"

#include <pybind11/pybind11.h>

#include <optional>

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
  PythonLogging()
      : logger_(py::module_::import("logging").attr("getLogger")(logging::kLoggerName)),
        logger_class_(py::module_::import("logging").attr("Logger")) {}

  bool enabled(spdlog::level::level_enum level) override {
    WithGil gil;
    const py::int_ number(python_level(level));
    if (std::optional<bool> known = cached_answer(number)) return *known;
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
  // What isEnabledFor() would answer, read where logging.Logger keeps it:
  // its own answers, in a per-logger cache that setLevel() and
  // logging.disable() clear. Only for that exact class (a subclass may
  // answer otherwise), an enabled logger and a level already asked; nothing
  // otherwise, and isEnabledFor() is called.
  std::optional<bool> cached_answer(const py::int_& number) const {
    if (Py_TYPE(logger_.ptr()) != reinterpret_cast<PyTypeObject*>(logger_class_.ptr())) return std::nullopt;
    const auto attributes = py::reinterpret_steal<py::object>(PyObject_GenericGetDict(logger_.ptr(), nullptr));
    if (!attributes || !PyDict_CheckExact(attributes.ptr())) {
      PyErr_Clear();
      return std::nullopt;
    }
    PyObject* disabled = PyDict_GetItem(attributes.ptr(), names().disabled);
    PyObject* cache = PyDict_GetItem(attributes.ptr(), names().logger_cache);
    if (disabled != Py_False || cache == nullptr || !PyDict_CheckExact(cache)) return std::nullopt;
    PyObject* answer = PyDict_GetItem(cache, number.ptr());
    if (answer == Py_True) return true;
    if (answer == Py_False) return false;
    return std::nullopt;
  }

  py::object logger_;
  py::object logger_class_;
};

}  // namespace

void route_logging_to_python() {
  // Deliberately never freed: records may be written until the interpreter
  // is gone, and a Python object must not be released after that.
  static auto* backend = new PythonLogging();
  logging::set_backend(backend);
}

}  // namespace corvane::python
