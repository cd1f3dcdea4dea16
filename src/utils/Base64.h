#pragma once

#include <cstdint>
#include <string>

// Standard Base64 (RFC 4648 alphabet, "=" padding, no line breaks).
std::string base64_encode(const unsigned char* bytes_to_encode, int32_t in_len);
std::string base64_encode(const std::string& str);

// Lenient: skips CR and LF, stops at the first "=" or other non-alphabet character,
// and returns whatever was decoded up to there. Never fails.
std::string base64_decode(const std::string& encoded_string);
