// A direct reader for the JSON that tokens and key sets are made of, which
// parse_json() tries before the general parser: the general parser's lexer
// costs more than the rest of a token's checks together.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>

#include "corvane/util/json.hpp"

namespace corvane::detail {

// Reads `text` into `out` and returns true when it is a document of the
// common kind: no "\u" escapes, no duplicate member names, integers of at
// most 18 digits, floats that convert exactly, nesting of at most 64 levels.
// Gives then exactly what the general parser gives. Returns false for
// anything else, valid or not; `out` is then unspecified and the general
// parser must decide.
bool read_common_json(std::string_view text, Json& out);

// Adds members to one object while it is read. The ordered map finds a name
// by scanning its members, which makes an object of n members cost n^2
// comparisons; past a few members the names are found through a hash set of
// member positions instead. The object must outlive this and grow only
// through it.
class MemberIndex {
 public:
  explicit MemberIndex(Json::object_t& members)
      : members_(members), positions_(0, Hash{&members}, Same{&members}) {}
  MemberIndex(const MemberIndex&) = delete;
  MemberIndex& operator=(const MemberIndex&) = delete;

  // The value of member `name`: a new null member at the end when the
  // object lacks the name (second is then true), else the existing member,
  // which keeps its place.
  std::pair<Json*, bool> add(std::string&& name);

 private:
  static constexpr std::size_t kScanLimit = 8;
  // The ordered map's own operator[] takes a name; positions go to its vector.
  using Members = Json::object_t::Container;
  struct Hash {
    const Members* members;
    std::size_t operator()(std::size_t i) const { return std::hash<std::string_view>{}((*members)[i].first); }
  };
  struct Same {
    const Members* members;
    bool operator()(std::size_t a, std::size_t b) const { return (*members)[a].first == (*members)[b].first; }
  };

  Json::object_t& members_;
  std::unordered_set<std::size_t, Hash, Same> positions_;  // empty while the scan is cheap
};

}  // namespace corvane::detail
