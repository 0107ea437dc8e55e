#include "corvane/util/base64.hpp"

#include <array>
#include <cstdint>

namespace corvane {
namespace {

constexpr char kStandard[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kUrl[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

constexpr std::uint8_t kInvalid = 0xff;

constexpr std::array<std::uint8_t, 256> make_table(const char* alphabet) {
  std::array<std::uint8_t, 256> table{};
  for (auto& entry : table) entry = kInvalid;
  for (std::uint8_t i = 0; i < 64; ++i) table[static_cast<unsigned char>(alphabet[i])] = i;
  return table;
}

constexpr auto kStandardTable = make_table(kStandard);
constexpr auto kUrlTable = make_table(kUrl);

std::string encode(std::string_view bytes, const char* alphabet, bool pad) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  for (; i + 3 <= bytes.size(); i += 3) {
    std::uint32_t group = (data[i] << 16) | (data[i + 1] << 8) | data[i + 2];
    out.push_back(alphabet[(group >> 18) & 63]);
    out.push_back(alphabet[(group >> 12) & 63]);
    out.push_back(alphabet[(group >> 6) & 63]);
    out.push_back(alphabet[group & 63]);
  }
  std::size_t rest = bytes.size() - i;
  if (rest == 1) {
    std::uint32_t group = data[i] << 16;
    out.push_back(alphabet[(group >> 18) & 63]);
    out.push_back(alphabet[(group >> 12) & 63]);
    if (pad) out.append("==");
  } else if (rest == 2) {
    std::uint32_t group = (data[i] << 16) | (data[i + 1] << 8);
    out.push_back(alphabet[(group >> 18) & 63]);
    out.push_back(alphabet[(group >> 12) & 63]);
    out.push_back(alphabet[(group >> 6) & 63]);
    if (pad) out.push_back('=');
  }
  return out;
}

// The length of the prefix of `text` whose characters are in the table.
// Eight at a time: the table marks every other byte 0xff, so one OR tells.
std::size_t alphabet_prefix(const unsigned char* text, std::size_t n, const std::array<std::uint8_t, 256>& table) {
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const unsigned any = table[text[i]] | table[text[i + 1]] | table[text[i + 2]] | table[text[i + 3]] |
                         table[text[i + 4]] | table[text[i + 5]] | table[text[i + 6]] | table[text[i + 7]];
    if (any == kInvalid) break;
  }
  while (i < n && table[text[i]] != kInvalid) ++i;
  return i;
}

// Decodes whole groups of four while all their characters are in the table
// and returns how many characters it used (a multiple of four); it stops at
// the first group holding any other character. Validating while decoding
// reads the text once, and `o` is sized beforehand: a push_back per byte
// cost more than the decoding.
std::size_t decode_whole_groups(const unsigned char* text, std::size_t n,
                                const std::array<std::uint8_t, 256>& table, char* o) {
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4, o += 3) {
    const std::uint32_t a = table[text[i]], b = table[text[i + 1]], c = table[text[i + 2]], d = table[text[i + 3]];
    if ((a | b | c | d) == kInvalid) break;
    const std::uint32_t group = (a << 18) | (b << 12) | (c << 6) | d;
    o[0] = static_cast<char>(group >> 16);
    o[1] = static_cast<char>((group >> 8) & 0xff);
    o[2] = static_cast<char>(group & 0xff);
  }
  return i;
}

// Decodes a final partial group of 2 or 3 characters (all in the table) into
// 1 or 2 bytes at `o`. Returns the unused low bits.
std::uint32_t decode_tail(const unsigned char* text, std::size_t rest, const std::array<std::uint8_t, 256>& table,
                          char* o) {
  if (rest == 2) {
    const std::uint32_t group = (std::uint32_t{table[text[0]]} << 18) | (std::uint32_t{table[text[1]]} << 12);
    o[0] = static_cast<char>(group >> 16);
    return table[text[1]] & 0x0f;
  }
  if (rest == 3) {
    const std::uint32_t group = (std::uint32_t{table[text[0]]} << 18) | (std::uint32_t{table[text[1]]} << 12) |
                                (std::uint32_t{table[text[2]]} << 6);
    o[0] = static_cast<char>(group >> 16);
    o[1] = static_cast<char>((group >> 8) & 0xff);
    return table[text[2]] & 0x03;
  }
  return 0;
}

constexpr std::size_t tail_bytes(std::size_t rest) { return rest == 2 ? 1 : rest == 3 ? 2 : 0; }

}  // namespace

std::string base64_encode(std::string_view bytes) { return encode(bytes, kStandard, true); }

std::string base64url_encode(std::string_view bytes) { return encode(bytes, kUrl, false); }

std::string b64decode_padded(std::string_view text) {
  std::string out, error;
  if (!b64decode_padded(text, out, &error)) throw Base64Error(error);
  return out;
}

bool b64decode_padded(std::string_view text, std::string& out, std::string* error) {
  const auto* data = reinterpret_cast<const unsigned char*>(text.data());
  out.resize(text.size() / 4 * 3 + 2);
  const std::size_t whole = decode_whole_groups(data, text.size(), kStandardTable, out.data());
  const std::size_t n = whole + alphabet_prefix(data + whole, text.size() - whole, kStandardTable);
  std::size_t p = 0;
  while (n + p < text.size() && text[n + p] == '=') ++p;
  // The messages are made only for a caller that asks for them.
  const auto fail = [&](auto message) {
    if (error) *error = message();
    return false;
  };
  if (n + p != text.size()) {
    return fail([&] {
      return "Invalid base64-encoded string: unexpected character at position " + std::to_string(n + p);
    });
  }
  switch (n % 4) {
    case 1:
      return fail([&] {
        return "Invalid base64-encoded string: number of data characters (" + std::to_string(n) +
               ") cannot be 1 more than a multiple of 4";
      });
    case 2:
      if (p < 2) return fail([] { return std::string("Incorrect padding"); });
      break;
    case 3:
      if (p < 1) return fail([] { return std::string("Incorrect padding"); });
      break;
    default:
      break;
  }
  // The data characters end at most one partial group after the whole ones.
  const std::size_t rest = n - whole;
  decode_tail(data + whole, rest, kStandardTable, out.data() + whole / 4 * 3);
  out.resize(whole / 4 * 3 + tail_bytes(rest));
  return true;
}

bool base64url_decode(std::string_view text, std::string& out) {
  const auto* data = reinterpret_cast<const unsigned char*>(text.data());
  if (text.size() % 4 == 1) return false;
  out.resize(text.size() / 4 * 3 + 2);
  const std::size_t whole = decode_whole_groups(data, text.size(), kUrlTable, out.data());
  const std::size_t rest = text.size() - whole;
  if (rest >= 4 || alphabet_prefix(data + whole, rest, kUrlTable) != rest) return false;
  const std::uint32_t unused_bits = decode_tail(data + whole, rest, kUrlTable, out.data() + whole / 4 * 3);
  out.resize(whole / 4 * 3 + tail_bytes(rest));
  return unused_bits == 0;
}

}  // namespace corvane
