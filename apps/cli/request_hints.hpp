// Words for a person about why a request was not authenticated. The policy's
// own records stay as they are; these only explain them in the tool's output.
#pragma once

#include <string>
#include <string_view>

namespace corvane::apps {

// Which rule of the bearer header `value` breaks: the scheme word, the one
// blank, the standard base64 alphabet and its padding, ASCII once decoded.
// "" when the value keeps them all.
std::string bearer_problem(std::string_view value);

}  // namespace corvane::apps
