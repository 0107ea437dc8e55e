#include "http/url_form.hpp"

namespace corvane::apps {
namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<std::string> percent_decode(std::string_view text, bool plus_is_blank) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += plus_is_blank && text[i] == '+' ? ' ' : text[i];
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    const int high = hex_value(text[i + 1]), low = hex_value(text[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return out;
}

std::string url_encode(std::string_view text) {
  static constexpr char hex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                            c == '-' || c == '.' || c == '_' || c == '~';
    if (unreserved) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

std::string with_query(std::string base, const HttpFields& fields) {
  char separator = base.find('?') == std::string::npos ? '?' : '&';
  for (const auto& [name, value] : fields) {
    base += separator;
    base += url_encode(name) + "=" + url_encode(value);
    separator = '&';
  }
  return base;
}

std::optional<HttpFields> parse_form(std::string_view body) {
  HttpFields fields;
  while (!body.empty()) {
    const auto end = body.find('&');
    const std::string_view pair = body.substr(0, end);
    body = end == std::string_view::npos ? std::string_view() : body.substr(end + 1);
    if (pair.empty()) continue;
    const auto eq = pair.find('=');
    std::optional<std::string> name = percent_decode(pair.substr(0, eq), true);
    std::optional<std::string> value =
        percent_decode(eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1), true);
    if (!name || !value) return std::nullopt;
    fields.emplace_back(std::move(*name), std::move(*value));
  }
  return fields;
}

std::optional<std::string_view> field(const HttpFields& fields, std::string_view name) {
  for (const auto& [key, value] : fields) {
    if (key == name) return value;
  }
  return std::nullopt;
}

}  // namespace corvane::apps
