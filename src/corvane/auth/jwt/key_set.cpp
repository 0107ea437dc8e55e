// Loading a provider's key set, once, from a file or over HTTP(S).
#include "corvane/auth/jwt/idp_config.hpp"

#include <vector>

#include "corvane/util/errors.hpp"
#include "corvane/util/file.hpp"
#include "corvane/util/http.hpp"
#include "corvane/util/logging.hpp"

namespace corvane::auth::jwt {

jose::JWKSet IDPConfig::make_jwks(const Json& raw_jwks) {
  jose::JWKSet key_set;
  const Json& keys = strict_get(raw_jwks, "keys");
  if (!keys.is_array()) {
    throw TypeError(std::string("'") + python_type_name(keys) + "' object is not a list of keys");
  }
  if (keys.size() > max_keys) throw ValueError("a key set may hold at most " + std::to_string(max_keys) + " keys");
  std::vector<jose::JWK> collected;
  collected.reserve(keys.size());
  for (const Json& members : keys) {
    if (!members.is_object()) {
      throw TypeError(std::string("a key must be a mapping, not ") + python_type_name(members));
    }
    collected.emplace_back(members);
  }
  for (auto& key : collected) key_set.add(std::move(key));
  return key_set;
}

void IDPConfig::load_offline_jwks() {
  const std::string uri = to_text(offline_jwks_uri);
  err_msg_missing = "Data could not be retrieved from the resource " + uri + ". Verify the local file path or URI.";
  err_msg_invalid = "The resource " + uri + " does not contain a valid JWK Set.";
  if (!offline_jwks_uri.is_string()) {
    throw AttributeError(std::string("'") + python_type_name(offline_jwks_uri) +
                         "' object has no attribute 'decode'");
  }

  UrlParts url = url_split(uri);
  // A location a remote document names is never this machine's disk.
  const bool local_allowed = !jwks_uri_from_network;
  if (local_allowed && (url.scheme.empty() || url.scheme == "file")) {
    _load_offline_jwks_file(url);
  } else if (url.scheme == "http" || url.scheme == "https") {
    _load_offline_jwks_from_http(uri);
  } else {
    logging::warning("Incorrect value for jwks_uri.");
    if (logging::enabled(spdlog::level::debug)) logging::debug("jwks_uri: " + uri);
    throw ValueError("Incorrect value for jwks_uri.");
  }

  try {
    offline_jwks = make_jwks(offline_raw_jwks);
  } catch (const Exception&) {
    throw ValueError(err_msg_invalid);
  } catch (const Json::exception&) {
    throw ValueError(err_msg_invalid);
  }
}

void IDPConfig::_load_offline_jwks_file(const UrlParts& url) {
  std::string text;
  try {
    text = read_text_file(url.path);
  } catch (const FileNotFoundError&) {
    throw ValueError(err_msg_missing);
  }
  if (text.size() > max_key_set_bytes) throw ValueError(err_msg_invalid);
  try {
    offline_raw_jwks = parse_json(text);
  } catch (const JSONDecodeError&) {
    throw ValueError(err_msg_invalid);
  }
}

void IDPConfig::_load_offline_jwks_from_http(const std::string& path) {
  HttpClientResponse response;
  try {
    response = http_get(path, jwt_settings_http_timeout);
  } catch (const RequestException&) {
    throw ValueError(err_msg_missing);
  }
  if (!response.ok()) throw ValueError(err_msg_missing);
  if (response.body.size() > max_key_set_bytes) throw ValueError(err_msg_invalid);
  try {
    offline_raw_jwks = parse_json(response.body);
  } catch (const JSONDecodeError&) {
    throw ValueError(err_msg_invalid);
  }
}

}  // namespace corvane::auth::jwt
