#include "python_host.hpp"

#include "convert.hpp"
#include "corvane/util/errors.hpp"
#include "corvane/util/unicode.hpp"
#include "errors.hpp"
#include "gil.hpp"
#include "names.hpp"

namespace corvane::python {
namespace {

// A header or parameter value must be text (or None for an absent one).
void require_text(const py::object& value, std::string_view what) {
  if (!PyUnicode_Check(value.ptr())) {
    throw TypeError(std::string(what) + " must be text, not " +
                    py::str(py::type::of(value).attr("__name__")).cast<std::string>());
  }
}

// request.<mapping>.get(key[, fallback]), without a bound method or an
// argument tuple.
py::object mapping_get(py::handle request, PyObject* mapping, std::string_view key,
                       std::optional<std::string_view> fallback) {
  py::object found = guarded([&] { return PyObject_GetAttr(request.ptr(), mapping); });
  const py::str key_object = key_text(key);
  const py::object fallback_object = fallback ? py::object(key_text(*fallback)) : py::object();
  PyObject* args[] = {found.ptr(), key_object.ptr(), fallback_object.ptr()};
  const std::size_t count = fallback ? 3 : 2;
  return guarded([&] { return PyObject_VectorcallMethod(names().get, args, count, nullptr); });
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
  if (kept_count_ < kept_.size()) {
    kept_[kept_count_++] = std::move(text);
  } else {
    kept_more_.push_back(std::move(text));
  }
  return std::string_view(utf8, static_cast<std::size_t>(size));
}

std::optional<std::string_view> PythonRequest::header(std::string_view name,
                                                      std::optional<std::string_view> fallback) const {
  py::object value = mapping_get(request_, names().headers, name, fallback);
  if (value.is_none()) return std::nullopt;
  require_text(value, name);
  return kept_text(std::move(value));
}

std::optional<std::string_view> PythonRequest::query_parameter(std::string_view name) const {
  py::object value = mapping_get(request_, names().GET, name, std::nullopt);
  if (value.is_none()) return std::nullopt;
  require_text(value, name);
  return kept_text(std::move(value));
}

bool PythonRequest::has_attribute(std::string_view name) const {
  // A lookup that fails in any way counts as absent.
  const py::str key = key_text(name);
  py::object found = guarded([&] {
    PyObject* value = PyObject_GetAttr(request_.ptr(), key.ptr());
    if (value == nullptr) {
      PyErr_Clear();
      return Py_NewRef(Py_False);
    }
    Py_DECREF(value);
    return Py_NewRef(Py_True);
  });
  return found.ptr() == Py_True;
}

void PythonRequest::set_attribute(std::string_view name, Json value) {
  guarded_set(PyObject_SetAttr, request_, key_text(name), to_python(value));
}

std::optional<std::string_view> PythonRequest::first_data_format(const Json& default_extension) const {
  py::object formats = guarded_call(module_function(names().corvane_utils, names().requested_data_format),
                                    {request_, to_python(default_extension)});
  // Only the first item is compared with "html"; the rest are taken and
  // ignored (a list is read in place, as iterating it would).
  const auto first_of = [this](py::object item) -> std::string_view {
    return PyUnicode_Check(item.ptr()) ? kept_text(std::move(item)) : std::string_view();
  };
  if (PyList_CheckExact(formats.ptr())) {
    if (PyList_GET_SIZE(formats.ptr()) == 0) return std::nullopt;
    return first_of(py::reinterpret_borrow<py::object>(PyList_GET_ITEM(formats.ptr(), 0)));
  }
  std::optional<std::string_view> first;
  py::object items = guarded([&] { return PyObject_GetIter(formats.ptr()); });
  while (py::object item = guarded_next(items)) {
    if (!first) first = first_of(std::move(item));
  }
  return first;
}

void PythonRequest::set_log_context(std::string_view key, std::string_view value) {
  py::object context = guarded_call(module_function(names().corvane_logging_conf, names().current_thread_log_context));
  guarded_set(PyObject_SetItem, context, key_text(key), py_text(value));
}

void PythonRequest::invalidate_session() {
  py::object session = guarded([&] { return PyObject_GetAttr(request_.ptr(), names().session); });
  guarded([&] {
    PyObject* self = session.ptr();
    return PyObject_VectorcallMethod(names().invalidate, &self, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
  });
}

void PythonRequest::remember(std::string_view userid) {
  guarded_call(module_function(names().pyramid_security, names().remember), {request_, py_text(userid)});
}

void PythonRequest::load_sso_user_to_session(std::string_view sso_user_id) {
  guarded_call(module_function(names().corvane_utils, names().load_sso_user_to_session),
               {request_, py_text(sso_user_id)});
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
  py::object entries = guarded([&] {
    PyObject* self = users_.ptr();
    PyObject* items = PyObject_VectorcallMethod(names().items, &self, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (items == nullptr) return items;
    PyObject* iterator = PyObject_GetIter(items);
    Py_DECREF(items);
    return iterator;
  });
  while (py::object entry = guarded_next(entries)) {
    py::tuple pair = PyTuple_Check(entry.ptr()) ? py::reinterpret_borrow<py::tuple>(entry)
                                                : py::reinterpret_steal<py::tuple>(
                                                      guarded([&] { return PySequence_Tuple(entry.ptr()); }).release());
    if (pair.size() != 2) throw ValueError("users.items() must give pairs of user id and record");
    py::object record_value = guarded([&] { return PyObject_GetAttr(PyTuple_GET_ITEM(pair.ptr(), 1), attribute.ptr()); });
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
      py::object stripped = guarded_call(guarded_getattr(record_value, "strip"));
      py::object lowered = guarded_call(guarded_getattr(stripped, "lower"));
      py::object equal = guarded([&] { return PyObject_RichCompare(lowered.ptr(), wanted.ptr(), Py_EQ); });
      const int truth = PyObject_IsTrue(equal.ptr());
      if (truth < 0) throw py::error_already_set();
      same = truth == 1;
    }
    if (same && result.count++ == 0) first = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(pair.ptr(), 0));
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
  py::object setting = ini_settings_
                           ? guarded_call(guarded_getattr(ini_settings_, "get"), {py_text(key), to_python(value)})
                           : to_python(value);
  return guarded_call(module_function(names().corvane_utils, names().asint),
                      {setting, py::int_(fallback), py_text(key)})
      .cast<long>();
}

std::string PythonHost::everyone() const {
  return py::str(module_function(names().pyramid_authorization, names().Everyone)).cast<std::string>();
}

std::string PythonHost::authenticated() const {
  return py::str(module_function(names().pyramid_authorization, names().Authenticated)).cast<std::string>();
}

void PythonHost::detached(function_ref<void()> work) const {
  without_gil([&] { work(); });
}

bool PythonHost::belongs_to(const std::exception& error, host::ErrorFamily family, std::string& text) const {
  const auto* python_error = dynamic_cast<const py::error_already_set*>(&error);
  if (!python_error) return false;
  WithGil gil;
  bool member = family == host::ErrorFamily::ordinary
                    ? python_error->matches(PyExc_Exception)
                    : python_error->matches(PyExc_ValueError) || python_error->matches(PyExc_NotImplementedError) ||
                          python_error->matches(jwexception_class());
  if (member) text = guarded([&] { return PyObject_Str(python_error->value().ptr()); }).cast<std::string>();
  return member;
}

}  // namespace corvane::python
