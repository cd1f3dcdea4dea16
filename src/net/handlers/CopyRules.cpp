#include "net/handlers/CopyRules.h"

#include "utils/Checksums.h"

namespace net {

const char* const TEMP_PREFIX = ".tmp.";

namespace {
constexpr size_t MAX_NAME_LENGTH = 255;
}

std::unique_ptr<Checksum> newFingerprint(int32_t mode) {
  if (mode == FINGERPRINT_SHA256) return std::make_unique<Sha256Prefix>();
  if (mode == FINGERPRINT_XOR64) return std::make_unique<Xor64>();
  return std::make_unique<Fletcher64>();
}

std::string normalisedPath(std::string path) {
  while (path.size() > 1 && (path.back() == '/' || path.back() == '\\')) path.pop_back();
  return path;
}

std::vector<std::string> splitPath(const std::string& path) {
  std::vector<std::string> parts(1);
  for (char c : path) {
    if (c == '/' || c == '\\')
      parts.emplace_back();
    else
      parts.back() += c;
  }
  return parts;
}

std::string refusedName(const std::string& name) {
  if (name.empty()) return "empty name";
  if (name == "." || name == "..") return "name \"" + name + "\"";
  if (name.size() > MAX_NAME_LENGTH) return "name longer than 255 bytes";
  for (char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '/' || c == '\\') return "separator in name";
    if (byte < 0x20 || byte == 0x7f) return "control character in name";
  }
  if (name.compare(0, 5, TEMP_PREFIX) == 0) return "temporary name \"" + name + "\"";
  return "";
}

std::string refusedFileName(const std::string& name) {
  const std::string why = refusedName(name);
  if (!why.empty()) return why;
  // ".tmp." before it must still make a name the file system takes.
  if (name.size() > MAX_NAME_LENGTH - 5) return "file name longer than 250 bytes";
  return "";
}

}  // namespace net
