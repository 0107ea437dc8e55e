// The C++ policy under the Python class JWTAuthenticationPolicy
// (corvane.auth.jwt.jwt), which holds it as its `_core`.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cxxabi.h>

#include <memory>
#include <string>

#include "bindings.hpp"
#include "convert.hpp"
#include "corvane/auth/jwt/jwt.hpp"
#include "corvane/util/errors.hpp"
#include "gil.hpp"
#include "names.hpp"
#include "python_host.hpp"

namespace corvane::python {
namespace {

// The C++ policy of one Python policy object, which it reads the default
// extension from for every request, as the host's settings may change.
class PythonPolicy : public auth::jwt::JWTAuthenticationPolicy {
 public:
  // Built without the GIL: the owner is set afterwards, with it.
  PythonPolicy(const host::IniSettings& ini_settings, host::AuthConfiguration configuration)
      : JWTAuthenticationPolicy(ini_settings, std::move(configuration)) {}
  ~PythonPolicy() override {
    WithGil gil;
    owner_ = py::weakref();
  }

  void set_owner(py::handle owner) { owner_ = py::weakref(owner); }

  // Read anew per call; the value is kept for the calling thread until its
  // next call, as the base class promises.
  const Json& default_extension() const override {
    py::object owner = owner_();
    if (owner.is_none()) throw AttributeError("the policy object is gone");
    thread_local Json value;
    py::object cvn_settings = guarded([&] { return PyObject_GetAttr(owner.ptr(), names().cvn_settings); });
    const py::object extension =
        guarded([&] { return PyObject_GetItem(cvn_settings.ptr(), names().default_extension); });
    // The same text as this thread's last call: nothing to convert.
    if (PyUnicode_Check(extension.ptr()) && value.is_string()) {
      Py_ssize_t size = 0;
      const char* utf8 = PyUnicode_AsUTF8AndSize(extension.ptr(), &size);
      if (utf8 == nullptr) {
        PyErr_Clear();  // not UTF-8: to_json() raises for it
      } else if (value.get_ref<const std::string&>() == std::string_view(utf8, static_cast<std::size_t>(size))) {
        return value;
      }
    }
    value = to_json(extension);
    return value;
  }

 private:
  py::weakref owner_;  // the Python policy owns this object, not the reverse
};

struct PolicyCore {
  std::shared_ptr<const PythonPolicy> policy;
};

// What one authentication found, for hosts that need more than the user id.
struct AuthenticationResult {
  std::optional<std::string> user_id;
  std::vector<std::string> principals;
  std::optional<std::string> sso_user_id;
  std::string idp_id;
  std::string outcome;
};

PolicyCore make_core(py::handle owner, py::handle ini_settings) {
  py::object auth_settings = owner.attr("auth_settings");
  host::AuthConfiguration configuration;
  *configuration.auth_settings = to_json(auth_settings);
  std::shared_ptr<Json> settings = configuration.auth_settings;
  py::object users = owner.attr("users");
  if (py::isinstance<UsersMapping>(users)) {
    configuration.users = users.cast<const UsersMapping&>().users;  // walked without the GIL
  } else {
    configuration.users = std::make_shared<PythonUsers>(users);
  }
  configuration.cvn_settings = Json::object();  // read from the owner per request
  configuration.host = std::make_shared<PythonHost>(py::reinterpret_borrow<py::object>(ini_settings));
  const host::IniSettings ini = ini_from(ini_settings);

  // Fetches and file reads run without the GIL, so other Python threads (a
  // provider served by this very process, say) go on meanwhile; the host's
  // asint, its error kinds and the log records take it back in turn.
  std::shared_ptr<PythonPolicy> policy;
  try {
    policy = without_gil([&] { return std::make_shared<PythonPolicy>(ini, std::move(configuration)); });
  } catch (...) {
    write_back(*settings, auth_settings);  // what construction did before its error stays done
    throw;
  }
  policy->set_owner(owner);
  write_back(*settings, auth_settings);

  // The instance state, as the host's own objects.
  if (policy->jwt_settings) {
    py::object jwt_settings = auth_settings[py::str("authentication_policies")][py::str("jwt")];
    py::setattr(owner, "jwt_settings", jwt_settings);
    py::setattr(owner, "jwt_enabled", jwt_settings[py::str("enabled")]);
  } else {
    py::setattr(owner, "jwt_enabled", py::bool_(false));
  }
  return PolicyCore{std::move(policy)};
}

py::object optional_text(const std::optional<std::string>& text) {
  if (!text) return py::none();
  return py::str(*text);
}

py::list header_list(const host::Headers& headers) {
  py::list list;
  for (const auto& [name, value] : headers) list.append(py::make_tuple(name, value));
  return list;
}

// Sets the Python error for `error` as a bound function's would be set: it
// is thrown again inside one, whose dispatch applies the module's
// translators.
void raise_translated(std::exception_ptr error) {
  const py::cpp_function rethrow([error] { std::rethrow_exception(error); });
  PyObject* result = PyObject_CallNoArgs(rethrow.ptr());
  Py_XDECREF(result);  // null, with the error set
}

// The policy of a request entry, in the capsule the entry is bound to.
constexpr const char* kEntryPolicy = "corvane.auth.jwt._entry_policy";
using EntryPolicy = std::shared_ptr<const PythonPolicy>;

// entry(request): authenticated_userid, the call every request makes,
// without pybind11's overload dispatch and its look-up of the C++ object
// behind `self`, which together cost as much as the request's look-ups.
PyObject* authenticated_userid_entry(PyObject* capsule, PyObject* const* args, Py_ssize_t count) {
  try {
    if (count != 1) throw TypeError("authenticated_userid() takes the request alone");
    const auto* policy = static_cast<const EntryPolicy*>(PyCapsule_GetPointer(capsule, kEntryPolicy));
    if (policy == nullptr) return nullptr;
    PythonRequest request(args[0]);
    return optional_text((*policy)->authenticated_userid(request)).release().ptr();
  } catch (abi::__forced_unwind&) {
    throw;  // the interpreter ends the thread: no frame may stop it
  } catch (py::error_already_set& error) {
    error.restore();
  } catch (...) {
    raise_translated(std::current_exception());
  }
  return nullptr;
}

PyMethodDef authenticated_userid_method = {
    "authenticated_userid", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&authenticated_userid_entry)),
    METH_FASTCALL, "The user id of the request's token, or None."};

