#include "names.hpp"

#include <array>
#include <utility>

#include "convert.hpp"
#include "gil.hpp"

namespace corvane::python {
namespace {

PyObject* interned(const char* text) { return PyUnicode_InternFromString(text); }

// The request keys of key_text(), beside their interned objects.
using KnownKeys = std::array<std::pair<std::string_view, PyObject*>, 6>;

const KnownKeys& known_keys() {
  static const KnownKeys* const made = [] {
    auto* keys = new KnownKeys{};
    const std::array<std::string_view, 6> texts = {"Authorization", "idp_id", "X-Identity-Provider-Id",
                                                   "sso_user_id", "cvn_cookie_updated", ""};
    for (std::size_t i = 0; i < texts.size(); ++i) (*keys)[i] = {texts[i], interned(texts[i].data())};
    return keys;
  }();
  return *made;
}

}  // namespace

const Names& names() {
  static const Names* const made = new Names{
      interned("headers"),
      interned("GET"),
      interned("get"),
      interned("session"),
      interned("invalidate"),
      interned("items"),
      interned("cvn_settings"),
      interned("default_extension"),
      interned("isEnabledFor"),
      interned("log"),
      interned("disabled"),
      interned("_cache"),
      interned("corvane.utils"),
      interned("corvane.logging_conf"),
      interned("pyramid.security"),
      interned("pyramid.authorization"),
      interned("requested_data_format"),
      interned("current_thread_log_context"),
      interned("load_sso_user_to_session"),
      interned("remember"),
      interned("asint"),
      interned("Everyone"),
      interned("Authenticated"),
  };
  return *made;
}

py::str key_text(std::string_view text) {
  for (const auto& [known, object] : known_keys()) {
    if (known == text) return py::reinterpret_borrow<py::str>(object);
  }
  return py_text(text);
}

py::object module_function(PyObject* module, PyObject* name) {
  // sys.modules read as a dict: PyImport_GetModule would also read the
  // module's import record to learn whether it is still being imported,
  // which costs more than the rest of a request's crossings together.
  PyObject* loaded = PyDict_GetItemWithError(PyImport_GetModuleDict(), module);
  py::object owner;
  if (loaded != nullptr) {
    owner = py::reinterpret_borrow<py::object>(loaded);
  } else {
    if (PyErr_Occurred()) throw py::error_already_set();
    owner = guarded([&] { return PyImport_Import(module); });
  }
  // A plain module's functions are in its dict (a dict look-up with a text
  // key runs no Python code); anything else, a module's own __getattr__
  // included, is asked through getattr.
  if (PyModule_CheckExact(owner.ptr())) {
    if (PyObject* found = PyDict_GetItemWithError(PyModule_GetDict(owner.ptr()), name)) {
      return py::reinterpret_borrow<py::object>(found);
    }
    if (PyErr_Occurred()) throw py::error_already_set();
  }
  return guarded([&] { return PyObject_GetAttr(owner.ptr(), name); });
}

}  // namespace corvane::python
