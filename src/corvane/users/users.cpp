#include "corvane/users/users.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <utility>

#include "corvane/users/user_record.hpp"
#include "corvane/util/errors.hpp"
#include "corvane/util/unicode.hpp"

namespace corvane {

namespace {

constexpr std::size_t kArenaLimit = std::numeric_limits<std::uint32_t>::max();

[[noreturn]] void too_large() { throw ValueError("users configuration too large"); }

std::uint32_t narrow(std::size_t value) {
  if (value >= kArenaLimit) too_large();
  return static_cast<std::uint32_t>(value);
}

std::uint32_t hash_of(std::string_view text) {
  const std::size_t hash = std::hash<std::string_view>{}(text);
  return static_cast<std::uint32_t>(hash ^ (hash >> 32));
}

bool is_ascii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

}  // namespace

Users Users::from_json(const Json& users) {
  if (!users.is_object()) throw TypeError(std::string("users must be a mapping, not ") + type_name(users));
  Users result;
  for (const auto& [user_id, attributes] : users.items()) result.add(user_id, attributes);
  return result;
}

void Users::add(std::string_view user_id, const Json& attributes) {
  if (!attributes.is_object()) {
    throw TypeError("user record '" + std::string(user_id) + "' must be a mapping, not " + type_name(attributes));
  }
  if (find(user_id)) throw ValueError("user id '" + std::string(user_id) + "' given twice");
  const std::uint32_t row = begin_record(user_id);
  std::vector<Column*> touched;
  user_record::begin_mapping(arena_);
  for (const auto& [name, value] : attributes.items()) {
    user_record::text(arena_, name);
    Column& named = column(name);
    if (value.is_string()) {
      const auto& text = value.get_ref<const std::string&>();
      note(named, row, user_record::text(arena_, text), true, text.size());
    } else {
      const std::size_t offset = arena_.size();
      user_record::value(arena_, value);
      note(named, row, offset, false, 0);
    }
    touched.push_back(&named);
  }
  user_record::end(arena_);
  end_record(row);
  for (Column* named : touched) named->seal(arena_);
}

std::uint32_t Users::begin_record(std::string_view user_id) {
  const std::size_t start = arena_.append(user_id);
  const auto offset = narrow(start + user_id.size()) - static_cast<std::uint32_t>(user_id.size());
  if (!id_slots_.empty()) {
    if (const std::uint32_t slot = id_slots_[id_slot(user_id, Hash{}(user_id))]; slot != 0) {
      rows_[slot - 1].offset = offset;  // the id met again: its new record takes the old one's place
      rows_[slot - 1].record_length = 0;
      reordered_ = true;
      return slot - 1;
    }
  }
  rows_.push_back({offset, static_cast<std::uint32_t>(user_id.size()), 0});
  const std::uint32_t row = narrow(rows_.size() - 1);
  enter_id(row);
  return row;
}

void Users::end_record(std::uint32_t row) {
  Row& record = rows_[row];
  record.record_length = narrow(arena_.size()) - record.offset - record.id_length;
}

Users::Column& Users::column(std::string_view name) {
  auto it = columns_.find(name);
  if (it == columns_.end()) it = columns_.emplace(std::string(name), Column{}).first;
  return it->second;
}

void Users::note(Column& column, std::uint32_t row, std::size_t offset, bool text, std::size_t length) {
  if (length > Cell::kMaxLength) too_large();
  Cell cell{row, narrow(offset), 0};
  // A text's kind is settled when the column is sealed.
  if (text) cell.bits = static_cast<std::uint32_t>(length) | (Cell::normalised << Cell::kLengthBits);
  if (column.cells.size() > column.sealed && column.cells.back().row == row) {
    column.cells.back() = cell;  // a name repeated within a record: its last value stands
  } else {
    column.cells.push_back(cell);
  }
}

void Users::seal() {
  if (reordered_) {
    // Only the file reader replaces records, before anything is sealed. The
    // cells of a replaced record point outside its row's current bytes.
    for (auto& [name, column] : columns_) {
      std::erase_if(column.cells, [&](const Cell& cell) {
        const Row& row = rows_[cell.row];
        return cell.offset < row.offset || cell.offset - row.offset >= row.id_length + row.record_length;
      });
      std::stable_sort(column.cells.begin(), column.cells.end(),
                       [](const Cell& a, const Cell& b) { return a.row < b.row; });
    }
    reordered_ = false;
  }
  for (auto& [name, column] : columns_) column.seal(arena_);
}

std::string_view Users::user_id(std::size_t index) const {
  const Row& row = rows_[index];
  return arena_.view(row.offset, row.id_length);
}

std::string_view Users::record_bytes(std::size_t index) const {
  const Row& row = rows_.at(index);
  return arena_.view(row.offset + row.id_length, row.record_length);
}

Json Users::record(std::size_t index) const { return user_record::read(record_bytes(index)); }

std::size_t Users::id_slot(std::string_view user_id, std::size_t hash) const {
  const std::size_t mask = id_slots_.size() - 1;
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    const std::uint32_t slot = id_slots_[i];
    if (slot == 0 || this->user_id(slot - 1) == user_id) return i;
  }
}

