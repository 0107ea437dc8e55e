#include "corvane/host/request.hpp"

#include <strings.h>

#include "corvane/host/log_context.hpp"
#include "corvane/util/errors.hpp"

namespace corvane::host {

void TextMapping::add(std::string name, std::string value) {
  if (view_) {  // from now on a mapping of its own
    own_ = *view_;
    view_ = nullptr;
  }
  own_.emplace_back(std::move(name), std::move(value));
}

std::optional<std::string_view> TextMapping::get(std::string_view name) const {
  const Entries& all = entries();
  for (auto it = all.rbegin(); it != all.rend(); ++it) {
    const std::string& key = it->first;
    bool same = key.size() == name.size() &&
                (case_insensitive_ ? ::strncasecmp(key.data(), name.data(), name.size()) == 0
                                   : key == name);
    if (same) return std::string_view(it->second);
  }
  return std::nullopt;
}

std::optional<std::string_view> Request::header(std::string_view name,
                                                std::optional<std::string_view> fallback) const {
  auto value = headers().get(name);
  return value ? value : fallback;
}

std::optional<std::string_view> Request::query_parameter(std::string_view name) const { return GET().get(name); }

void Request::set_log_context(std::string_view key, std::string_view value) {
  Json& context = current_thread_log_context();
  if (auto it = context.find(key); it != context.end() && it->is_string()) {
    it->get_ref<std::string&>().assign(value);  // keeps the text's capacity
    return;
  }
  context[std::string(key)] = std::string(value);
}

std::string_view format_or_default(const std::optional<std::string>& format, const Json& default_extension) {
  if (format) return *format;
  if (!default_extension.is_string()) {
    throw TypeError(std::string("default extension must be text, not ") + type_name(default_extension));
  }
  return default_extension.get_ref<const std::string&>();
}

}  // namespace corvane::host
