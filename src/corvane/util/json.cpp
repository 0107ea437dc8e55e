#include "corvane/util/json.hpp"

#include "corvane/util/errors.hpp"
#include "corvane/util/json_common.hpp"

namespace corvane {

bool truthy(const Json& value) noexcept {
  switch (value.type()) {
    case Json::value_t::null:
    case Json::value_t::discarded:
      return false;
    case Json::value_t::boolean:
      return value.get<bool>();
    case Json::value_t::number_integer:
      return value.get<std::int64_t>() != 0;
    case Json::value_t::number_unsigned:
      return value.get<std::uint64_t>() != 0;
    case Json::value_t::number_float:
      return value.get<double>() != 0.0;
    case Json::value_t::string:
      return !value.get_ref<const std::string&>().empty();
    case Json::value_t::array:
    case Json::value_t::object:
    case Json::value_t::binary:
      return !value.empty();
  }
  return false;
}

static const Json& null_json() {
  static const Json null_value;
  return null_value;
}

const Json& get_or(const Json& mapping, std::string_view key, const Json& fallback) {
  if (!mapping.is_object()) return fallback;
  auto it = mapping.find(key);
  return it == mapping.end() ? fallback : *it;
}

const Json& get_or_null(const Json& mapping, std::string_view key) {
  return get_or(mapping, key, null_json());
}

const Json& strict_get(const Json& mapping, std::string_view key) {
  if (!mapping.is_object()) {
    throw TypeError(std::string(type_name(mapping)) + " indices must be integers, not str");
  }
  auto it = mapping.find(key);
  if (it == mapping.end()) throw KeyError(key);
  return *it;
}

Json& strict_get(Json& mapping, std::string_view key) {
  return const_cast<Json&>(strict_get(static_cast<const Json&>(mapping), key));
}

bool has_key(const Json& mapping, std::string_view key) {
  return mapping.is_object() && mapping.find(key) != mapping.end();
}

std::string dump(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string to_text(const Json& value) {
  switch (value.type()) {
    case Json::value_t::string: return value.get<std::string>();
    case Json::value_t::null: return "None";
    case Json::value_t::boolean: return value.get<bool>() ? "True" : "False";
    default: return dump(value);
  }
}

const char* python_type_name(const Json& value) noexcept {
  return value.is_null() ? "NoneType" : type_name(value);
}

namespace {

// The deepest nesting of arrays and objects in `text`, outside strings. A
// linear pre-scan, so that hostile input is refused before the recursive
// parser sees it.
std::size_t nesting_depth(std::string_view text) {
  std::size_t depth = 0, deepest = 0;
  bool in_string = false, escaped = false;
  for (char c : text) {
    if (in_string) {
      if (escaped) escaped = false;
      else if (c == '\\') escaped = true;
      else if (c == '"') in_string = false;
      continue;
    }
    switch (c) {
      case '"': in_string = true; break;
      case '[': case '{': if (++depth > deepest) deepest = depth; break;
      case ']': case '}': if (depth > 0) --depth; break;
      default: break;
    }
  }
  return deepest;
}

}  // namespace

Json parse_json(std::string_view text, std::size_t max_depth) {
  // Every level takes a character, so a text no longer than the limit needs
  // no scan.
  if (text.size() > max_depth && nesting_depth(text) > max_depth) {
    throw JSONDecodeError("nesting deeper than " + std::to_string(max_depth) + " levels");
  }
  if (Json fast; detail::read_common_json(text, fast)) return fast;
  try {
    return Json::parse(text.begin(), text.end());
  } catch (const Json::exception& error) {
    throw JSONDecodeError(error.what());
  }
}

const char* type_name(const Json& value) noexcept {
  switch (value.type()) {
    case Json::value_t::null: return "null";
    case Json::value_t::boolean: return "bool";
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned: return "int";
    case Json::value_t::number_float: return "float";
    case Json::value_t::string: return "str";
    case Json::value_t::array: return "list";
    case Json::value_t::object: return "dict";
    case Json::value_t::binary: return "bytes";
    case Json::value_t::discarded: return "discarded";
  }
  return "unknown";
}

}  // namespace corvane
