// parse_json must accept and refuse what the general parser does, and give
// the same document. The in-place member reader must accept exactly what
// parse_json accepts (refusing with its message), read the same members
// (the last of repeated ones) with the same kinds and values, and fall back
// on parse_json only for the few documents named below.
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "corvane/util/errors.hpp"
#include "corvane/util/json.hpp"
#include "corvane/util/json_members.hpp"

namespace {

bool same(const corvane::JsonMember& a, const corvane::JsonMember& b) {
  return a.kind == b.kind && a.boolean == b.boolean && a.number == b.number && a.text == b.text && a.size == b.size &&
         a.all_strings == b.all_strings && a.first_text == b.first_text;
}

// Whether an exponent of more than 18 digits appears.
bool has_long_exponent(const std::string& text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != 'e' && text[i] != 'E') continue;
    std::size_t j = i + 1;
    if (j < text.size() && (text[j] == '+' || text[j] == '-')) ++j;
    std::size_t digits = 0;
    while (j + digits < text.size() && text[j + digits] >= '0' && text[j + digits] <= '9') ++digits;
    if (digits > 18) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  constexpr std::size_t kDepth = 64;
  {
    corvane::Json full, built;
    bool full_refused = false, built_refused = false;
    try {
      full = corvane::Json::parse(text);
    } catch (const corvane::Json::exception&) {
      full_refused = true;
    }
    try {
      built = corvane::parse_json(text, std::numeric_limits<std::size_t>::max());
    } catch (const corvane::JSONDecodeError&) {
      built_refused = true;
    }
    if (full_refused != built_refused) __builtin_trap();
    if (!full_refused && (built != full || built.dump() != full.dump())) __builtin_trap();
  }

  corvane::Json document;
  std::string refusal;
  try {
    document = corvane::parse_json(text, kDepth);
  } catch (const corvane::JSONDecodeError& e) {
    refusal = e.what();
  }
  // The document's own first and last names, and some it may hold.
  std::vector<std::string> owned = {"alg", "kid", "crit", "sub", "a", ""};
  if (document.is_object() && !document.empty()) {
    owned.push_back(document.items().begin().key());
    owned.push_back(document.get_ref<const corvane::Json::object_t&>().back().first);
  }
  std::vector<std::string_view> names(owned.begin(), owned.end());
  std::vector<corvane::JsonMember> members(names.size());

  static corvane::JsonMemberReader reader(kDepth);
  corvane::JsonKind kind;
  try {
    kind = reader.read(text, names, members);
  } catch (const corvane::JSONDecodeError& e) {
    if (refusal != e.what()) __builtin_trap();  // refused what parse_json accepts, or with another message
    return 0;
  }
  if (!refusal.empty()) __builtin_trap();  // accepted what parse_json refuses
  // The general parser skips a byte order mark, ends the document at a NUL
  // byte between tokens, and reads exponents of any length; the in-place
  // reader leaves these to it.
  if (reader.fell_back() && text.rfind("\xef\xbb\xbf", 0) != 0 && text.find('\0') == std::string::npos &&
      !has_long_exponent(text)) {
    __builtin_trap();
  }
  if (kind != corvane::describe(document).kind) __builtin_trap();
  for (std::size_t i = 0; i < names.size(); ++i) {
    auto it = document.is_object() ? document.find(names[i]) : document.end();
    const corvane::JsonMember expected = it == document.end() ? corvane::JsonMember{} : corvane::describe(*it);
    if (!same(members[i], expected)) __builtin_trap();
  }
  return 0;
}
