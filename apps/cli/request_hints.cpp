#include "cli/request_hints.hpp"

#include <algorithm>
#include <cctype>

#include "corvane/util/base64.hpp"

namespace corvane::apps {
namespace {

constexpr std::string_view kForm =
    "the value must be \"Bearer\", one blank and the standard base64 of the compact JWT "
    "(corvane-jwt mint prints one)";

bool is_base64_char(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/';
}

bool is_base64url_char(char c) { return is_base64_char(c) || c == '-' || c == '_'; }

// Three dot-separated base64url parts: a compact JWS sent as it is.
bool looks_compact(std::string_view token) {
  if (std::count(token.begin(), token.end(), '.') != 2) return false;
  return std::all_of(token.begin(), token.end(), [](char c) { return c == '.' || is_base64url_char(c); });
}

std::string quoted_char(char c) {
  const auto byte = static_cast<unsigned char>(c);
  if (byte >= 0x20 && byte < 0x7f) return std::string("\"") + c + "\"";
  static constexpr char kHex[] = "0123456789abcdef";
  return std::string("byte 0x") + kHex[byte >> 4] + kHex[byte & 15];
}

}  // namespace

std::string bearer_problem(std::string_view value) {
  if (value.empty()) return "the Authorization value is empty; " + std::string(kForm);
  const std::string_view scheme = value.substr(0, std::min(value.find(' '), value.size()));
  if (scheme != "Bearer") {
    std::string lower(scheme);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    if (lower == "bearer") return "the scheme word must be written \"Bearer\" exactly, not \"" + std::string(scheme) + "\"";
    if (lower.rfind("bearer", 0) == 0) return "\"Bearer\" must be followed by exactly one blank";
    return "the value does not begin with \"Bearer \"; " + std::string(kForm);
  }
  if (value.size() < 8 || value[7] == ' ') return "\"Bearer\" must be followed by exactly one blank and the token";
  std::string_view token = value.substr(7);
  if (token.back() == '\n') token.remove_suffix(1);  // one final line feed is allowed
  if (looks_compact(token)) {
    return "this is a compact JWT sent as it is; the header carries the standard base64 of the whole compact JWT "
           "text (dots included): send \"Bearer \" + base64(token)";
  }
  const std::size_t data_end = std::min(token.find('='), token.size());
  for (std::size_t i = 0; i < token.size(); ++i) {
    const char c = token[i];
    if (i < data_end && is_base64_char(c)) continue;
    if (i >= data_end && c == '=') continue;
    if (c == '-' || c == '_') {
      return "the token uses the URL-safe base64 alphabet (\"-\", \"_\"); the header needs standard base64 "
             "(\"+\", \"/\")";
    }
    if (c == '=' || (i >= data_end && is_base64_char(c))) return "\"=\" may only end the token";
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      return "the token is followed by " + quoted_char(c) + "; nothing may follow it but one line feed";
    }
    return quoted_char(c) + " at position " + std::to_string(7 + i + 1) + " is not standard base64";
  }
  const std::size_t data = data_end, padding = token.size() - data_end;
  if (data == 0) return "the token is empty";
  if (padding > 3) return "the token ends with more than three \"=\"";
  switch (data % 4) {
    case 1: return "the token has one base64 character too many or too few (its length leaves one over)";
    case 2:
      if (padding < 2) return "the token lacks its padding: standard base64 of this length ends with \"==\"";
      break;
    case 3:
      if (padding < 1) return "the token lacks its padding: standard base64 of this length ends with \"=\"";
      break;
    default: break;
  }
  std::string decoded;
  try {
    decoded = b64decode_padded(token);
  } catch (const Base64Error& error) {
    return std::string("the token is not valid base64: ") + error.what();
  }
  if (std::any_of(decoded.begin(), decoded.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; })) {
    return "the decoded token holds bytes of 128 or above; a compact JWT is ASCII text";
  }
  return "";
}

}  // namespace corvane::apps
