#include "host_render.hpp"

namespace corvane::apps {
namespace {

std::string page(const std::string& title, const std::string& body) {
  return "<!doctype html>\n<html><head><meta charset=\"utf-8\"><title>" + html_escape(title) +
         "</title></head>\n<body>\n<h1>" + html_escape(title) + "</h1>\n" + body + "</body></html>\n";
}

}  // namespace

std::string html_escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string printable(std::string_view text, std::size_t limit) {
  static constexpr char hex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : text.substr(0, limit)) {
    if (c < 0x20 || c == 0x7f || c == '"' || c == '\\') {
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  if (text.size() > limit) out += "...";
  return out;
}

HttpResponse render(const Reply& reply) {
  HttpResponse response;
  response.status = reply.status;
  if (reply.format == "html") {
    std::string rows;
    for (const auto& [key, value] : reply.document.items()) {
      rows += "<tr><th>" + html_escape(key) + "</th><td id=\"" + html_escape(key) + "\">" +
              html_escape(value.is_string() ? value.get<std::string>() : dump(value)) + "</td></tr>\n";
    }
    response.body = page(reply.title, "<table>\n" + rows + "</table>\n");
    response.content_type = "text/html; charset=utf-8";
  } else {
    response.body = dump(reply.document) + "\n";
    response.content_type = "application/json";
  }
  return response;
}

Reply error_reply(int status, const std::string& format, const std::string& title, const std::string& message) {
  return {status, format == "html" ? "html" : "json", title, {{"error", title}, {"message", message}}};
}

}  // namespace corvane::apps
