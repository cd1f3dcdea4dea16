// Folder trees for the transfer tests: made from a description, compared by SHA-256.
#pragma once

#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace trees {

namespace fs = std::filesystem;

inline std::string hex(const unsigned char* bytes, size_t n) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    out += digits[bytes[i] >> 4];
    out += digits[bytes[i] & 15];
  }
  return out;
}

inline std::string sha256OfFile(const fs::path& path) {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
  std::ifstream in(path, std::ios::binary);
  std::vector<char> buffer(1 << 20);
  while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0)
    EVP_DigestUpdate(ctx, buffer.data(), static_cast<size_t>(in.gcount()));
  unsigned char digest[32];
  unsigned int length = 0;
  EVP_DigestFinal_ex(ctx, digest, &length);
  EVP_MD_CTX_free(ctx);
  return hex(digest, length);
}

// "relative/path <sha256>" for every file under root, sorted; folders alone do not count.
inline std::vector<std::string> digest(const fs::path& root) {
  std::vector<std::string> lines;
  if (!fs::exists(root)) return lines;
  for (const auto& entry : fs::recursive_directory_iterator(root))
    if (entry.is_regular_file())
      lines.push_back(fs::relative(entry.path(), root).string() + " " + sha256OfFile(entry.path()));
  std::sort(lines.begin(), lines.end());
  return lines;
}

// Files whose name starts with ".tmp." under root.
inline std::vector<std::string> leftovers(const fs::path& root) {
  std::vector<std::string> found;
  if (!fs::exists(root)) return found;
  for (const auto& entry : fs::recursive_directory_iterator(root))
    if (entry.path().filename().string().rfind(".tmp.", 0) == 0) found.push_back(entry.path().string());
  return found;
}

// A file of `size` pseudo-random bytes from `seed`, written in 1 MiB pieces.
inline void writeRandom(const fs::path& path, uint64_t size, uint64_t seed) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::mt19937_64 engine(seed);
  std::vector<uint64_t> block(1 << 17);
  while (size > 0) {
    for (auto& word : block) word = engine();
    const uint64_t n = std::min<uint64_t>(size, block.size() * 8);
    out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(n));
    size -= n;
  }
}

}  // namespace trees
