// The extension module corvane.auth.jwt.jwt: the C++ policy under a Python
// class that a Pyramid application uses as its authentication policy.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <string>

#include "convert.hpp"
#include "corvane/auth/jwt/jwt.hpp"
#include "corvane/util/errors.hpp"
#include "errors.hpp"
#include "log_backend.hpp"
#include "python_host.hpp"

namespace corvane::python {
namespace {

// The C++ policy of one Python policy object, which it reads the default
// extension from for every request, as the host's settings may change.
class PythonPolicy : public auth::jwt::JWTAuthenticationPolicy {
 public:
  PythonPolicy(py::handle owner, const host::IniSettings& ini_settings, host::AuthConfiguration configuration)
      : JWTAuthenticationPolicy(ini_settings, std::move(configuration)), owner_(owner) {}
  ~PythonPolicy() override {
    py::gil_scoped_acquire gil;
    owner_ = py::weakref();
  }

  // Read anew per call; the value is kept for the calling thread until its
  // next call, as the base class promises.
  const Json& default_extension() const override {
    py::object owner = owner_();
    if (owner.is_none()) throw AttributeError("the policy object is gone");
    thread_local Json value;
    value = to_json(owner.attr("cvn_settings")[py::str("default_extension")]);
    return value;
  }

 private:
  py::weakref owner_;  // the Python policy owns this object, not the reverse
};

struct PolicyCore {
  std::shared_ptr<const PythonPolicy> policy;
};

// One provider of a policy's table.
struct ProviderView {
  std::shared_ptr<const PythonPolicy> owner;
  const auth::jwt::IDPConfig* idp;
};

struct UserRecord {
  std::shared_ptr<const Users> users;
  std::size_t index;
};

host::IniSettings ini_from(py::handle settings) {
  host::IniSettings ini;
  if (settings.is_none()) return ini;
  for (py::handle entry : settings.attr("items")()) {
    auto pair = py::reinterpret_borrow<py::tuple>(entry);
    ini.set(py::str(pair[0]).cast<std::string>(), py::str(pair[1]).cast<std::string>());
  }
  return ini;
}

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
  configuration.host = std::make_shared<PythonHost>();

  std::shared_ptr<PythonPolicy> policy;
  try {
    policy = std::make_shared<PythonPolicy>(owner, ini_from(ini_settings), std::move(configuration));
  } catch (...) {
    write_back(*settings, auth_settings);  // what construction did before its error stays done
    throw;
  }
  write_back(*settings, auth_settings);

  // The instance state, as the host's own objects.
  if (policy->jwt_settings) {
    py::object jwt_settings = auth_settings[py::str("authentication_policies")][py::str("jwt")];
    py::setattr(owner, "jwt_settings", jwt_settings);
    py::setattr(owner, "jwt_enabled", jwt_settings[py::str("enabled")]);
  } else {
    py::setattr(owner, "jwt_enabled", py::bool_(false));
  }
  if (policy->idps) {
    py::object providers = py::getattr(owner, "jwt_settings")[py::str("identity_providers")];
    py::dict idps;
    for (const auto& [idp_id, idp] : *policy->idps) {
      py::object view = py::cast(ProviderView{policy, &idp});
      py::setattr(view, "idp_config", providers[py::str(idp_id)]);
      idps[py::str(idp_id)] = view;
    }
    py::setattr(owner, "idps", idps);
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

void define_policy(py::module_& m) {
  py::class_<PolicyCore>(m, "_PolicyCore")
      .def(py::init(&make_core), py::arg("owner"), py::arg("ini_settings"))
      .def("authenticated_userid",
           [](const PolicyCore& core, py::handle request) {
             PythonRequest host_request(request);
             return optional_text(core.policy->authenticated_userid(host_request));
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
      .def("get_token_from_header", [](const PolicyCore& core, const std::string& auth_header) {
        return core.policy->get_token_from_header(auth_header);
      });

  py::class_<ProviderView>(m, "IDPConfig", py::dynamic_attr())
      .def_property_readonly("claim_attribute", [](const ProviderView& v) { return to_python(v.idp->claim_attribute); })
      .def_property_readonly("user_config_attribute",
                             [](const ProviderView& v) { return to_python(v.idp->user_config_attribute); })
      .def_property_readonly("well_known_configuration_url",
                             [](const ProviderView& v) { return to_python(v.idp->well_known_configuration_url); })
      .def_property_readonly("jwt_settings_http_timeout",
                             [](const ProviderView& v) { return v.idp->jwt_settings_http_timeout; })
      .def_property_readonly("offline_jwks_uri", [](const ProviderView& v) { return to_python(v.idp->offline_jwks_uri); })
      .def_property_readonly("offline_verification",
                             [](const ProviderView& v) { return to_python(v.idp->offline_verification); })
      .def("secure_load_claims",
           [](const ProviderView& v, const std::string& token) {
             Json claims;
             {
               py::gil_scoped_release release;
               claims = v.idp->secure_load_claims(token);
             }
             return to_python(claims);
           })
      .def("get_user_id_for_claims",
           [](const ProviderView& v, py::handle token) {
             const Json claims = to_json(token);
             std::string user_id;
             {
               py::gil_scoped_release release;
               user_id = v.idp->get_user_id_for_claims(claims);
             }
             return user_id;
           })
      .def("get_sso_user_id", [](const ProviderView& v, py::handle token) {
        return v.idp->get_sso_user_id(to_json(token));
      });
}

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
      .def("__iter__",
           [](const UsersMapping& u) {
             py::list ids;
             for (std::size_t i = 0; i < u.users->size(); ++i) ids.append(u.users->user_id(i));
             return py::iter(ids);
           })
      .def("keys",
           [](const UsersMapping& u) {
             py::list ids;
             for (std::size_t i = 0; i < u.users->size(); ++i) ids.append(u.users->user_id(i));
             return ids;
           })
      .def("items", [](const UsersMapping& u) {
        py::list items;
        for (std::size_t i = 0; i < u.users->size(); ++i) {
          items.append(py::make_tuple(u.users->user_id(i), UserRecord{u.users, i}));
        }
        return items;
      });
}

}  // namespace
}  // namespace corvane::python

PYBIND11_MODULE(jwt, m) {
  namespace python = corvane::python;
  m.doc() = "JWT authentication for Pyramid applications: JWTAuthenticationPolicy and IDPConfig.";
  python::register_errors(m);
  python::route_logging_to_python();
  python::define_users(m);
  python::define_policy(m);
  // The policy class derives from the host's BaseAuthenticationPolicy, a
  // Python class, so it is made in Python around the C++ core.
  pybind11::module_::import("corvane.auth.jwt._policy").attr("build")(m);
}
