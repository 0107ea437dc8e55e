// The direct reader of common JSON documents must agree with the full
// parser on every document it accepts: same values, types and member order.
// parse_json, whose own builder finds members through a hash table, must
// accept and refuse what the full parser does, and give the same document.
#include <cstdint>
#include <limits>
#include <string>

#include "corvane/util/errors.hpp"
#include "corvane/util/json.hpp"
#include "corvane/util/json_common.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
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
  corvane::Json fast;
  if (!corvane::detail::read_common_json(text, fast)) return 0;
  corvane::Json full;
  try {
    full = corvane::Json::parse(text);
  } catch (const corvane::Json::exception&) {
    __builtin_trap();  // accepted what the full parser refuses
  }
  if (fast != full || fast.dump() != full.dump()) __builtin_trap();
  return 0;
}
