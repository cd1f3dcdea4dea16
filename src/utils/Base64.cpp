#include "utils/Base64.h"

#include <array>

namespace {

// Constant-initialised, so usable from other objects' static initialisers.
constexpr char base64_chars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr int8_t kNotAlphabet = -1;

// Indexed by every byte value, so no input can read outside it.
constexpr std::array<int8_t, 256> makeDecodeTable() {
  std::array<int8_t, 256> table{};
  for (auto& entry : table) entry = kNotAlphabet;
  for (size_t i = 0; i < 64; ++i) table[static_cast<unsigned char>(base64_chars[i])] = static_cast<int8_t>(i);
  return table;
}

constexpr std::array<int8_t, 256> decodeTable = makeDecodeTable();

}  // namespace

std::string base64_encode(const unsigned char* bytes_to_encode, int32_t in_len) {
  std::string out;
  if (!bytes_to_encode || in_len <= 0) return out;
  out.reserve((static_cast<size_t>(in_len) + 2) / 3 * 4);
  int32_t i = 0;
  for (; in_len - i >= 3; i += 3) {
    const unsigned b0 = bytes_to_encode[i], b1 = bytes_to_encode[i + 1], b2 = bytes_to_encode[i + 2];
    out += base64_chars[b0 >> 2];
    out += base64_chars[((b0 & 0x03) << 4) | (b1 >> 4)];
    out += base64_chars[((b1 & 0x0F) << 2) | (b2 >> 6)];
    out += base64_chars[b2 & 0x3F];
  }
  const int32_t left = in_len - i;
  if (left > 0) {
    const unsigned b0 = bytes_to_encode[i];
    const unsigned b1 = left > 1 ? bytes_to_encode[i + 1] : 0;
    out += base64_chars[b0 >> 2];
    out += base64_chars[((b0 & 0x03) << 4) | (b1 >> 4)];
    out += left > 1 ? base64_chars[(b1 & 0x0F) << 2] : '=';
    out += '=';
  }
  return out;
}

std::string base64_encode(const std::string& str) {
  return base64_encode(reinterpret_cast<const unsigned char*>(str.data()), static_cast<int32_t>(str.size()));
}

std::string base64_decode(const std::string& encoded_string) {
  std::string out;
  out.reserve(encoded_string.size() / 4 * 3 + 2);
  unsigned group[4];
  int count = 0;
  for (unsigned char c : encoded_string) {
    if (c == '\r' || c == '\n') continue;
    const int8_t value = decodeTable[c];
    if (value == kNotAlphabet) break;  // "=" included
    group[count++] = static_cast<unsigned>(value);
    if (count == 4) {
      out += static_cast<char>((group[0] << 2) | (group[1] >> 4));
      out += static_cast<char>(((group[1] & 0x0F) << 4) | (group[2] >> 2));
      out += static_cast<char>(((group[2] & 0x03) << 6) | group[3]);
      count = 0;
    }
  }
  if (count >= 2) out += static_cast<char>((group[0] << 2) | (group[1] >> 4));
  if (count >= 3) out += static_cast<char>(((group[1] & 0x0F) << 4) | (group[2] >> 2));
  return out;
}
