#include "http/render.hpp"

namespace corvane::apps {
namespace {

constexpr std::string_view kStyle =
    "body{font:16px/1.5 system-ui,sans-serif;margin:2rem auto;max-width:46rem;padding:0 1rem;color:#222}\n"
    "h1{font-size:1.5rem}\n"
    "table{border-collapse:collapse;margin:1rem 0}\n"
    "td table{margin:0}\n"
    "th,td{border:1px solid #ccc;padding:.3rem .6rem;text-align:left;vertical-align:top}\n"
    "th{background:#f3f3f3;font-weight:600}\n"
    "ul.links{list-style:none;padding:0}\n"
    "ul.links li{margin:.4rem 0}\n"
    "ul.links a{display:inline-block;padding:.4rem .9rem;border:1px solid #36c;border-radius:4px;"
    "color:#36c;text-decoration:none}\n"
    "ul.links a:hover{background:#36c;color:#fff}\n"
    "ul.links button{font:inherit;padding:.4rem .9rem;border:1px solid #36c;border-radius:4px;background:#fff;"
    "color:#36c;cursor:pointer}\n"
    "ul.links button:hover{background:#36c;color:#fff}\n";

std::string page(const std::string& title, const std::string& body) {
  return "<!doctype html>\n<html><head><meta charset=\"utf-8\"><title>" + html_escape(title) +
         "</title><link rel=\"stylesheet\" href=\"" + std::string(kStylesheetPath) + "\"></head>\n<body>\n<h1>" +
         html_escape(title) + "</h1>\n" + body + "</body></html>\n";
}

// A mapping as a table of its members; `ids` marks the top level's cells,
// which the tests and scripts read by id.
std::string table(const Json& document, bool ids) {
  std::string rows;
  for (const auto& [key, value] : document.items()) {
    std::string cell;
    if (value.is_object() && !value.empty()) {
      cell = table(value, false);
    } else {
      cell = html_escape(value.is_string() ? value.get<std::string>() : dump(value));
    }
    rows += "<tr><th>" + html_escape(key) + "</th><td" + (ids ? " id=\"" + html_escape(key) + "\"" : "") + ">" +
            cell + "</td></tr>\n";
  }
  return "<table>\n" + rows + "</table>\n";
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
    std::string links;
    for (const auto& [text, address] : reply.links) {
      links += "<li><a href=\"" + html_escape(address) + "\">" + html_escape(text) + "</a></li>\n";
    }
    for (const auto& [text, address] : reply.buttons) {
      links += "<li><form method=\"post\" action=\"" + html_escape(address) + "\"><button type=\"submit\">" +
               html_escape(text) + "</button></form></li>\n";
    }
    if (!links.empty()) links = "<ul class=\"links\">\n" + links + "</ul>\n";
    response.body = page(reply.title, table(reply.document, true) + links);
    response.content_type = "text/html; charset=utf-8";
  } else {
    response.body = dump(reply.document) + "\n";
    response.content_type = "application/json";
  }
  return response;
}

HttpResponse stylesheet() {
  return {200, "text/css; charset=utf-8", std::string(kStyle), {{"Cache-Control", "public, max-age=3600"}}, false};
}

Reply error_reply(int status, const std::string& format, const std::string& title, const std::string& message) {
  return {status, format == "html" ? "html" : "json", title, {{"error", title}, {"message", message}}};
}

}  // namespace corvane::apps
