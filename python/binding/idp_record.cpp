// The provider record (the core of the Python class IDPConfig) and the key
// sets it loads.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <stdexcept>
#include <string>

#include "bindings.hpp"
#include "convert.hpp"
#include "corvane/util/errors.hpp"
#include "gil.hpp"
#include "python_host.hpp"

namespace corvane::python {
namespace {

using auth::jwt::IDPConfig;

std::shared_ptr<const host::UserDirectory> directory_of(const py::object& users) {
  if (py::isinstance<UsersMapping>(users)) return users.cast<const UsersMapping&>().users;  // walked without the GIL
  return std::make_shared<PythonUsers>(users);
}

IDPCore make_record(py::object users, py::object idp_config, py::object ini_settings) {
  IDPCore core;
  core.config = std::make_shared<Json>(to_json(idp_config));
  core.config_dict = idp_config;
  const PythonHost host(ini_settings);
  core.own = std::make_shared<IDPConfig>(directory_of(users), *core.config, ini_from(ini_settings), host);
  core.idp = core.own;
  return core;
}

// A ready record of a policy is shared with request threads: never changed.
IDPConfig& own_record(const IDPCore& core) {
  if (!core.own) throw std::runtime_error("the providers of a policy are ready and read-only");
  return *core.own;
}

// Runs `change` on the record's configuration without the GIL, then writes
// the configuration back into the host's mapping, also after a failure (the
// merge writes key by key).
template <typename Change>
void changing_config(IDPCore& core, Change change) {
  IDPConfig& idp = own_record(core);
  try {
    without_gil([&] { change(idp); });
  } catch (...) {
    write_back(*core.config, core.config_dict);
    throw;
  }
  write_back(*core.config, core.config_dict);
}

// The fields the record has set, as Python values, under their names.
py::dict fields(const IDPCore& core) {
  const IDPConfig& idp = *core.idp;
  py::dict out;
  out["claim_attribute"] = to_python(idp.claim_attribute);
  out["user_config_attribute"] = to_python(idp.user_config_attribute);
  out["well_known_configuration_url"] = to_python(idp.well_known_configuration_url);
  out["jwt_settings_http_timeout"] = idp.jwt_settings_http_timeout;
  if (!idp.offline_jwks_uri.is_null()) out["offline_jwks_uri"] = to_python(idp.offline_jwks_uri);
  if (!idp.offline_verification.is_null()) out["offline_verification"] = to_python(idp.offline_verification);
  if (!idp.offline_raw_jwks.is_null()) out["offline_raw_jwks"] = to_python(idp.offline_raw_jwks);
  if (idp.offline_jwks) out["offline_jwks"] = py::cast(*idp.offline_jwks);
  if (!idp.err_msg_missing.empty()) out["err_msg_missing"] = idp.err_msg_missing;
  if (!idp.err_msg_invalid.empty()) out["err_msg_invalid"] = idp.err_msg_invalid;
  return out;
}

std::string text_argument(py::handle value, const char* what) {
  if (!PyUnicode_Check(value.ptr())) {
    throw TypeError(std::string(what) + " must be text, not " +
                    py::str(py::type::of(value).attr("__name__")).cast<std::string>());
  }
  return value.cast<std::string>();
}

}  // namespace

void define_key_sets(py::module_& m) {
  py::class_<jose::JWK>(m, "JWK", "One verification key of a key set.")
      .def_property_readonly("key_type", &jose::JWK::kty)
      .def_property_readonly("key_id", [](const jose::JWK& key) { return key.kid(); })
      .def_property_readonly("alg", [](const jose::JWK& key) { return key.alg(); })
      .def("__repr__", [](const jose::JWK& key) {
        return "<JWK " + key.kty() + (key.kid() ? " " + *key.kid() : std::string()) + ">";
      });
  py::class_<jose::JWKSet>(m, "JWKSet", "The keys of one provider, in the order of its key set document.")
      .def("__len__", &jose::JWKSet::size)
      .def("__iter__", [](const jose::JWKSet& set) { return py::iter(py::cast(set.keys())); })
      .def("get_key", [](const jose::JWKSet& set, const std::string& kid) -> py::object {
        const jose::JWK* key = set.find(kid);
        return key ? py::cast(*key) : py::none();
      });
}

void define_idp_records(py::module_& m) {
  py::class_<IDPCore>(m, "_IDPCore")
      .def(py::init(&make_record), py::arg("users"), py::arg("idp_config"), py::arg("ini_settings"))
      .def("fields", &fields)
      .def("post_init",
           [](IDPCore& core) {
             changing_config(core, [](IDPConfig& idp) { idp.post_init(); });
             return core.config_dict;
           })
      .def("get_idp_config",
           [](IDPCore& core, py::object idp_config) {
             if (idp_config.is(core.config_dict)) {
               changing_config(core, [&](IDPConfig& idp) { idp.get_idp_config(*core.config); });
               return idp_config;
             }
             IDPConfig& idp = own_record(core);
             Json config = to_json(idp_config);
             try {
               without_gil([&] { idp.get_idp_config(config); });
             } catch (...) {
               write_back(config, idp_config);
               throw;
             }
             write_back(config, idp_config);
             return idp_config;
           })
      .def("load_offline_jwks",
           [](IDPCore& core) {
             IDPConfig& idp = own_record(core);
             without_gil([&] { idp.load_offline_jwks(); });
           })
      .def_static("make_jwks",
                  [](py::handle raw_jwks) {
                    const Json raw = to_json(raw_jwks);
                    return without_gil([&] { return IDPConfig::make_jwks(raw); });
                  })
      .def("secure_load_claims",
           [](const IDPCore& core, py::handle token) {
             const std::string text = text_argument(token, "token");
             const Json claims = without_gil([&] { return core.idp->secure_load_claims(text); });
             return to_python(claims);
           })
      .def("get_user_id_for_claims",
           [](const IDPCore& core, py::handle token) {
             const Json claims = to_json(token);
             // A host's users mapping takes the GIL back.
             return without_gil([&] { return core.idp->get_user_id_for_claims(claims); });
           })
      .def("get_sso_user_id", [](const IDPCore& core, py::handle token) {
        const Json claims = to_json(token);
        return core.idp->get_sso_user_id(claims);
      });
}

}  // namespace corvane::python
