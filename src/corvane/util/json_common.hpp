// A direct reader for the JSON that tokens and key sets are made of, which
// parse_json() tries before the general parser: the general parser's lexer
// costs more than the rest of a token's checks together.
#pragma once

#include <string_view>

#include "corvane/util/json.hpp"

namespace corvane::detail {

// Reads `text` into `out` and returns true when it is a document of the
// common kind: no "\u" escapes, no duplicate member names, integers of at
// most 18 digits, floats that convert exactly, nesting of at most 64 levels.
// Gives then exactly what the general parser gives. Returns false for
// anything else, valid or not; `out` is then unspecified and the general
// parser must decide.
bool read_common_json(std::string_view text, Json& out);

}  // namespace corvane::detail
