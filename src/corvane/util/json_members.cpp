#include "corvane/util/json_members.hpp"

#include <simdjson.h>

#include <algorithm>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <string>

#include "corvane/util/errors.hpp"

namespace corvane {
namespace {

namespace od = simdjson::ondemand;
using simdjson::error_code;

// Room for a token's header and claims before the parser must grow.
constexpr std::size_t kInitialCapacity = 4096;

// A number's text without the blanks the raw token keeps after it.
std::string_view trimmed_number(std::string_view lexeme) {
  while (!lexeme.empty() && (lexeme.back() == ' ' || lexeme.back() == '\t' || lexeme.back() == '\n' ||
                             lexeme.back() == '\r')) {
    lexeme.remove_suffix(1);
  }
  return lexeme;
}

// simdjson 3.0 misreads some numbers of more than 19 significant digits
// (0.95000000000000000000 comes out as 0.0277), so a number that long is
// read again by the C library, in the C locale whatever the host set.
double long_number(std::string_view lexeme) {
  static const locale_t c_numeric = newlocale(LC_NUMERIC_MASK, "C", locale_t{});
  const std::string text(lexeme);
  return strtod_l(text.c_str(), nullptr, c_numeric);
}

// A number's kind as the general parser settles it: an integer when it has
// neither fraction nor exponent and fits 64 bits (signed when negative),
// else a float.
JsonKind number_kind(std::string_view lexeme) {
  if (lexeme.find_first_of(".eE") != std::string_view::npos) return JsonKind::floating;
  const char* end = lexeme.data() + lexeme.size();
  std::errc error;
  if (!lexeme.empty() && lexeme.front() == '-') {
    std::int64_t value;
    error = std::from_chars(lexeme.data(), end, value).ec;
  } else {
    std::uint64_t value;
    error = std::from_chars(lexeme.data(), end, value).ec;
  }
  return error == std::errc() ? JsonKind::integer : JsonKind::floating;
}

// Walks a value whole, validating every scalar: the in-place parser checks
// only what it is asked for, and a document must be refused whatever part of
// it is malformed. The depth is bounded, so is the recursion.
class Walker {
 public:
  explicit Walker(std::size_t max_depth) : max_depth_(max_depth) {}

  // `open`: the containers around the value.
  template <class Value>
  error_code value(Value& v, std::size_t open, JsonMember& out) {
    od::json_type type;
    if (auto e = v.type().get(type)) return e;
    switch (type) {
      case od::json_type::object: {
        od::object object;
        if (auto e = v.get_object().get(object)) return e;
        return members(object, open, {}, {}, out);
      }
      case od::json_type::array: {
        if (open >= max_depth_) return simdjson::DEPTH_ERROR;
        od::array array;
        if (auto e = v.get_array().get(array)) return e;
        out.kind = JsonKind::array;
        for (auto element : array) {
          od::value inner;
          if (auto e = element.get(inner)) return e;
          JsonMember item;
          if (auto e = value(inner, open + 1, item)) return e;
          if (item.kind != JsonKind::string) {
            out.all_strings = false;
          } else if (out.size == 0) {
            out.first_text = item.text;
          }
          ++out.size;
        }
        return simdjson::SUCCESS;
      }
      case od::json_type::string:
        out.kind = JsonKind::string;
        return v.get_string().get(out.text);
      case od::json_type::number: {
        std::string_view lexeme;
        if (auto e = raw_token(v).get(lexeme)) return e;
        if (auto e = v.get_double().get(out.number)) return e;
        lexeme = trimmed_number(lexeme);
        if (lexeme.size() > 19) out.number = long_number(lexeme);
        if (!std::isfinite(out.number)) return simdjson::NUMBER_ERROR;
        out.kind = number_kind(lexeme);
        return simdjson::SUCCESS;
      }
      case od::json_type::boolean:
        out.kind = JsonKind::boolean;
        return v.get_bool().get(out.boolean);
      case od::json_type::null: {
        bool null = false;
        if (auto e = v.is_null().get(null)) return e;
        out.kind = JsonKind::null;
        return null ? simdjson::SUCCESS : simdjson::N_ATOM_ERROR;
      }
    }
    return simdjson::TAPE_ERROR;
  }

  // An object's members; those named in `names` are described in `found`.
  error_code members(od::object& object, std::size_t open, std::span<const std::string_view> names,
                     std::span<JsonMember> found, JsonMember& out) {
    if (open >= max_depth_) return simdjson::DEPTH_ERROR;
    out.kind = JsonKind::object;
    for (auto field : object) {
      std::string_view key;
      if (auto e = field.unescaped_key().get(key)) return e;
      od::value inner;
      if (auto e = field.value().get(inner)) return e;
      JsonMember member;
      if (auto e = value(inner, open + 1, member)) return e;
      // A repeated name: the last value wins, as in the general parser.
      for (std::size_t i = 0; i < names.size(); ++i) {
        if (names[i] == key) found[i] = member;
      }
    }
    return simdjson::SUCCESS;
  }

