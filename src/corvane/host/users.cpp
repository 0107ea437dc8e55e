#include "corvane/host/users.hpp"

#include <limits>

#include "corvane/util/errors.hpp"
#include "corvane/util/unicode.hpp"

namespace corvane::host {

namespace {

constexpr std::size_t kArenaLimit = std::numeric_limits<std::uint32_t>::max();

}  // namespace

Users Users::from_json(const Json& users) {
  if (!users.is_object()) throw TypeError(std::string("users must be a mapping, not ") + type_name(users));
  Users result;
  for (const auto& [user_id, attributes] : users.items()) result.add(user_id, attributes);
  return result;
}

void Users::add(std::string user_id, Json attributes) {
  if (!attributes.is_object()) {
    throw TypeError("user record '" + user_id + "' must be a mapping, not " + type_name(attributes));
  }
  if (index_.count(user_id)) throw ValueError("user id '" + user_id + "' given twice");
  const std::size_t row = ids_.size();
  for (const auto& [name, value] : attributes.items()) {
    auto [it, created] = columns_.try_emplace(name);
    auto& data = it->second;
    if (created) data.cells.resize(row, {0, 0, Value::Kind::absent});
    Column::Cell cell{0, 0, Value::Kind::other};
    if (value.is_string()) {
      const auto& text = value.get_ref<const std::string&>();
      std::string form;
      bool form_made = true;
      try {
        form = comparison_form(text);
      } catch (const UnicodeDecodeError&) {
        form_made = false;  // left to the walk, which meets the same failure where it always did
      }
      const bool own_form = form_made && form != text;
      if (data.arena.size() + text.size() > kArenaLimit ||
          (own_form && data.forms.size() + form.size() > kArenaLimit)) {
        throw ValueError("users configuration too large");
      }
      cell = {static_cast<std::uint32_t>(data.arena.size()), static_cast<std::uint32_t>(text.size()),
              Value::Kind::text};
      data.arena.append(text);
      if (!form_made) {
        cell.form = Column::Cell::Form::missing;
      } else if (own_form) {
        cell.form = Column::Cell::Form::own;
        cell.form_offset = static_cast<std::uint32_t>(data.forms.size());
        cell.form_length = static_cast<std::uint32_t>(form.size());
        data.forms.append(form);
      }
      if (form_made) cell.form_hash = form_hash_of(form);
    }
    data.cells.push_back(cell);
  }
  for (auto& [name, data] : columns_) {
    if (data.cells.size() == row) data.cells.push_back({0, 0, Value::Kind::absent});
  }
  index_.emplace(user_id, row);
  ids_.push_back(std::move(user_id));
  records_.push_back(std::move(attributes));
}

std::optional<std::size_t> Users::find(std::string_view user_id) const {
  auto it = index_.find(user_id);
  if (it == index_.end()) return std::nullopt;
  return it->second;
}

const Json& Users::attribute(std::size_t index, std::string_view name) const {
  const Json& record = records_.at(index);
  auto it = record.find(name);
  if (it == record.end()) throw AttributeError("'User' object has no attribute '" + std::string(name) + "'");
  return *it;
}

Users::Column Users::column(std::string_view name) const {
  auto it = columns_.find(name);
  if (it == columns_.end()) return Column(&absent_column_);
  return Column(&it->second);
}

}  // namespace corvane::host
