#include "python_host.hpp"

#include "convert.hpp"
#include "corvane/util/errors.hpp"
#include "corvane/util/unicode.hpp"
#include "errors.hpp"
#include "gil.hpp"

namespace corvane::python {
namespace {

// Looked up when called, so a host's own module (or a test's replacement of
// one of its functions) is the one used; sys.modules first, as an import
// statement would.
py::object module_function(const char* module, const char* name) {
  PyObject* loaded = PyImport_GetModule(py::str(module).ptr());
  if (loaded == nullptr) {
    if (PyErr_Occurred()) throw py::error_already_set();
    return py::module_::import(module).attr(name);
  }
  return py::reinterpret_steal<py::object>(loaded).attr(name);
}

// A header or parameter value must be text (or None for an absent one).
void require_text(const py::object& value, std::string_view what) {
  if (!PyUnicode_Check(value.ptr())) {
    throw TypeError(std::string(what) + " must be text, not " +
                    py::str(py::type::of(value).attr("__name__")).cast<std::string>());
  }
}

py::str py_text(std::string_view text) {
  return py::reinterpret_steal<py::str>(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape"));
}

}  // namespace

std::string_view PythonRequest::kept_text(py::object text) const {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
  if (utf8 == nullptr) {
    // Not encodable (lone surrogates): the conversion's own error, as before.
    PyErr_Clear();
    (void)text.cast<std::string>();
    throw py::cast_error("text not encodable as UTF-8");
  }
  kept_.push_back(std::move(text));
  return std::string_view(utf8, static_cast<std::size_t>(size));
}

std::optional<std::string_view> PythonRequest::header(std::string_view name,
                                                      std::optional<std::string_view> fallback) const {
  py::object headers = request_.attr("headers");
  py::object value = fallback ? headers.attr("get")(py_text(name), py_text(*fallback))
                              : headers.attr("get")(py_text(name));
  if (value.is_none()) return std::nullopt;
  require_text(value, name);
  return kept_text(std::move(value));
}

std::optional<std::string_view> PythonRequest::query_parameter(std::string_view name) const {
  py::object value = request_.attr("GET").attr("get")(py_text(name));
  if (value.is_none()) return std::nullopt;
  require_text(value, name);
  return kept_text(std::move(value));
}

bool PythonRequest::has_attribute(std::string_view name) const {
  // A lookup that fails in any way counts as absent.
  PyObject* value = PyObject_GetAttr(request_.ptr(), py_text(name).ptr());
  if (value == nullptr) {
    PyErr_Clear();
    return false;
  }
  Py_DECREF(value);
  return true;
}

void PythonRequest::set_attribute(std::string_view name, Json value) {
  py::setattr(request_, py_text(name), to_python(value));
}

std::optional<std::string_view> PythonRequest::first_data_format(const Json& default_extension) const {
  py::object formats =
      module_function("corvane.utils", "requested_data_format")(request_, to_python(default_extension));
  // Only the first item is compared with "html"; the rest are taken and ignored.
  std::optional<std::string_view> first;
  for (py::handle item : formats) {
    if (first) continue;
    first = PyUnicode_Check(item.ptr()) ? kept_text(py::reinterpret_borrow<py::object>(item)) : std::string_view();
  }
  return first;
}

void PythonRequest::set_log_context(std::string_view key, std::string_view value) {
  py::object context = module_function("corvane.logging_conf", "current_thread_log_context")();
  context[py_text(key)] = py_text(value);
}

void PythonRequest::invalidate_session() { request_.attr("session").attr("invalidate")(); }

void PythonRequest::remember(std::string_view userid) {
  module_function("pyramid.security", "remember")(request_, py_text(userid));
}

void PythonRequest::load_sso_user_to_session(std::string_view sso_user_id) {
  module_function("corvane.utils", "load_sso_user_to_session")(request_, py_text(sso_user_id));
}

host::IniSettings ini_from(py::handle settings) {
  host::IniSettings ini;
  if (settings.is_none()) return ini;
  for (py::handle entry : settings.attr("items")()) {
    auto pair = py::reinterpret_borrow<py::tuple>(entry);
    ini.set(py::str(pair[0]).cast<std::string>(), py::str(pair[1]).cast<std::string>());
  }
  return ini;
}

PythonUsers::~PythonUsers() {
  WithGil gil;
  users_ = py::object();
}

host::UserMatch PythonUsers::match(const Json& name, std::string_view form) const {
  WithGil gil;
  host::UserMatch result;
  py::object attribute = to_python(name);
  py::object wanted;  // the form as a Python text, made only if a record needs it
  py::object first;
  for (py::handle entry : users_.attr("items")()) {
    py::tuple pair = PyTuple_Check(entry.ptr()) ? py::reinterpret_borrow<py::tuple>(entry)
                                                : py::tuple(py::reinterpret_borrow<py::object>(entry));
    if (pair.size() != 2) throw ValueError("users.items() must give pairs of user id and record");
    py::object record_value = py::getattr(pair[1], attribute);
    bool same = false;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_Check(record_value.ptr()) ? PyUnicode_AsUTF8AndSize(record_value.ptr(), &size) : nullptr;
    if (utf8 != nullptr) {
      same = comparison_form_equals(std::string_view(utf8, static_cast<std::size_t>(size)), form);
    } else {
      // Not text, or text that is not UTF-8 (lone surrogates): as Python
      // compares, with the value's own strip() and lower().
      PyErr_Clear();
      if (!wanted) wanted = py_text(form);
      same = record_value.attr("strip")().attr("lower")().equal(wanted);
    }
    if (same && result.count++ == 0) first = pair[0];
  }
  if (result.count > 2) result.count = 2;
  if (first) {
    if (!PyUnicode_Check(first.ptr())) {
      throw TypeError("user ids must be text, not " + py::str(py::type::of(first).attr("__name__")).cast<std::string>());
    }
    result.user_id = first.cast<std::string>();
  }
  return result;
}

PythonHost::~PythonHost() {
  WithGil gil;
  ini_settings_ = py::object();
}

long PythonHost::asint(const Json& value, long fallback, std::string_view key) const {
  WithGil gil;
  // The setting as the host's own mapping holds it (None, 2.0, text, ...),
  // not the text form the policy's ini settings keep; `value` is what an
  // absent key gives.
  py::object setting = ini_settings_ ? ini_settings_.attr("get")(py_text(key), to_python(value)) : to_python(value);
  return module_function("corvane.utils", "asint")(setting, fallback, py_text(key)).cast<long>();
}

std::string PythonHost::everyone() const {
  return py::str(module_function("pyramid.authorization", "Everyone")).cast<std::string>();
}

std::string PythonHost::authenticated() const {
  return py::str(module_function("pyramid.authorization", "Authenticated")).cast<std::string>();
}

void PythonHost::detached(function_ref<void()> work) const {
  WithoutGil unlocked;
  work();
}

bool PythonHost::belongs_to(const std::exception& error, host::ErrorFamily family, std::string& text) const {
  const auto* python_error = dynamic_cast<const py::error_already_set*>(&error);
  if (!python_error) return false;
  WithGil gil;
  bool member = family == host::ErrorFamily::ordinary
                    ? python_error->matches(PyExc_Exception)
                    : python_error->matches(PyExc_ValueError) || python_error->matches(PyExc_NotImplementedError) ||
                          python_error->matches(jwexception_class());
  if (member) text = py::str(python_error->value()).cast<std::string>();
  return member;
}

}  // namespace corvane::python
