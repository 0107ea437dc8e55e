#include "errors.hpp"

#include <cstring>
#include <map>
#include <string>

#include "corvane/util/errors.hpp"
#include "corvane/util/json.hpp"

namespace corvane::python {
namespace {

// Python classes of the JOSE family, by kind name; created once at import
// and kept for the life of the process.
std::map<std::string, PyObject*, std::less<>>& jose_classes() {
  static auto* classes = new std::map<std::string, PyObject*, std::less<>>();
  return *classes;
}

PyObject* builtin_for(const Exception& error) {
  // Most specific first: a handler for a family catches its members.
  if (dynamic_cast<const FileNotFoundError*>(&error)) return PyExc_FileNotFoundError;
  if (dynamic_cast<const PermissionError*>(&error)) return PyExc_PermissionError;
  if (dynamic_cast<const IsADirectoryError*>(&error)) return PyExc_IsADirectoryError;
  if (dynamic_cast<const ConnectionError*>(&error)) return PyExc_ConnectionError;
  if (dynamic_cast<const OSError*>(&error)) return PyExc_OSError;
  if (dynamic_cast<const ValueError*>(&error)) return PyExc_ValueError;
  if (dynamic_cast<const TypeError*>(&error)) return PyExc_TypeError;
  if (dynamic_cast<const AttributeError*>(&error)) return PyExc_AttributeError;
  if (dynamic_cast<const NotImplementedError*>(&error)) return PyExc_NotImplementedError;
  return PyExc_Exception;
}

// Messages may carry bytes from requests that are not UTF-8.
void set_error(PyObject* kind, const char* text) {
  py::object message = py::reinterpret_steal<py::object>(
      PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "replace"));
  PyErr_SetObject(kind, message.ptr());
}

}  // namespace

py::handle jwexception_class() { return jose_classes().at("JWException"); }

void register_errors(py::module_& module) {
  // The JOSE family, each class derived from its family as in C++.
  const std::pair<const char*, const char*> family[] = {
      {"JWException", nullptr},          {"InvalidJWKType", "JWException"},
      {"InvalidJWKValue", "JWException"}, {"InvalidJWKUsage", "JWException"},
      {"InvalidJWAAlgorithm", "JWException"}, {"InvalidJWSObject", "JWException"},
      {"InvalidJWSSignature", "JWException"}, {"InvalidJWEData", "JWException"},
      {"JWKeyNotFound", "JWException"},  {"JWTMissingKey", "JWKeyNotFound"},
      {"JWTExpired", "JWException"},     {"JWTNotYetValid", "JWException"},
      {"JWTInvalidClaimFormat", "JWException"},
  };
  auto& classes = jose_classes();
  const std::string prefix = "corvane.auth.jwt.jwt.";  // where the public module exports them
  for (const auto& [name, base] : family) {
    if (!classes.count(name)) {
      PyObject* base_class = base ? classes.at(base) : PyExc_Exception;
      classes[name] = PyErr_NewException((prefix + name).c_str(), base_class, nullptr);
      if (!classes[name]) throw py::error_already_set();
    }
    module.add_object(name, py::reinterpret_borrow<py::object>(classes[name]));
  }

  py::register_exception_translator([](std::exception_ptr pointer) {
    if (!pointer) return;
    try {
      std::rethrow_exception(pointer);
    } catch (const KeyError& error) {
      PyErr_SetObject(PyExc_KeyError, py::str(error.key()).ptr());
    } catch (const JWException& error) {
      auto it = jose_classes().find(error.kind());
      set_error(it != jose_classes().end() ? it->second : jose_classes().at("JWException"), error.what());
    } catch (const Exception& error) {
      set_error(builtin_for(error), error.what());
    } catch (const Json::exception& error) {  // a settings value of the wrong JSON kind
      set_error(PyExc_TypeError, error.what());
    }
  });
}

}  // namespace corvane::python
