// The host's users configuration: an ordered mapping from user id to a user
// record whose attributes are read by name.
//
// Attributes are stored column by column (one contiguous text arena per
// attribute name), so a walk over every record's attribute touches memory in
// order and needs one name look-up per walk, not per record.
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
  };

  // The values of one attribute name across all records, in record order.
  class Column {
   public:
    // Records past the column's end (a name no record holds) are absent.
    Value at(std::size_t index) const;

   private:
    friend class Users;
    struct Cell {
      std::uint32_t offset;
      std::uint32_t length;
      Value::Kind kind;
    };
    struct Data {
      std::vector<Cell> cells;
      std::string arena;
    };
    explicit Column(const Data* data) : cells_(&data->cells), arena_(&data->arena) {}
    const std::vector<Cell>* cells_;
    const std::string* arena_;
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
