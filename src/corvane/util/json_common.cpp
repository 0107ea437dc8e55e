#include "corvane/util/json_common.hpp"

#include <charconv>
#include <cstdint>
#include <string>

#include "corvane/util/utf8.hpp"

namespace corvane::detail {
namespace {

constexpr int kMaxDepth = 64;

class Reader {
 public:
  explicit Reader(std::string_view text) : p_(text.data()), end_(text.data() + text.size()) {}

  bool document(Json& out) {
    skip_space();
    if (!value(out, 0)) return false;
    skip_space();
    return p_ == end_;
  }

 private:
  // The general parser's white space.
  void skip_space() {
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
  }

  bool value(Json& out, int depth) {
    if (p_ == end_) return false;
    switch (*p_) {
      case '{': return object(out, depth + 1);
      case '[': return array(out, depth + 1);
      case '"': {
        std::string text;
        if (!string(text)) return false;
        out = std::move(text);
        return true;
      }
      case 't': return literal("true", out, Json(true));
      case 'f': return literal("false", out, Json(false));
      case 'n': return literal("null", out, Json(nullptr));
      default: return number(out);
    }
  }

  bool literal(std::string_view word, Json& out, Json value) {
    if (static_cast<std::size_t>(end_ - p_) < word.size() || std::string_view(p_, word.size()) != word) return false;
    p_ += word.size();
    out = std::move(value);
    return true;
  }

  bool object(Json& out, int depth) {
    if (depth > kMaxDepth) return false;
    ++p_;
    out = Json(Json::value_t::object);
    auto& members = out.get_ref<Json::object_t&>();
    // A token's claims: one allocation instead of five while the members
    // arrive. Nested objects are left to grow, as a large document has many.
    if (depth == 1) members.reserve(16);
    MemberIndex index(members);
    skip_space();
    if (p_ < end_ && *p_ == '}') {
      ++p_;
      return true;
    }
    for (;;) {
      if (p_ == end_ || *p_ != '"') return false;
      std::string name;
      if (!string(name)) return false;
      skip_space();
      if (p_ == end_ || *p_ != ':') return false;
      ++p_;
      skip_space();
      Json member;
      if (!value(member, depth)) return false;
      // A repeated name: which value and place win is the general parser's call.
      const auto [slot, added] = index.add(std::move(name));
      if (!added) return false;
      *slot = std::move(member);
      skip_space();
      if (p_ == end_) return false;
      if (*p_ == '}') {
        ++p_;
        return true;
      }
      if (*p_ != ',') return false;
      ++p_;
      skip_space();
    }
  }

  bool array(Json& out, int depth) {
    if (depth > kMaxDepth) return false;
    ++p_;
    out = Json(Json::value_t::array);
    auto& elements = out.get_ref<Json::array_t&>();
    skip_space();
    if (p_ < end_ && *p_ == ']') {
      ++p_;
      return true;
    }
    for (;;) {
      elements.emplace_back();
      if (!value(elements.back(), depth)) return false;
      skip_space();
      if (p_ == end_) return false;
      if (*p_ == ']') {
        ++p_;
        return true;
      }
      if (*p_ != ',') return false;
      ++p_;
      skip_space();
    }
  }

  // A string with the short escapes; "\u" is left to the general parser.
  // Escapes only ever yield ASCII, so checking the decoded bytes for UTF-8
  // judges the same sequences the general parser judges in the source.
  bool string(std::string& out) {
    ++p_;
    bool ascii = true;
    const char* run = p_;
    for (;;) {
      if (p_ == end_) return false;
      const auto c = static_cast<unsigned char>(*p_);
      if (c == '"') break;
      if (c < 0x20) return false;
      if (c >= 0x80) ascii = false;
      if (c != '\\') {
        ++p_;
        continue;
      }
      out.append(run, p_);
      if (end_ - p_ < 2) return false;
      char decoded;
      switch (p_[1]) {
        case '"': decoded = '"'; break;
        case '\\': decoded = '\\'; break;
        case '/': decoded = '/'; break;
        case 'b': decoded = '\b'; break;
        case 'f': decoded = '\f'; break;
        case 'n': decoded = '\n'; break;
        case 'r': decoded = '\r'; break;
        case 't': decoded = '\t'; break;
        default: return false;
      }
      out.push_back(decoded);
      p_ += 2;
      run = p_;
    }
    out.append(run, p_);
    ++p_;
    return ascii || is_valid_utf8(out);
  }

  static bool is_digit(char c) { return c >= '0' && c <= '9'; }

  // The general parser's number grammar. A non-negative integer is unsigned
  // there, a negative one signed; floats convert to the nearest double, as
  // from_chars does too.
  bool number(Json& out) {
    const char* start = p_;
    const bool negative = *p_ == '-';
    if (negative) ++p_;
    if (p_ == end_ || !is_digit(*p_)) return false;
    if (*p_ == '0') {
      ++p_;
      if (p_ < end_ && is_digit(*p_)) return false;
    } else {
      while (p_ < end_ && is_digit(*p_)) ++p_;
    }
    const char* integer_end = p_;
    bool is_float = false;
    if (p_ < end_ && *p_ == '.') {
      ++p_;
      if (p_ == end_ || !is_digit(*p_)) return false;
      while (p_ < end_ && is_digit(*p_)) ++p_;
      is_float = true;
    }
    if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
      ++p_;
      if (p_ < end_ && (*p_ == '+' || *p_ == '-')) ++p_;
      if (p_ == end_ || !is_digit(*p_)) return false;
      while (p_ < end_ && is_digit(*p_)) ++p_;
      is_float = true;
    }
    if (is_float) {
      double value = 0;
      const auto [end, error] = std::from_chars(start, p_, value);
      if (error != std::errc() || end != p_) return false;  // out of range: the general parser's rules
      out = value;
      return true;
    }
    const char* digits = start + (negative ? 1 : 0);
    if (integer_end - digits > 18) return false;  // may overflow: the general parser's rules
    std::uint64_t magnitude = 0;
    for (const char* d = digits; d < integer_end; ++d) magnitude = magnitude * 10 + static_cast<unsigned>(*d - '0');
    if (negative) {
      out = -static_cast<std::int64_t>(magnitude);
    } else {
      out = magnitude;
    }
    return true;
  }

  const char* p_;
  const char* end_;
};

}  // namespace

std::pair<Json*, bool> MemberIndex::add(std::string&& name) {
  using Vector = Json::object_t::Container;
  auto& members = static_cast<Vector&>(members_);
  if (positions_.empty()) {
    for (auto& member : members) {
      if (member.first == name) return {&member.second, false};
    }
    members.emplace_back(std::move(name), nullptr);
    if (members.size() > kScanLimit) {
      positions_.reserve(2 * members.size());
      for (std::size_t i = 0; i < members.size(); ++i) positions_.insert(i);
    }
    return {&members.back().second, true};
  }
  // The name is compared in place: appended first, withdrawn if present.
  members.emplace_back(std::move(name), nullptr);
  const auto [at, added] = positions_.insert(members.size() - 1);
  if (!added) {
    members.pop_back();
    return {&members[*at].second, false};
  }
  return {&members.back().second, true};
}

bool read_common_json(std::string_view text, Json& out) { return Reader(text).document(out); }

}  // namespace corvane::detail