// A function of one request bound to this policy, which it keeps alive.
py::object userid_entry(const PolicyCore& core) {
  auto* policy = new EntryPolicy(core.policy);
  PyObject* capsule = PyCapsule_New(policy, kEntryPolicy, [](PyObject* self) {
    delete static_cast<EntryPolicy*>(PyCapsule_GetPointer(self, kEntryPolicy));
  });
  if (capsule == nullptr) {
    delete policy;
    throw py::error_already_set();
  }
  const auto owned = py::reinterpret_steal<py::object>(capsule);  // the entry takes its own reference
  PyObject* entry = PyCFunction_NewEx(&authenticated_userid_method, capsule, nullptr);
  if (entry == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(entry);
}

}  // namespace

void define_policy(py::module_& m) {
  py::class_<AuthenticationResult>(m, "Authentication", "What one authentication found.")
      .def_readonly("user_id", &AuthenticationResult::user_id)
      .def_readonly("principals", &AuthenticationResult::principals)
      .def_readonly("sso_user_id", &AuthenticationResult::sso_user_id)
      .def_readonly("idp_id", &AuthenticationResult::idp_id)
      .def_readonly("outcome", &AuthenticationResult::outcome)
      .def("__repr__", [](const AuthenticationResult& r) {
        return "<Authentication " + r.outcome + (r.user_id ? " " + *r.user_id : std::string()) + ">";
      });

  py::class_<PolicyCore>(m, "_PolicyCore")
      .def(py::init(&make_core), py::arg("owner"), py::arg("ini_settings"))
      .def("records",
           [](const PolicyCore& core) -> py::object {
             if (!core.policy->idps) return py::none();
             py::list records;
             for (const auto& [idp_id, idp] : *core.policy->idps) {
               IDPCore record;
               record.idp = std::shared_ptr<const auth::jwt::IDPConfig>(core.policy, &idp);
               records.append(py::make_tuple(idp_id, std::move(record)));
             }
             return records;
           })
      .def("authenticate",
           [](const PolicyCore& core, py::handle request) {
             PythonRequest host_request(request);
             auth::jwt::Authentication found = core.policy->authenticate(host_request);
             AuthenticationResult result{found.user_id, {}, std::move(found.sso_user_id), std::move(found.idp_id),
                                         std::string(auth::jwt::outcome_name(found.outcome))};
             if (result.user_id) result.principals = core.policy->principals_for(*result.user_id);
             return result;
           })
      // (idp_id, "ready" | "skipped" | "disabled", why it was skipped) per
      // configured provider, in settings order: what a rebuild is judged by.
      .def("provider_states",
           [](const PolicyCore& core) {
             py::list states;
             for (const auto& state : core.policy->provider_states) {
               states.append(py::make_tuple(state.idp_id, auth::jwt::status_name(state.status), state.error));
             }
             return states;
           })
      .def("principals_for", [](const PolicyCore& core, const std::string& userid) {
        return core.policy->principals_for(userid);
      })
      .def("effective_principals",
           [](const PolicyCore& core, py::handle request) {
             PythonRequest host_request(request);
             py::list principals;
             for (const auto& principal : core.policy->effective_principals(host_request)) principals.append(principal);
             return principals;
           })
      .def("unauthenticated_userid",
           [](const PolicyCore& core, py::handle request) {
             PythonRequest host_request(request);
             return optional_text(core.policy->unauthenticated_userid(host_request));
           })
      .def("remember",
           [](const PolicyCore& core, py::handle request, py::handle principal) {
             PythonRequest host_request(request);
             return header_list(core.policy->remember(host_request, py::str(principal).cast<std::string>()));
           })
      .def("forget",
           [](const PolicyCore& core, py::handle request) {
             PythonRequest host_request(request);
             return header_list(core.policy->forget(host_request));
           })
      .def("userid_entry", &userid_entry,
           "authenticated_userid(request) of this policy as a function of the request alone")
      .def("get_token_from_header", [](const PolicyCore& core, py::handle auth_header) {
        // As the pattern match would: text only.
        if (!PyUnicode_Check(auth_header.ptr())) {
          throw TypeError(PyBytes_Check(auth_header.ptr()) || PyByteArray_Check(auth_header.ptr())
                              ? "cannot use a string pattern on a bytes-like object"
                              : "expected string or bytes-like object, got '" +
                                    py::str(py::type::of(auth_header).attr("__name__")).cast<std::string>() + "'");
        }
        return core.policy->get_token_from_header(auth_header.cast<std::string>());
      });
}

}  // namespace corvane::python
