// User records held compactly: each record is kept as CBOR (RFC 8949) bytes
// in the store's arena, written item by item while the users file is read,
// and turned back into a Json value only when a record is asked for. Texts
// are kept as their bytes, so the store's index points straight at them.
#pragma once

#include <cstdint>
#include <string_view>

#include "corvane/users/byte_arena.hpp"
#include "corvane/util/json.hpp"

namespace corvane::user_record {

// Mappings and lists are written open-ended and closed with end(), so that
// neither needs its size in advance.
void begin_mapping(ByteArena& out);
void begin_list(ByteArena& out);
void end(ByteArena& out);
// Returns the offset of the text's first byte.
std::size_t text(ByteArena& out, std::string_view value);
void null(ByteArena& out);
void boolean(ByteArena& out, bool value);
void integer(ByteArena& out, std::int64_t value);
void unsigned_integer(ByteArena& out, std::uint64_t value);
void floating(ByteArena& out, double value);
// Any value, with all it holds.
void value(ByteArena& out, const Json& value);

// The value written from `bytes`.
Json read(std::string_view bytes);

}  // namespace corvane::user_record
