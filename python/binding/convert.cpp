#include "convert.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "corvane/util/errors.hpp"

namespace corvane::python {

namespace {

// A text's UTF-8, which the text object caches.
std::string utf8_text(py::handle value) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
  if (utf8 == nullptr) {
    // Not encodable (lone surrogates): the conversion's own error.
    PyErr_Clear();
    return value.cast<std::string>();
  }
  return std::string(utf8, static_cast<std::size_t>(size));
}

// One conversion to JSON, as json.dumps walks a value: a container met again
// inside itself is a ValueError, nesting deeper than the interpreter's
// recursion limit a RecursionError.
class ToJson {
 public:
  Json convert(py::handle value) {
    if (value.is_none()) return nullptr;
    if (PyBool_Check(value.ptr())) return value.ptr() == Py_True;
    if (PyLong_Check(value.ptr())) return integer(value);
    if (PyFloat_Check(value.ptr())) return PyFloat_AsDouble(value.ptr());
    if (PyUnicode_Check(value.ptr())) return utf8_text(value);
    const bool mapping = PyDict_Check(value.ptr());
    if (!mapping && !PyList_Check(value.ptr()) && !PyTuple_Check(value.ptr())) {
      throw TypeError("not a JSON-like value: " + py::str(py::type::of(value).attr("__name__")).cast<std::string>());
    }
    Inside inside(*this, value);
    return mapping ? object(value) : array(value);
  }

 private:
  // Marks a container as being converted for as long as it is.
  class Inside {
   public:
    Inside(ToJson& walk, py::handle container) : walk_(walk) {
      if (std::find(walk_.open_.begin(), walk_.open_.end(), container.ptr()) != walk_.open_.end()) {
        throw py::value_error("Circular reference detected");
      }
      if (Py_EnterRecursiveCall(" while converting a value to JSON") != 0) throw py::error_already_set();
      walk_.open_.push_back(container.ptr());
    }
    ~Inside() {
      walk_.open_.pop_back();
      Py_LeaveRecursiveCall();
    }
    Inside(const Inside&) = delete;
    Inside& operator=(const Inside&) = delete;

   private:
    ToJson& walk_;
  };

  static Json integer(py::handle value) {
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

  Json object(py::handle value) {
    Json object = Json::object();
    for (auto item : py::reinterpret_borrow<py::dict>(value)) {
      if (!PyUnicode_Check(item.first.ptr())) {
        throw TypeError("settings keys must be text, not " +
                        py::str(py::type::of(item.first).attr("__name__")).cast<std::string>());
      }
      object[utf8_text(item.first)] = convert(item.second);
    }
    return object;
  }

  Json array(py::handle value) {
    Json array = Json::array();
    for (auto item : value) array.push_back(convert(item));
    return array;
  }

  std::vector<PyObject*> open_;  // the containers being converted, outermost first
};

// Marks one level of a conversion to Python for the interpreter's recursion limit.
class Level {
 public:
  Level() {
    if (Py_EnterRecursiveCall(" while converting JSON to Python") != 0) throw py::error_already_set();
  }
  ~Level() { Py_LeaveRecursiveCall(); }
  Level(const Level&) = delete;
  Level& operator=(const Level&) = delete;
};

}  // namespace

Json to_json(py::handle value) { return ToJson().convert(value); }

py::str py_text(std::string_view text) {
  PyObject* made = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape");
  if (made == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(made);
}

py::object to_python(const Json& value) {
  switch (value.type()) {
    case Json::value_t::null: return py::none();
    case Json::value_t::boolean: return py::bool_(value.get<bool>());
    case Json::value_t::number_integer: return py::int_(value.get<long long>());
    case Json::value_t::number_unsigned: return py::int_(value.get<unsigned long long>());
    case Json::value_t::number_float: return py::float_(value.get<double>());
    case Json::value_t::string: return py_text(value.get_ref<const std::string&>());
    case Json::value_t::array: {
      Level level;
      py::list list;
      for (const Json& item : value) list.append(to_python(item));
      return list;
    }
    case Json::value_t::object: {
      Level level;
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
