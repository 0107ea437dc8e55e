// Reading chosen members of a JSON document in place. The request path reads
// a token's header and claims this way: the whole document is validated as
// parse_json() validates it, but no tree is built and nothing is allocated
// once a thread's reader has seen a document of that size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "corvane/util/json.hpp"

namespace corvane {

// The kinds of JSON value, integers and floats apart as parse_json() tells
// them (an integer too large for 64 bits is a float there).
enum class JsonKind : std::uint8_t { absent, null, boolean, integer, floating, string, array, object };

// "NoneType", "bool", "int", "float", "str", "list" or "dict".
const char* python_type_name(JsonKind kind) noexcept;

// One value as read: its kind and, by kind, what the policy asks of it.
// Views point into the reader (or the document) that gave them.
struct JsonMember {
  JsonKind kind = JsonKind::absent;
  bool boolean = false;
  double number = 0;      // an integer's or a float's value, as a double
  std::string_view text;  // a string's value
  // An array's size, whether all its elements are strings, and the first
  // element's text when it is one.
  std::size_t size = 0;
  bool all_strings = true;
  std::string_view first_text;
};

// The same description of a value parse_json() gave; views into `value`.
JsonMember describe(const Json& value) noexcept;

class JsonMemberReader {
 public:
  // Documents nested deeper than `max_depth` are refused, as parse_json()
  // refuses them.
  explicit JsonMemberReader(std::size_t max_depth);
  ~JsonMemberReader();
  JsonMemberReader(const JsonMemberReader&) = delete;
  JsonMemberReader& operator=(const JsonMemberReader&) = delete;

  // Reads `text` and returns the kind of its root. When the root is an
  // object, `members[i]` describes its member `names[i]` (the last of
  // repeated members, as parse_json() keeps; absent when missing). Whatever
  // parse_json(text, max_depth) refuses is refused with its very
  // JSONDecodeError. The views given stay valid until the next read.
  JsonKind read(std::string_view text, std::span<const std::string_view> names, std::span<JsonMember> members);

  // Whether the last read fell back on parse_json(): the in-place reader
  // refused a document the general parser accepts.
  bool fell_back() const noexcept;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace corvane
