// Splitting a location text into scheme, host and path, the way the
// discovery-document and key-set locations are read. Nothing is decoded and
// no scheme is checked for being known.
#pragma once

#include <string>
#include <string_view>

namespace corvane {

struct UrlParts {
  std::string scheme;  // lower case; empty when the text has none
  std::string netloc;  // what follows "//" up to "/", "?" or "#"
  std::string path;    // up to "?" or "#" (and, without a scheme, ";" in the last segment)
  std::string query;
  std::string fragment;
};

// Throws ValueError for a host part with unbalanced square brackets.
UrlParts url_split(std::string_view text);

}  // namespace corvane
