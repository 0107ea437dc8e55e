// The direct reader of common JSON documents must agree with the full
// parser on every document it accepts: same values, types and member order.
#include <cstdint>
#include <string>

#include "corvane/util/json.hpp"
#include "corvane/util/json_common.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
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
