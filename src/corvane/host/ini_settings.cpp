#include "corvane/host/ini_settings.hpp"

#include <ini.h>

#include <algorithm>
#include <filesystem>

#include "corvane/util/errors.hpp"
#include "corvane/util/file.hpp"

namespace corvane::host {

Json IniSettings::get(std::string_view key, const Json& fallback) const {
  auto it = values_.find(key);
  return it == values_.end() ? fallback : Json(it->second);
}

namespace {

struct ParseState {
  const std::string* section;
  std::string here;
  std::map<std::string, std::string, std::less<>> values;
};

std::string substitute_here(std::string value, const std::string& here) {
  static constexpr std::string_view kHere = "%(here)s";
  for (auto at = value.find(kHere); at != std::string::npos; at = value.find(kHere, at + here.size())) {
    value.replace(at, kHere.size(), here);
  }
  return value;
}

int on_entry(void* user, const char* section, const char* name, const char* value) {
  auto* state = static_cast<ParseState*>(user);
  if (*state->section == section && name != nullptr) {
    state->values[name] = substitute_here(value ? value : "", state->here);
  }
  return 1;
}

}  // namespace

IniSettings IniSettings::from_file(const std::string& path, const std::string& section) {
  std::string text = read_text_file(path);
  // The parser reads a C string: a NUL would silently end the file there.
  if (const auto nul = text.find('\0'); nul != std::string::npos) {
    const auto line = 1 + std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(nul), '\n');
    throw ValueError(path + ":" + std::to_string(line) + ": NUL byte in the ini file");
  }
  std::filesystem::path folder = std::filesystem::absolute(path).parent_path();
  ParseState state{&section, folder.string(), {}};
  int line = ini_parse_string(text.c_str(), on_entry, &state);
  if (line != 0) throw ValueError(path + ":" + std::to_string(line) + ": malformed ini line");
  return IniSettings(std::move(state.values));
}

}  // namespace corvane::host
