// The C++ users store: an ordered mapping from user id to a user record whose
// attributes are read by name.
//
// Attributes are kept column by column (one text arena per attribute name),
// and a column holds cells only for the records that carry its name, so the
// store grows with its data, not with users times names. The comparison form
// of every text is settled once, when the record is added, and each column
// keeps a hash table of its forms beside the cells, with the first two
// records holding each form and the first record that would end a walk with
// an error. A match therefore gives what a walk over every record in order
// gives, at a cost that does not grow with the number of users. The store
// only grows, so the table is kept up to date by add().
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "corvane/host/seam.hpp"
#include "corvane/util/json.hpp"

namespace corvane::host {

class Users : public UserDirectory {
 public:
  Users() = default;
  // From a mapping of user id to a mapping of attributes.
  static Users from_json(const Json& users);
  // The same, taking the records over instead of copying them.
  static Users from_json(Json&& users);

  // Appends a record; `attributes` must be a mapping. A user id given twice
  // replaces nothing: it is a ValueError, as a mapping cannot hold it twice.
  void add(std::string user_id, Json attributes);

  std::size_t size() const { return ids_.size(); }
  bool empty() const { return ids_.empty(); }
  const std::string& user_id(std::size_t index) const { return ids_[index]; }
  const Json& record(std::size_t index) const { return records_[index]; }
  // Index of a user id, if present.
  std::optional<std::size_t> find(std::string_view user_id) const;

  // Reads attribute `name` of record `index`: AttributeError when absent.
  const Json& attribute(std::size_t index, std::string_view name) const;

  UserMatch match(const Json& name, std::string_view form) const override;

  // Bytes held by the attribute columns (cells and texts), for tests of the
  // store's size.
  std::size_t column_bytes() const;

 private:
  // A cheap hash of a comparison form: most records of a walk differ from
  // the wanted form in it, so their bytes are never compared.
  static constexpr std::uint32_t form_hash_of(std::string_view form) {
    std::uint32_t hash = 2166136261u;  // FNV-1a
    for (char c : form) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
    return hash;
  }

  static constexpr std::uint32_t kNone = 0xffffffffu;
  struct Cell {
    // Most texts (lower-case addresses and ids) are their own form and
    // store it once; `missing` is a text whose form cannot be made, which
    // the walk then makes (and fails on) itself.
    enum class Form : std::uint8_t { same, own, missing };
    std::uint32_t row;  // the record's index
    std::uint32_t offset = 0;
    std::uint32_t length = 0;
    std::uint32_t form_offset = 0;
    std::uint32_t form_length = 0;
    std::uint32_t form_hash = 0;
    std::uint32_t next_row = kNone;  // the next record with the same form, on a form's first cell
    bool text = false;  // else a value that is not text
    Form form = Form::same;
  };
  struct Column {
    std::vector<Cell> cells;  // in row order; a row without a cell lacks the name
    std::string arena;
    std::string forms;  // the forms that differ from their text
    // Open addressing over the cells that have a form, by form: a cell
    // position plus one per slot, 0 when free. Only a form's first cell is
    // entered; it notes the second record holding the form.
    std::vector<std::uint32_t> slots;
    std::size_t entered = 0;
    // Cells holding text whose form cannot be made: compared one by one at
    // each match, as a walk would, since they may match or fail.
    std::vector<std::uint32_t> unformed;
    // The first row that lacks the name or holds no text, among the rows
    // added so far that the column's cells account for.
    std::uint32_t first_bad = kNone;

    std::string_view form_of(const Cell& cell) const;
    // The slot holding the first cell of `form`, or the free slot where it
    // goes; there is one, as the table is never full.
    std::size_t slot_for(std::string_view form, std::uint32_t hash) const;
    const Cell* first_with(std::string_view form, std::uint32_t hash) const;
    void enter(std::uint32_t position);
  };
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };

  // The error of record `row`, which lacks `name` or does not hold text there.
  [[noreturn]] void fail_at(std::size_t row, std::string_view name) const;

  std::vector<std::string> ids_;
  std::vector<Json> records_;
  std::unordered_map<std::string, std::size_t, Hash, std::equal_to<>> index_;
  std::unordered_map<std::string, Column, Hash, std::equal_to<>> columns_;
};

}  // namespace corvane::host
