// The C++ users store: an ordered mapping from user id to a user record whose
// attributes are read by name.
//
// The store is built to hold a large users file in little more memory than
// the file itself. Ids and records live in one byte arena, each record as
// compact CBOR, and a record becomes a Json value again only when asked for.
// Beside them, each attribute name has a column of small cells, one per
// record that carries the name, pointing at the text in the arena. The
// comparison form of every text is settled when the column is sealed, and a
// hash table of forms notes the first two records holding each form and the
// column the first record that would end a walk with an error. A match
// therefore gives what a walk over every record in order gives, at a cost
// that does not grow with the number of users. The store only grows, so
// add() keeps the tables up to date.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "corvane/host/seam.hpp"
#include "corvane/users/byte_arena.hpp"
#include "corvane/util/file.hpp"
#include "corvane/util/json.hpp"

namespace corvane {

class Users : public host::UserDirectory {
 public:
  Users() = default;
  // From a mapping of user id to a mapping of attributes.
  static Users from_json(const Json& users);
  // Reads a JSON file holding such a mapping, without building its document.
  // A user id given twice keeps its first place and takes its last record, as
  // a parsed document has it. A file that cannot be read or parsed gives the
  // error that reading and parsing it whole gives; a document or record that
  // is not a mapping is a TypeError.
  static Users from_file(const std::string& path, std::size_t max_size = kMaxUsersFileSize,
                         std::size_t max_depth = 512);

  // Appends a record; `attributes` must be a mapping. A user id given twice
  // replaces nothing: it is a ValueError, as a mapping cannot hold it twice.
  void add(std::string_view user_id, const Json& attributes);

  std::size_t size() const { return rows_.size(); }
  bool empty() const { return rows_.empty(); }
  std::string_view user_id(std::size_t index) const;
  // The record, rebuilt from the store.
  Json record(std::size_t index) const;
  // Index of a user id, if present.
  std::optional<std::size_t> find(std::string_view user_id) const;

  // Reads attribute `name` of record `index`: AttributeError when absent.
  Json attribute(std::size_t index, std::string_view name) const;

  host::UserMatch match(const Json& name, std::string_view form) const override;

  // Bytes held by the attribute columns (cells, forms and tables), for tests
  // of the store's size.
  std::size_t column_bytes() const;

 private:
  friend class UsersFileReader;

  static constexpr std::uint32_t kNone = 0xffffffffu;
  // A record: the id's bytes at `offset`, then the record's.
  struct Row {
    std::uint32_t offset;
    std::uint32_t id_length;
    std::uint32_t record_length;
  };
  struct Cell {
    // How a text compares: as it stands (it is its own form), normalised on
    // the fly (ASCII, or a text whose form cannot be made), or through a form
    // kept in the column (the rest, whose normalising would allocate).
    enum Kind : std::uint32_t { not_text = 0, exact = 1, normalised = 2, own_form = 3 };
    static constexpr std::uint32_t kLengthBits = 28;
    static constexpr std::uint32_t kMaxLength = (1u << kLengthBits) - 1;
    static constexpr std::uint32_t kShared = 1u << 31;  // on a form's first cell: another record holds it

    std::uint32_t row;
    std::uint32_t offset;  // of the text (or the form) in the arena (or the column's forms), else of the value
    std::uint32_t bits;    // length, kind and kShared

    Kind kind() const { return static_cast<Kind>((bits >> kLengthBits) & 3u); }
    std::uint32_t length() const { return bits & kMaxLength; }
  };
  struct Slot {
    std::uint32_t cell;  // the cell's position plus one, 0 when free
    std::uint32_t hash;
  };
  struct Column {
    std::vector<Cell> cells;  // in row order; a row without a cell lacks the name
    std::size_t sealed = 0;   // cells accounted for below
    std::string forms;        // the forms kept apart from their text
    // Open addressing over the cells that have a form, by form. Only a form's
    // first cell is entered; `second_rows` holds the second record holding
    // it, for the cells marked kShared.
    std::vector<Slot> slots;
    std::size_t entered = 0;
    std::unordered_map<std::uint32_t, std::uint32_t> second_rows;
    // Cells holding text whose form cannot be made: compared one by one at
    // each match, as a walk would, since they may match or fail.
    std::vector<std::uint32_t> unformed;
    // The first row that lacks the name or holds no text, among the sealed
    // cells' rows.
    std::uint32_t first_bad = kNone;

    // Accounts for the cells added since the last seal.
    void seal(const ByteArena& arena);
    bool holds_form(const ByteArena& arena, const Cell& cell, std::string_view form) const;
    // The slot of the first cell holding `form`, or the free slot where it
    // goes; there is one, as the table is never full.
    std::size_t slot_for(const ByteArena& arena, std::string_view form, std::uint32_t hash) const;
    void enter(const ByteArena& arena, std::uint32_t position, std::string_view text);
    void resize_slots(std::size_t count);
  };
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };

  // Building, for add() and the file reader: a record of `user_id` starts at
  // the arena's end; a user id met again takes the new record in its old
  // place, which the next seal() puts right.
  std::uint32_t begin_record(std::string_view user_id);
  void end_record(std::uint32_t row);
  Column& column(std::string_view name);
  // Notes attribute value at `offset` of record `row`; `text` when the value
  // is a text of `length` bytes starting there.
  static void note(Column& column, std::uint32_t row, std::size_t offset, bool text, std::size_t length);
  void seal();

  std::string_view record_bytes(std::size_t index) const;
  std::size_t id_slot(std::string_view user_id, std::size_t hash) const;
  void enter_id(std::uint32_t row);
  // The error of record `row`, which lacks `name` or does not hold text there.
  [[noreturn]] void fail_at(std::size_t row, std::string_view name) const;

  ByteArena arena_;
  std::vector<Row> rows_;
  std::vector<std::uint32_t> id_slots_;  // open addressing: a row plus one, 0 when free
  std::unordered_map<std::string, Column, Hash, std::equal_to<>> columns_;
  bool reordered_ = false;  // a record replaced an earlier one of its id
};

}  // namespace corvane