void Users::enter_id(std::uint32_t row) {
  // At most half full, so that a probe ends soon.
  if (2 * rows_.size() > id_slots_.size()) {
    id_slots_.assign(std::max<std::size_t>(16, 2 * id_slots_.size()), 0);
    for (std::uint32_t other = 0; other < row; ++other) {
      id_slots_[id_slot(user_id(other), Hash{}(user_id(other)))] = other + 1;
    }
  }
  id_slots_[id_slot(user_id(row), Hash{}(user_id(row)))] = row + 1;
}

std::optional<std::size_t> Users::find(std::string_view user_id) const {
  if (id_slots_.empty()) return std::nullopt;
  const std::uint32_t slot = id_slots_[id_slot(user_id, Hash{}(user_id))];
  if (slot == 0) return std::nullopt;
  return slot - 1;
}

Json Users::attribute(std::size_t index, std::string_view name) const {
  Json record = this->record(index);
  auto it = record.find(name);
  if (it == record.end()) throw AttributeError("'User' object has no attribute '" + std::string(name) + "'");
  return std::move(*it);
}

void Users::fail_at(std::size_t row, std::string_view name) const {
  const Json value = attribute(row, name);  // throws for a missing attribute
  throw AttributeError(std::string("'") + python_type_name(value) + "' object has no attribute 'strip'");
}

void Users::Column::seal(const ByteArena& arena) {
  std::size_t texts = entered;
  for (std::size_t i = sealed; i < cells.size(); ++i) texts += cells[i].kind() != Cell::not_text;
  if (2 * texts > slots.size()) resize_slots(std::bit_ceil(std::max<std::size_t>(16, 2 * texts)));
  for (std::size_t i = sealed; i < cells.size(); ++i) {
    const Cell& cell = cells[i];
    const std::uint32_t expected = i == 0 ? 0 : cells[i - 1].row + 1;
    if (first_bad == kNone && cell.row != expected) first_bad = expected;  // that row lacks the name
    if (cell.kind() == Cell::not_text) {
      if (first_bad == kNone) first_bad = cell.row;
      continue;
    }
    enter(arena, static_cast<std::uint32_t>(i), arena.view(cell.offset, cell.length()));
  }
  sealed = cells.size();
}

bool Users::Column::holds_form(const ByteArena& arena, const Cell& cell, std::string_view form) const {
  switch (cell.kind()) {
    case Cell::exact: return arena.view(cell.offset, cell.length()) == form;
    case Cell::own_form: return std::string_view(forms).substr(cell.offset, cell.length()) == form;
    default: return comparison_form_equals(arena.view(cell.offset, cell.length()), form);
  }
}

std::size_t Users::Column::slot_for(const ByteArena& arena, std::string_view form, std::uint32_t hash) const {
  const std::size_t mask = slots.size() - 1;
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    const Slot& slot = slots[i];
    if (slot.cell == 0 || (slot.hash == hash && holds_form(arena, cells[slot.cell - 1], form))) return i;
  }
}

