#include "corvane/host/users.hpp"

#include <limits>

#include "corvane/util/errors.hpp"

namespace corvane::host {

Users::Value Users::Column::at(std::size_t index) const {
  if (index >= cells_->size()) return {};
  const Cell& cell = (*cells_)[index];
  Value value;
  value.kind = cell.kind;
  if (cell.kind == Value::Kind::absent) return value;
  if (cell.kind == Value::Kind::text) value.text = std::string_view(arena_->data() + cell.offset, cell.length);
  return value;
}

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
      if (data.arena.size() + text.size() > std::numeric_limits<std::uint32_t>::max()) {
        throw ValueError("users configuration too large");
      }
      cell = {static_cast<std::uint32_t>(data.arena.size()), static_cast<std::uint32_t>(text.size()),
              Value::Kind::text};
      data.arena.append(text);
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
