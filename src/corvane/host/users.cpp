#include "corvane/host/users.hpp"

#include <algorithm>
#include <limits>
#include <utility>

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

Users Users::from_json(Json&& users) {
  if (!users.is_object()) throw TypeError(std::string("users must be a mapping, not ") + type_name(users));
  Users result;
  for (auto& [user_id, attributes] : users.get_ref<Json::object_t&>()) result.add(user_id, std::move(attributes));
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
    if (column.first_bad == kNone && column.cells.size() != row) {
      column.first_bad = static_cast<std::uint32_t>(column.cells.size());  // that row lacks the name
    }
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
    } else if (column.first_bad == kNone) {
      column.first_bad = row;
    }
    const auto position = static_cast<std::uint32_t>(column.cells.size());
    column.cells.push_back(cell);
    if (cell.text && cell.form == Cell::Form::missing) {
      column.unformed.push_back(position);
    } else if (cell.text) {
      column.enter(position);
    }
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

std::string_view Users::Column::form_of(const Cell& cell) const {
  return cell.form == Cell::Form::own ? std::string_view(forms.data() + cell.form_offset, cell.form_length)
                                      : std::string_view(arena.data() + cell.offset, cell.length);
}

std::size_t Users::Column::slot_for(std::string_view form, std::uint32_t hash) const {
  const std::size_t mask = slots.size() - 1;
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    const std::uint32_t slot = slots[i];
    if (slot == 0) return i;
    const Cell& cell = cells[slot - 1];
    if (cell.form_hash == hash && form_of(cell) == form) return i;
  }
}

const Users::Cell* Users::Column::first_with(std::string_view form, std::uint32_t hash) const {
  if (slots.empty()) return nullptr;
  const std::uint32_t slot = slots[slot_for(form, hash)];
  return slot == 0 ? nullptr : &cells[slot - 1];
}

void Users::Column::enter(std::uint32_t position) {
  // At most half full, so that a probe ends soon.
  if (2 * (entered + 1) > slots.size()) {
    std::vector<std::uint32_t> old =
        std::exchange(slots, std::vector<std::uint32_t>(std::max<std::size_t>(16, 2 * slots.size())));
    for (std::uint32_t slot : old) {
      if (slot != 0) slots[slot_for(form_of(cells[slot - 1]), cells[slot - 1].form_hash)] = slot;
    }
  }
  Cell& cell = cells[position];
  std::uint32_t& slot = slots[slot_for(form_of(cell), cell.form_hash)];
  if (slot == 0) {
    slot = position + 1;
    ++entered;
    return;
  }
  Cell& first = cells[slot - 1];
  if (first.next_row == kNone) first.next_row = cell.row;
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
  // The row where a walk would stop: records added after the column's last
  // cell lack the name too.
  std::size_t bad = column.first_bad;
  if (bad == kNone && column.cells.size() < ids_.size()) bad = column.cells.size();

  // The first two matching rows, in walk order.
  std::size_t rows[2];
  std::size_t found = 0;
  auto note = [&](std::size_t row) {
    if (found < 2) {
      rows[found++] = row;
    } else if (row < rows[1]) {
      rows[1] = row;
    }
    if (found == 2 && rows[1] < rows[0]) std::swap(rows[0], rows[1]);
  };
  // Unformed texts are rare (the parser refuses invalid UTF-8); they are met
  // in walk order, and one may fail before the walk reaches `bad`.
  for (std::uint32_t position : column.unformed) {
    const Cell& cell = column.cells[position];
    if (bad != kNone && cell.row >= bad) break;
    if (comparison_form_equals(std::string_view(column.arena.data() + cell.offset, cell.length), form)) note(cell.row);
  }
  if (bad != kNone) fail_at(bad, attribute_name);
  if (const Cell* first = column.first_with(form, form_hash_of(form))) {
    note(first->row);
    if (first->next_row != kNone) note(first->next_row);
  }
  result.count = found;
  if (found > 0) result.user_id = ids_[rows[0]];
  return result;
}

std::size_t Users::column_bytes() const {
  std::size_t bytes = 0;
  for (const auto& [name, column] : columns_) {
    bytes += name.capacity() + column.cells.capacity() * sizeof(Cell) + column.arena.capacity() +
             column.forms.capacity() + column.slots.capacity() * sizeof(std::uint32_t) +
             column.unformed.capacity() * sizeof(std::uint32_t);
  }
  return bytes;
}

}  // namespace corvane::host
