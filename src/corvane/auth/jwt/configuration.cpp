// Settling a provider's configuration: discovery document, merge, validation.
#include "corvane/auth/jwt/idp_config.hpp"

#include "corvane/util/errors.hpp"
#include "corvane/util/file.hpp"
#include "corvane/util/http.hpp"
#include "corvane/util/logging.hpp"

namespace corvane::auth::jwt {

namespace {

bool is_local(const UrlParts& url) { return url.scheme.empty() || url.scheme == "file"; }

}  // namespace

Json& IDPConfig::get_idp_config(Json& idp_config_) {
  Json* config = &idp_config_;
  jwks_uri_from_network = false;
  well_known_document = Json::object();
  if (truthy(well_known_configuration_url)) {
    Json well_known_config = Json::object();
    bool fetched = false;
    try {
      well_known_config = _get_well_known_configuration();
      fetched = !is_local(url_split(well_known_configuration_url.get_ref<const std::string&>()));
    } catch (const ValueError& error) {
      logging::warning("Failed to load .well-known configuration for " +
                       to_text(strict_get(idp_config_, "idp_name")) + ", " + error.what() +
                       ". Using only local configuration");
    }
    const bool local_jwks_uri = truthy(get_or_null(*config, "jwks_uri"));
    config = &_merge_jwt_configuration(*config, well_known_config);
    if (well_known_config.is_object()) well_known_document = well_known_config;
    jwks_uri_from_network = fetched && !local_jwks_uri;
  }
  _validate_jwt_configuration(*config);
  return *config;
}

Json& IDPConfig::_merge_jwt_configuration(Json& local, const Json& remote) const {
  for (std::string_view key : required_well_known_configuration_keys) {
    if (truthy(get_or_null(local, key))) continue;
    local[std::string(key)] = strict_get(remote, key);
  }
  return local;
}

void IDPConfig::_validate_jwt_configuration(const Json& config) const {
  std::string missing;
  for (std::string_view key : required_well_known_configuration_keys) {
    if (truthy(get_or_null(config, key))) continue;
    if (!missing.empty()) missing += ", ";
    missing += key;
  }
  if (!missing.empty()) throw ValueError("Missing required attributes: " + missing);
}

Json IDPConfig::_get_well_known_configuration() const {
  if (!well_known_configuration_url.is_string()) {
    throw AttributeError(std::string("'") + python_type_name(well_known_configuration_url) +
                         "' object has no attribute 'decode'");
  }
  const std::string& location = well_known_configuration_url.get_ref<const std::string&>();
  UrlParts url;
  try {
    url = url_split(location);
  } catch (const ValueError& error) {
    throw ValueError(std::string("Can not parse url or file path, ") + error.what());
  }

  std::string text;
  try {
    if (is_local(url)) {
      text = read_text_file(url.path);
    } else {
      HttpClientResponse response = http_get(location, jwt_settings_http_timeout);
      response.raise_for_status();
      text = std::move(response.body);
    }
  } catch (const OSError& error) {
    throw ValueError(std::string("Can not read: ") + error.kind() + ": " + error.what());
  }

  Json document;
  try {
    document = parse_json(text);
  } catch (const JSONDecodeError& error) {
    throw ValueError(std::string("Invalid json: ") + error.what());
  }
  if (!truthy(document)) throw ValueError("Response in empty");
  return document;
}

}  // namespace corvane::auth::jwt
