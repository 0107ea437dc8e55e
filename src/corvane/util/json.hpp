// JSON-like values: settings, documents and claims are ordered JSON (member
// order is meaningful in settings).
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

namespace corvane {

using Json = nlohmann::ordered_json;

// Truthiness: null, false, 0, "", [] and {} are false; everything else is true.
bool truthy(const Json& value) noexcept;

// Look-up with a default: an absent key (or a value that is not a mapping)
// gives `fallback`. A present key with a null value gives that null.
const Json& get_or(const Json& mapping, std::string_view key, const Json& fallback);
// Look-up with null as the default.
const Json& get_or_null(const Json& mapping, std::string_view key);

// Strict look-up: an absent key is KeyError; a value that is not a mapping is
// TypeError.
const Json& strict_get(const Json& mapping, std::string_view key);
Json& strict_get(Json& mapping, std::string_view key);

// Whether `mapping` is an object holding `key`.
bool has_key(const Json& mapping, std::string_view key);

// The text form of a value: a string as it stands, null as "None", booleans
// as "True"/"False", anything else as its JSON dump. Invalid UTF-8 is
// replaced rather than thrown.
std::string to_text(const Json& value);

// The JSON dump of a value, never throwing on invalid UTF-8.
std::string dump(const Json& value);

// Parses JSON text; a failure is JSONDecodeError with the parser's message.
// Nesting deeper than `max_depth` is refused, so hostile input cannot exhaust
// the stack.
Json parse_json(std::string_view text, std::size_t max_depth = 512);

// A short name of the value's type, for error messages ("dict", "list",
// "str", "int", "null", ...); python_type_name says "NoneType" for null.
const char* type_name(const Json& value) noexcept;
const char* python_type_name(const Json& value) noexcept;

}  // namespace corvane
