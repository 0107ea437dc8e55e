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
  if (ids_.size() >= kArenaLimit) throw ValueError("users configuration too large");
  const auto row = static_cast<std::uint32_t>(ids_.size());
  for (const auto& [name, value] : attributes.items()) {
    Column& column = columns_[name];
    Cell cell{row};
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
      if (column.arena.size() + text.size() > kArenaLimit ||
          (own_form && column.forms.size() + form.size() > kArenaLimit)) {
        throw ValueError("users configuration too large");
      }
      cell.text = true;
      cell.offset = static_cast<std::uint32_t>(column.arena.size());
      cell.length = static_cast<std::uint32_t>(text.size());
      column.arena.append(text);
      if (!form_made) {
        cell.form = Cell::Form::missing;
      } else if (own_form) {
        cell.form = Cell::Form::own;
        cell.form_offset = static_cast<std::uint32_t>(column.forms.size());
        cell.form_length = static_cast<std::uint32_t>(form.size());
        column.forms.append(form);
      }
      if (form_made) cell.form_hash = form_hash_of(form);
    }
    column.cells.push_back(cell);
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

void Users::fail_at(std::size_t row, std::string_view name) const {
  const Json& value = attribute(row, name);  // throws for a missing attribute
  throw AttributeError(std::string("'") + python_type_name(value) + "' object has no attribute 'strip'");
}

UserMatch Users::match(const Json& name, std::string_view form) const {
  UserMatch result;
  if (ids_.empty()) return result;
  if (!name.is_string()) {
    throw TypeError(std::string("attribute name must be string, not '") + python_type_name(name) + "'");
  }
  const std::string& attribute_name = name.get_ref<const std::string&>();
  auto it = columns_.find(attribute_name);
  if (it == columns_.end()) fail_at(0, attribute_name);
  const Column& column = it->second;
  const std::uint32_t hash = form_hash_of(form);
  const std::size_t present = column.cells.size();
  std::size_t first = 0;
  for (std::size_t i = 0; i < present; ++i) {
    const Cell& cell = column.cells[i];
    // Cells are in row order, one per row at most: a gap is a record
    // without the attribute, and it comes first in the walk.
    if (cell.row != i || !cell.text) fail_at(i, attribute_name);
    bool same;
    switch (cell.form) {
      case Cell::Form::same:
        same = cell.form_hash == hash && std::string_view(column.arena.data() + cell.offset, cell.length) == form;
        break;
      case Cell::Form::own:
        same = cell.form_hash == hash &&
               std::string_view(column.forms.data() + cell.form_offset, cell.form_length) == form;
        break;
      default:
        same = comparison_form_equals(std::string_view(column.arena.data() + cell.offset, cell.length), form);
    }
    if (same && result.count++ == 0) first = i;
  }
  if (present < ids_.size()) fail_at(present, attribute_name);
  if (result.count > 2) result.count = 2;
  if (result.count > 0) result.user_id = ids_[first];
  return result;
}

std::size_t Users::column_bytes() const {
  std::size_t bytes = 0;
  for (const auto& [name, column] : columns_) {
    bytes += name.capacity() + column.cells.capacity() * sizeof(Cell) + column.arena.capacity() +
             column.forms.capacity();
  }
  return bytes;
}

}  // namespace corvane::host
