// The URL split never fails except with ValueError, and its parts come from
// the text.
#include <cstdint>
#include <string>

#include "corvane/util/errors.hpp"
#include "corvane/util/url.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  try {
    corvane::UrlParts parts = corvane::url_split(text);
    if (parts.path.size() + parts.netloc.size() + parts.query.size() + parts.fragment.size() > size) {
      __builtin_trap();
    }
  } catch (const corvane::ValueError&) {
  }
  return 0;
}
