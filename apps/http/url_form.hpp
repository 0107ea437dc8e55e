// Percent-encoding for the addresses the sign-in builds, and the reading of
// a form-encoded body.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "http/http_listener.hpp"

namespace corvane::apps {

// Every byte but the unreserved ones (letters, digits, "-._~") as %XX.
std::string url_encode(std::string_view text);

// `base` with `fields` appended as its query ("?" or, when it has one, "&").
std::string with_query(std::string base, const HttpFields& fields);

// %XX escapes decoded (and "+" read as a blank when asked, as in a query or
// a form); null when an escape is malformed.
std::optional<std::string> percent_decode(std::string_view text, bool plus_is_blank);

// An application/x-www-form-urlencoded text (also a query string): "+" is a blank, %XX a byte.
// Null when an escape is malformed.
std::optional<HttpFields> parse_form(std::string_view body);

// The value of the first field `name`, if any.
std::optional<std::string_view> field(const HttpFields& fields, std::string_view name);

}  // namespace corvane::apps
