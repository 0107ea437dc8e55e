// The reference host's answers: one JSON document per answer, sent as JSON
// or as an HTML page showing it as a table, with links below it.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "corvane/util/json.hpp"
#include "http/http_listener.hpp"

namespace corvane::apps {

struct Reply {
  int status;
  std::string format;  // "json" or "html"
  std::string title;   // of the HTML page
  Json document;       // the JSON body, rendered as a table in HTML
  std::vector<std::pair<std::string, std::string>> links = {};  // text and address, listed in HTML only
  // Text and address of a button that POSTs an empty form there, listed
  // after the links in HTML only.
  std::vector<std::pair<std::string, std::string>> buttons = {};
};

HttpResponse render(const Reply& reply);

// The stylesheet every page links to, and its address.
inline constexpr std::string_view kStylesheetPath = "/style.css";
HttpResponse stylesheet();

// {"error": title, "message": message}, as HTML when format is "html", else JSON.
Reply error_reply(int status, const std::string& format, const std::string& title, const std::string& message);

std::string html_escape(std::string_view text);

// Request data in a log line: control characters, quotes and backslashes
// escaped, so a value cannot forge lines or fields; longer than `limit`
// bytes it is cut and marked.
std::string printable(std::string_view text, std::size_t limit = 200);

}  // namespace corvane::apps
