// The host's users configuration: an ordered mapping from user id to a user
// record whose attributes are read by name.
//
// Attributes are stored column by column (one contiguous text arena per
// attribute name), so a walk over every record's attribute touches memory in
// order and needs one name look-up per walk, not per record. The comparison
// form of every text is settled once, when the record is added, so a walk
// compares bytes and neither allocates nor case-maps per record.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "corvane/util/json.hpp"

namespace corvane::host {

class Users {
 public:
  // One attribute of one record.
  struct Value {
    enum class Kind : std::uint8_t { absent, text, other };
    Kind kind = Kind::absent;
    std::string_view text;  // when kind is text; otherwise read record() for the value
    // The comparison form of `text`, when has_form; it is missing only for a
    // text whose form cannot be made, which the caller then makes (and fails
    // on) itself.
    bool has_form = false;
    std::string_view form;
    std::uint32_t form_hash = 0;  // form_hash_of(form), when has_form
  };

  // A cheap hash of a comparison form: most records of a walk differ from
  // the wanted form in it, so their bytes are never compared.
  static constexpr std::uint32_t form_hash_of(std::string_view form) {
    std::uint32_t hash = 2166136261u;  // FNV-1a
    for (char c : form) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
    return hash;
  }

  // The values of one attribute name across all records, in record order.
  class Column {
   public:
    // Records past the column's end (a name no record holds) are absent.
    // Inline: a walk calls it once per record.
    Value at(std::size_t index) const {
      if (index >= cells_->size()) return {};
      const Cell& cell = (*cells_)[index];
      Value value;
      value.kind = cell.kind;
      if (cell.kind != Value::Kind::text) return value;
      value.text = std::string_view(arena_->data() + cell.offset, cell.length);
      value.form_hash = cell.form_hash;
      switch (cell.form) {
        case Cell::Form::same: value.has_form = true, value.form = value.text; break;
        case Cell::Form::own:
          value.has_form = true, value.form = std::string_view(forms_->data() + cell.form_offset, cell.form_length);
          break;
        case Cell::Form::missing: break;
      }
      return value;
    }

   private:
    friend class Users;
    struct Cell {
      // Most texts (lower-case addresses and ids) are their own form and
      // store it once.
      enum class Form : std::uint8_t { same, own, missing };
      std::uint32_t offset;
      std::uint32_t length;
      Value::Kind kind;
      Form form = Form::same;
      std::uint32_t form_offset = 0;
      std::uint32_t form_length = 0;
      std::uint32_t form_hash = 0;
    };
    struct Data {
      std::vector<Cell> cells;
      std::string arena;
      std::string forms;  // the forms that differ from their text
    };
    explicit Column(const Data* data) : cells_(&data->cells), arena_(&data->arena), forms_(&data->forms) {}
    const std::vector<Cell>* cells_;
    const std::string* arena_;
    const std::string* forms_;
  };

  Users() = default;
  // From a mapping of user id to a mapping of attributes.
  static Users from_json(const Json& users);

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

  // The column of `name`; a name that no record holds gives a column whose
  // every value is absent.
  Column column(std::string_view name) const;

 private:
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  std::vector<std::string> ids_;
  std::vector<Json> records_;
  std::unordered_map<std::string, std::size_t, Hash, std::equal_to<>> index_;
  std::unordered_map<std::string, Column::Data, Hash, std::equal_to<>> columns_;
  Column::Data absent_column_;
};

}  // namespace corvane::host
