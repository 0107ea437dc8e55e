// UsersMapping: the C++ users store as a read-only Python mapping, walked by
// the policy without the GIL.
#include <pybind11/pybind11.h>

#include <string>

#include "bindings.hpp"
#include "convert.hpp"
#include "corvane/util/errors.hpp"
#include "python_host.hpp"

namespace corvane::python {
namespace {

struct UserRecord {
  std::shared_ptr<const Users> users;
  std::size_t index;
};

py::list user_ids(const UsersMapping& u) {
  py::list ids;
  for (std::size_t i = 0; i < u.users->size(); ++i) ids.append(u.users->user_id(i));
  return ids;
}

}  // namespace

void define_users(py::module_& m) {
  py::class_<UserRecord>(m, "UserRecord")
      .def("__getattr__",
           [](const UserRecord& r, const std::string& name) { return to_python(r.users->attribute(r.index, name)); })
      .def("__repr__", [](const UserRecord& r) { return "<User " + std::string(r.users->user_id(r.index)) + ">"; });

  py::class_<UsersMapping>(m, "UsersMapping")
      .def_static(
          "from_file",
          [](const std::string& path) {
            try {
              return UsersMapping{std::make_shared<const Users>(Users::from_file(path))};
            } catch (const JSONDecodeError& error) {
              throw JSONDecodeError(path + ": " + error.what());
            }
          },
          "The users of a JSON file: user id to a mapping of attributes.")
      .def_static("from_json", [](py::handle users) {
        return UsersMapping{std::make_shared<const Users>(Users::from_json(to_json(users)))};
      })
      .def("__len__", [](const UsersMapping& u) { return u.users->size(); })
      .def("__contains__",
           [](const UsersMapping& u, py::handle key) {
             return PyUnicode_Check(key.ptr()) && u.users->find(key.cast<std::string>()).has_value();
           })
      .def("__getitem__",
           [](const UsersMapping& u, py::handle key) {
             auto index = PyUnicode_Check(key.ptr()) ? u.users->find(key.cast<std::string>()) : std::nullopt;
             if (!index) {
               PyErr_SetObject(PyExc_KeyError, key.ptr());
               throw py::error_already_set();
             }
             return UserRecord{u.users, *index};
           })
      .def("__iter__", [](const UsersMapping& u) { return py::iter(user_ids(u)); })
      .def("keys", &user_ids)
      .def("items", [](const UsersMapping& u) {
        py::list items;
        for (std::size_t i = 0; i < u.users->size(); ++i) {
          items.append(py::make_tuple(u.users->user_id(i), UserRecord{u.users, i}));
        }
        return items;
      });
}

}  // namespace corvane::python
