#include "corvane/util/json.hpp"

#include "corvane/util/errors.hpp"

#include <optional>
#include <unordered_set>
#include <utility>
#include <vector>

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

// Adds members to one object while it is read. The ordered map finds a name
// by scanning its members, which makes an object of n members cost n^2
// comparisons; past a few members the names are found through a hash set of
// member positions instead. The object must outlive this and grow only
// through it.
class MemberIndex {
 public:
  explicit MemberIndex(Json::object_t& members)
      : members_(&members), positions_(0, Hash{&members}, Same{&members}) {}

  // The value of member `name`: a new null member at the end when the
  // object lacks the name, else the existing member, which keeps its place.
  Json* add(std::string&& name) {
    auto& members = static_cast<Members&>(*members_);
    if (positions_.empty()) {
      for (auto& member : members) {
        if (member.first == name) return &member.second;
      }
      members.emplace_back(std::move(name), nullptr);
      if (members.size() > kScanLimit) {
        positions_.reserve(2 * members.size());
        for (std::size_t i = 0; i < members.size(); ++i) positions_.insert(i);
      }
      return &members.back().second;
    }
    // The name is compared in place: appended first, withdrawn if present.
    members.emplace_back(std::move(name), nullptr);
    const auto [at, added] = positions_.insert(members.size() - 1);
    if (!added) {
      members.pop_back();
      return &members[*at].second;
    }
    return &members.back().second;
  }

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

  Json::object_t* members_;
  std::unordered_set<std::size_t, Hash, Same> positions_;  // empty while the scan is cheap
};

// Builds the document as the general parser's own builder does (a repeated
// member keeps its first place and takes the last value), but finds member
// names through a MemberIndex, so that an object costs time linear in its
// size, and refuses nesting deeper than `max_depth` as it meets it. The
// general parser keeps its own stack, so depth never costs the call stack.
class DomBuilder {
 public:
  DomBuilder(Json& root, std::size_t max_depth) : root_(root), max_depth_(max_depth) {}

  bool null() { return value(nullptr); }
  bool boolean(bool v) { return value(v); }
  bool number_integer(Json::number_integer_t v) { return value(v); }
  bool number_unsigned(Json::number_unsigned_t v) { return value(v); }
  bool number_float(Json::number_float_t v, const std::string&) { return value(v); }
  bool string(std::string& v) { return value(std::move(v)); }
  bool binary(Json::binary_t& v) { return value(std::move(v)); }

  bool start_object(std::size_t) {
    deeper();
    Json* object = place(Json(Json::value_t::object));
    open_.push_back({object, MemberIndex(object->get_ref<Json::object_t&>())});
    return true;
  }
  bool key(std::string& name) {
    member_ = open_.back().members->add(std::move(name));
    return true;
  }
  bool end_object() {
    open_.pop_back();
    return true;
  }
  bool start_array(std::size_t) {
    deeper();
    open_.push_back({place(Json(Json::value_t::array)), std::nullopt});
    return true;
  }
  bool end_array() {
    open_.pop_back();
    return true;
  }

  template <class Exception>
  bool parse_error(std::size_t, const std::string&, const Exception& error) {
    throw error;
  }

 private:
  struct Open {
    Json* container;
    std::optional<MemberIndex> members;  // none for an array
  };

  void deeper() const {
    if (open_.size() >= max_depth_) {
      throw JSONDecodeError("nesting deeper than " + std::to_string(max_depth_) + " levels");
    }
  }

  template <class Value>
  bool value(Value&& v) {
    place(Json(std::forward<Value>(v)));
    return true;
  }

  // Where a value goes: the root, the next element of the open array, or
  // the member whose name was read last.
  Json* place(Json&& v) {
    if (open_.empty()) {
      root_ = std::move(v);
      return &root_;
    }
    if (!open_.back().members) {
      auto& elements = open_.back().container->get_ref<Json::array_t&>();
      elements.push_back(std::move(v));
      return &elements.back();
    }
    *member_ = std::move(v);
    return member_;
  }

  Json& root_;
  std::size_t max_depth_;
  std::vector<Open> open_;
  Json* member_ = nullptr;
};

}  // namespace

Json parse_json(std::string_view text, std::size_t max_depth) {
  try {
    Json result;
    DomBuilder builder(result, max_depth);
    Json::sax_parse(text.begin(), text.end(), &builder);
    return result;
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
