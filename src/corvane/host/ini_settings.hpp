// The host's flat ini settings mapping.
#pragma once

#include <map>
#include <string>
#include <string_view>

#include "corvane/util/json.hpp"

namespace corvane::host {

class IniSettings {
 public:
  IniSettings() = default;
  explicit IniSettings(std::map<std::string, std::string, std::less<>> values) : values_(std::move(values)) {}
  IniSettings(std::initializer_list<std::pair<const std::string, std::string>> values) : values_(values) {}

  // The text under `key`, or `fallback` when the key is absent.
  Json get(std::string_view key, const Json& fallback = nullptr) const;
  bool contains(std::string_view key) const { return values_.find(key) != values_.end(); }
  void set(std::string key, std::string value) { values_[std::move(key)] = std::move(value); }
  const std::map<std::string, std::string, std::less<>>& values() const { return values_; }

  // Reads one section of an ini file; "%(here)s" in a value stands for the
  // file's folder. Throws OSError kinds for an unreadable file and ValueError
  // (naming the line) for a malformed one.
  static IniSettings from_file(const std::string& path, const std::string& section = "app:main");

 private:
  std::map<std::string, std::string, std::less<>> values_;
};

}  // namespace corvane::host
