#include "http/framing.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <strings.h>

namespace corvane::apps {
namespace {

// RFC 9110 tchar.
bool is_token_char(char c) {
  const auto byte = static_cast<unsigned char>(c);
  if (byte >= '0' && byte <= '9') return true;
  if ((byte | 0x20) >= 'a' && (byte | 0x20) <= 'z') return true;
  return byte != 0 && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool is_token(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), is_token_char);
}

bool named(std::string_view name, const char* wanted) {
  return name.size() == std::strlen(wanted) && strncasecmp(name.data(), wanted, name.size()) == 0;
}

std::string_view trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// Every member of a Content-Length list must be the same digit string;
// nullopt when one is not.
std::optional<std::string_view> one_length(std::string_view value, std::optional<std::string_view> seen) {
  for (std::size_t start = 0;;) {
    const std::size_t comma = std::min(value.find(',', start), value.size());
    const std::string_view member = trimmed(value.substr(start, comma - start));
    if (member.empty() || !std::all_of(member.begin(), member.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      return std::nullopt;
    }
    if (seen && *seen != member) return std::nullopt;
    seen = member;
    if (comma == value.size()) return seen;
    start = comma + 1;
  }
}

}  // namespace

std::string_view framing_problem(std::string_view version, std::string_view target, const HttpFields& headers) {
  if (target.empty() ||
      std::any_of(target.begin(), target.end(), [](char c) { return static_cast<unsigned char>(c) <= 0x20 || c == 0x7f; })) {
    return "The request target holds a blank or a control character.";
  }
  std::size_t hosts = 0;
  bool lengths = false, chunked = false;
  std::optional<std::string_view> length;
  for (const auto& [name, value] : headers) {
    if (!is_token(name)) return "A header field name holds white space or another character outside a token.";
    if (named(name, "Host")) ++hosts;
    if (named(name, "Transfer-Encoding")) chunked = true;
    if (named(name, "Content-Length")) {
      length = one_length(value, length);
      if (!length) return "The Content-Length fields disagree or are not numbers.";
      lengths = true;
    }
  }
  if (lengths && chunked) return "A request carries both Transfer-Encoding and Content-Length.";
  if (hosts > 1 || (version == "HTTP/1.1" && hosts == 0)) return "The Host field is missing or repeated.";
  return "";
}

}  // namespace corvane::apps
