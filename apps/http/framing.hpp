// The request framing this host accepts. A front end and this host must agree
// on where a request ends; any head two parsers could read differently is
// refused (400 and the close) before the library acts on it.
#pragma once

#include <string_view>

#include "http/http_listener.hpp"

namespace corvane::apps {

// Why the head (its version, the target as sent, its fields in order) must be
// refused, or "" when it is unambiguous: a field name that is not a token
// (white space before the colon, the remains of a folded line), a blank or
// control byte in the target, an HTTP/1.1 request without exactly one Host,
// Content-Length fields or list members that disagree or are not digits,
// Transfer-Encoding beside Content-Length.
std::string_view framing_problem(std::string_view version, std::string_view target, const HttpFields& headers);

}  // namespace corvane::apps
