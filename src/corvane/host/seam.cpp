#include "corvane/host/seam.hpp"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>

#include "corvane/util/errors.hpp"

namespace corvane::host {

long Host::asint(const Json& value, long fallback, std::string_view key) const {
  return host::asint(value, fallback, key);
}

const Host& Host::basic() {
  static const Host host;
  return host;
}

long asint(const Json& value, long fallback, std::string_view key) {
  auto invalid = [&] {
    return ValueError("Invalid integer value for " + std::string(key) + ": " + dump(value));
  };
  if (value.is_null()) return fallback;
  if (value.is_number_integer()) {
    if (value.is_number_unsigned() && value.get<std::uint64_t>() > static_cast<std::uint64_t>(LONG_MAX)) {
      throw invalid();
    }
    return value.get<long>();
  }
  if (value.is_number_float()) {
    double number = value.get<double>();
    if (!std::isfinite(number) || number != std::trunc(number) || std::fabs(number) > 9.0e15) throw invalid();
    return static_cast<long>(number);
  }
  if (!value.is_string()) throw invalid();
  const std::string& text = value.get_ref<const std::string&>();
  const char* begin = text.c_str();
  while (*begin == ' ' || *begin == '\t') ++begin;
  char* end = nullptr;
  errno = 0;
  long number = std::strtol(begin, &end, 10);
  if (end == begin || errno == ERANGE) throw invalid();
  while (*end == ' ' || *end == '\t') ++end;
  if (*end != '\0' || static_cast<std::size_t>(end - text.c_str()) != text.size()) throw invalid();
  return number;
}

}  // namespace corvane::host