void Users::Column::resize_slots(std::size_t count) {
  std::vector<Slot> old = std::exchange(slots, std::vector<Slot>(count));
  const std::size_t mask = count - 1;
  for (const Slot& slot : old) {
    if (slot.cell == 0) continue;
    std::size_t i = slot.hash & mask;
    while (slots[i].cell != 0) i = (i + 1) & mask;
    slots[i] = slot;
  }
}

void Users::Column::enter(const ByteArena& arena, std::uint32_t position, std::string_view text) {
  Cell& cell = cells[position];
  std::string form;
  try {
    form = comparison_form(text);
  } catch (const UnicodeDecodeError&) {
    unformed.push_back(position);  // left to the walk, which meets the same failure where it always did
    return;
  }
  // Comparing a non-ASCII text while normalising allocates, so such a text
  // keeps its form apart unless it is its own form.
  Cell::Kind kind = form == text ? Cell::exact : is_ascii(text) ? Cell::normalised : Cell::own_form;
  if (kind == Cell::own_form) {
    if (form.size() > Cell::kMaxLength) too_large();
    cell.offset = narrow(forms.size());
    cell.bits = static_cast<std::uint32_t>(form.size());
    forms.append(form);
  }
  cell.bits = cell.length() | (static_cast<std::uint32_t>(kind) << Cell::kLengthBits);

  const std::uint32_t hash = hash_of(form);
  if (2 * (entered + 1) > slots.size()) resize_slots(std::max<std::size_t>(16, 2 * slots.size()));
  Slot& slot = slots[slot_for(arena, form, hash)];
  if (slot.cell == 0) {
    slot = {position + 1, hash};
    ++entered;
    return;
  }
  Cell& first = cells[slot.cell - 1];
  if (!(first.bits & Cell::kShared)) {
    first.bits |= Cell::kShared;
    second_rows.emplace(slot.cell - 1, cell.row);
  }
}

host::UserMatch Users::match(const Json& name, std::string_view form) const {
  host::UserMatch result;
  if (rows_.empty()) return result;
  if (!name.is_string()) {
    throw TypeError(std::string("attribute name must be string, not '") + python_type_name(name) + "'");
  }
  const std::string& attribute_name = name.get_ref<const std::string&>();
  auto it = columns_.find(attribute_name);
  if (it == columns_.end()) fail_at(0, attribute_name);
  const Column& column = it->second;
  // The row where a walk would stop: records after the column's last cell
  // lack the name too.
  std::size_t bad = column.first_bad;
  if (bad == kNone) {
    const std::size_t covered = column.cells.empty() ? 0 : column.cells.back().row + 1;
    if (covered < rows_.size()) bad = covered;
  }

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
    if (comparison_form_equals(arena_.view(cell.offset, cell.length()), form)) note(cell.row);
  }
  if (bad != kNone) fail_at(bad, attribute_name);
  if (!column.slots.empty()) {
    const std::uint32_t slot = column.slots[column.slot_for(arena_, form, hash_of(form))].cell;
    if (slot != 0) {
      const Cell& first = column.cells[slot - 1];
      note(first.row);
      if (first.bits & Cell::kShared) note(column.second_rows.find(slot - 1)->second);
    }
  }
  result.count = found;
  if (found > 0) result.user_id = user_id(rows[0]);
  return result;
}

std::size_t Users::column_bytes() const {
  std::size_t bytes = 0;
  for (const auto& [name, column] : columns_) {
    bytes += name.capacity() + column.cells.capacity() * sizeof(Cell) + column.forms.capacity() +
             column.slots.capacity() * sizeof(Slot) + column.unformed.capacity() * sizeof(std::uint32_t) +
             column.second_rows.bucket_count() * sizeof(void*) +
             column.second_rows.size() * (sizeof(void*) + 2 * sizeof(std::uint32_t));
  }
  return bytes;
}

}  // namespace corvane
