#include "convert.hpp"

#include <cmath>
#include <string>

#include "corvane/util/errors.hpp"

namespace corvane::python {

Json to_json(py::handle value) {
  if (value.is_none()) return nullptr;
  if (PyBool_Check(value.ptr())) return value.ptr() == Py_True;
  if (PyLong_Check(value.ptr())) {
    int overflow = 0;
    long long number = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (overflow == 0) return number;
    if (overflow > 0) {
      unsigned long long unsigned_number = PyLong_AsUnsignedLongLong(value.ptr());
      if (!PyErr_Occurred()) return unsigned_number;
      PyErr_Clear();
    }
    throw TypeError("integer setting out of range: " + py::str(value).cast<std::string>());
  }
  if (PyFloat_Check(value.ptr())) return PyFloat_AsDouble(value.ptr());
  if (PyUnicode_Check(value.ptr())) return value.cast<std::string>();
  if (PyDict_Check(value.ptr())) {
    Json object = Json::object();
    for (auto item : py::reinterpret_borrow<py::dict>(value)) {
      if (!PyUnicode_Check(item.first.ptr())) {
        throw TypeError("settings keys must be text, not " + py::str(py::type::of(item.first).attr("__name__")).cast<std::string>());
      }
      object[item.first.cast<std::string>()] = to_json(item.second);
    }
    return object;
  }
  if (PyList_Check(value.ptr()) || PyTuple_Check(value.ptr())) {
    Json array = Json::array();
    for (auto item : value) array.push_back(to_json(item));
    return array;
  }
  throw TypeError("not a JSON-like value: " +
                  py::str(py::type::of(value).attr("__name__")).cast<std::string>());
}

py::object to_python(const Json& value) {
  switch (value.type()) {
    case Json::value_t::null: return py::none();
    case Json::value_t::boolean: return py::bool_(value.get<bool>());
    case Json::value_t::number_integer: return py::int_(value.get<long long>());
    case Json::value_t::number_unsigned: return py::int_(value.get<unsigned long long>());
    case Json::value_t::number_float: return py::float_(value.get<double>());
    case Json::value_t::string: {
      const auto& text = value.get_ref<const std::string&>();
      return py::reinterpret_steal<py::object>(
          PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape"));
    }
    case Json::value_t::array: {
      py::list list;
      for (const Json& item : value) list.append(to_python(item));
      return list;
    }
    case Json::value_t::object: {
      py::dict dict;
      for (const auto& [key, item] : value.items()) dict[py::str(key)] = to_python(item);
      return dict;
    }
    default: return py::none();
  }
}

namespace {

// Whether the Python value already is `value`, kind included (True is not 1).
bool same(const Json& value, py::handle current) {
  try {
    return to_json(current) == value && (value.is_boolean() == static_cast<bool>(PyBool_Check(current.ptr())));
  } catch (const TypeError&) {
    return false;
  }
}

}  // namespace

void write_back(const Json& source, py::handle target) {
  if (!source.is_object() || !PyDict_Check(target.ptr())) return;
  auto dict = py::reinterpret_borrow<py::dict>(target);
  for (const auto& [key, value] : source.items()) {
    py::str name(key);
    if (dict.contains(name)) {
      py::object current = dict[name];
      if (value.is_object() && PyDict_Check(current.ptr())) {
        write_back(value, current);
        continue;
      }
      if (same(value, current)) continue;
    }
    dict[name] = to_python(value);
  }
}

}  // namespace corvane::python