 private:
  static simdjson::simdjson_result<std::string_view> raw_token(od::value& v) { return v.raw_json_token(); }
  static simdjson::simdjson_result<std::string_view> raw_token(od::document& d) { return d.raw_json_token(); }

  std::size_t max_depth_;
};

}  // namespace

const char* python_type_name(JsonKind kind) noexcept {
  switch (kind) {
    case JsonKind::absent:
    case JsonKind::null: return "NoneType";
    case JsonKind::boolean: return "bool";
    case JsonKind::integer: return "int";
    case JsonKind::floating: return "float";
    case JsonKind::string: return "str";
    case JsonKind::array: return "list";
    case JsonKind::object: return "dict";
  }
  return "NoneType";
}

JsonMember describe(const Json& value) noexcept {
  JsonMember out;
  switch (value.type()) {
    case Json::value_t::null: out.kind = JsonKind::null; break;
    case Json::value_t::boolean:
      out.kind = JsonKind::boolean;
      out.boolean = value.get<bool>();
      break;
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
      out.kind = JsonKind::integer;
      out.number = value.get<double>();
      break;
    case Json::value_t::number_float:
      out.kind = JsonKind::floating;
      out.number = value.get<double>();
      break;
    case Json::value_t::string:
      out.kind = JsonKind::string;
      out.text = value.get_ref<const std::string&>();
      break;
    case Json::value_t::array:
      out.kind = JsonKind::array;
      out.size = value.size();
      for (const Json& element : value) out.all_strings = out.all_strings && element.is_string();
      if (!value.empty() && value.front().is_string()) out.first_text = value.front().get_ref<const std::string&>();
      break;
    case Json::value_t::object: out.kind = JsonKind::object; break;
    case Json::value_t::binary:
    case Json::value_t::discarded: break;
  }
  return out;
}

struct JsonMemberReader::State {
  explicit State(std::size_t depth) : max_depth(depth) {
    if (parser.allocate(kInitialCapacity) != simdjson::SUCCESS) throw std::bad_alloc();
  }

  error_code read(std::string_view text, std::span<const std::string_view> names, std::span<JsonMember> found,
                  JsonMember& root) {
    // The parser reads up to a fixed padding past the text; the copy gives
    // it that room in a buffer that keeps its size from token to token.
    buffer.assign(text);
    buffer.append(simdjson::SIMDJSON_PADDING, ' ');
    od::document document;
    if (auto e = parser.iterate(buffer.data(), text.size(), buffer.size()).get(document)) return e;
    Walker walker(max_depth);
    od::json_type type;
    if (auto e = document.type().get(type)) return e;
    if (type == od::json_type::object) {
      od::object object;
      if (auto e = document.get_object().get(object)) return e;
      if (auto e = walker.members(object, 0, names, found, root)) return e;
    } else if (auto e = walker.value(document, 0, root)) {
      return e;
    }
    // Anything after the root value is refused.
    const char* rest = nullptr;
    const error_code at_end = document.current_location().get(rest);
    return at_end == simdjson::OUT_OF_BOUNDS ? simdjson::SUCCESS
           : at_end == simdjson::SUCCESS     ? simdjson::TRAILING_CONTENT
                                             : at_end;
  }

  od::parser parser;
  std::string buffer;
  std::size_t max_depth;
  std::optional<Json> fallback;  // the general parser's reading, when the in-place one refused
};

JsonMemberReader::JsonMemberReader(std::size_t max_depth) : state_(std::make_unique<State>(max_depth)) {}
JsonMemberReader::~JsonMemberReader() = default;

bool JsonMemberReader::fell_back() const noexcept { return state_->fallback.has_value(); }

JsonKind JsonMemberReader::read(std::string_view text, std::span<const std::string_view> names,
                                std::span<JsonMember> members) {
  state_->fallback.reset();
  names = names.first(std::min(names.size(), members.size()));
  for (JsonMember& member : members) member = JsonMember{};
  JsonMember root;
  if (state_->read(text, names, members, root) == simdjson::SUCCESS) return root.kind;

  // Refused here: the general parser decides, and its message is the one
  // callers know. Should it accept, its reading is the answer.
  for (JsonMember& member : members) member = JsonMember{};
  Json& document = state_->fallback.emplace(parse_json(text, state_->max_depth));
  if (document.is_object()) {
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (auto it = document.find(names[i]); it != document.end()) members[i] = describe(*it);
    }
  }
  return describe(document).kind;
}

}  // namespace corvane
