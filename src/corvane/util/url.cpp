#include "corvane/util/url.hpp"

#include "corvane/util/errors.hpp"

namespace corvane {
namespace {

bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_scheme_char(char c) {
  return is_alpha(c) || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}
char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

UrlParts url_split(std::string_view text) {
  UrlParts parts;
  std::string_view rest = text;

  auto colon = rest.find(':');
  if (colon != std::string_view::npos && colon > 0 && is_alpha(rest[0])) {
    bool valid = true;
    for (std::size_t i = 1; i < colon && valid; ++i) valid = is_scheme_char(rest[i]);
    if (valid) {
      for (std::size_t i = 0; i < colon; ++i) parts.scheme.push_back(lower(rest[i]));
      rest.remove_prefix(colon + 1);
    }
  }

  if (rest.substr(0, 2) == "//") {
    rest.remove_prefix(2);
    auto end = rest.find_first_of("/?#");
    std::string_view netloc = rest.substr(0, end);
    bool opens = netloc.find('[') != std::string_view::npos;
    bool closes = netloc.find(']') != std::string_view::npos;
    if (opens != closes) throw ValueError("Invalid IPv6 URL");
    parts.netloc = std::string(netloc);
    rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end);
  }

  auto hash = rest.find('#');
  if (hash != std::string_view::npos) {
    parts.fragment = std::string(rest.substr(hash + 1));
    rest = rest.substr(0, hash);
  }
  auto question = rest.find('?');
  if (question != std::string_view::npos) {
    parts.query = std::string(rest.substr(question + 1));
    rest = rest.substr(0, question);
  }
  if (parts.scheme.empty()) {
    // Path parameters: a ";" in the last segment ends the path.
    auto last_slash = rest.rfind('/');
    auto semicolon = rest.find(';', last_slash == std::string_view::npos ? 0 : last_slash);
    if (semicolon != std::string_view::npos) rest = rest.substr(0, semicolon);
  }
  parts.path = std::string(rest);
  return parts;
}

}  // namespace corvane
