#include "corvane/users/user_record.hpp"

#include <bit>
#include <cstring>

namespace corvane::user_record {
namespace {

enum Major : unsigned { kUnsigned = 0, kNegative = 1, kBytes = 2, kText = 3 };

// An item's head: its major type and a number, in the shortest form.
void head(ByteArena& out, unsigned major, std::uint64_t number) {
  const unsigned type = major << 5;
  if (number < 24) {
    out.push_back(static_cast<unsigned char>(type | number));
    return;
  }
  int bytes = 8;
  unsigned code = 27;
  if (number <= 0xff) bytes = 1, code = 24;
  else if (number <= 0xffff) bytes = 2, code = 25;
  else if (number <= 0xffffffffu) bytes = 4, code = 26;
  out.push_back(static_cast<unsigned char>(type | code));
  for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8) out.push_back(static_cast<unsigned char>(number >> shift));
}

}  // namespace

void begin_mapping(ByteArena& out) { out.push_back(0xbf); }
void begin_list(ByteArena& out) { out.push_back(0x9f); }
void end(ByteArena& out) { out.push_back(0xff); }
void null(ByteArena& out) { out.push_back(0xf6); }
void boolean(ByteArena& out, bool value) { out.push_back(value ? 0xf5 : 0xf4); }

std::size_t text(ByteArena& out, std::string_view value) {
  head(out, kText, value.size());
  return out.append(value);
}

void integer(ByteArena& out, std::int64_t value) {
  if (value >= 0) {
    head(out, kUnsigned, static_cast<std::uint64_t>(value));
  } else {
    head(out, kNegative, ~static_cast<std::uint64_t>(value));  // -1 - value
  }
}

void unsigned_integer(ByteArena& out, std::uint64_t value) { head(out, kUnsigned, value); }

void floating(ByteArena& out, double value) {
  const auto bits = std::bit_cast<std::uint64_t>(value);
  out.push_back(0xfb);
  for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<unsigned char>(bits >> shift));
}

void value(ByteArena& out, const Json& value) {
  switch (value.type()) {
    case Json::value_t::object:
      begin_mapping(out);
      for (const auto& [name, member] : value.items()) {
        text(out, name);
        user_record::value(out, member);
      }
      end(out);
      return;
    case Json::value_t::array:
      begin_list(out);
      for (const Json& element : value) user_record::value(out, element);
      end(out);
      return;
    case Json::value_t::string: text(out, value.get_ref<const std::string&>()); return;
    case Json::value_t::boolean: boolean(out, value.get<bool>()); return;
    case Json::value_t::number_integer: integer(out, value.get<std::int64_t>()); return;
    case Json::value_t::number_unsigned: unsigned_integer(out, value.get<std::uint64_t>()); return;
    case Json::value_t::number_float: floating(out, value.get<double>()); return;
    case Json::value_t::binary: {
      const auto& bytes = value.get_binary();
      head(out, kBytes, bytes.size());
      out.append(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
      return;
    }
    case Json::value_t::null:
    case Json::value_t::discarded: null(out); return;
  }
}

Json read(std::string_view bytes) {
  // A repeated member name keeps its first place and takes the last value,
  // as in a parsed document.
  return Json::from_cbor(bytes.begin(), bytes.end());
}

}  // namespace corvane::user_record
