#include "utils/Utils.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <regex>
#include <stdexcept>

#include "platform/Platform.h"

std::string Utils::format(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  char* text = nullptr;
  // glibc's vasprintf measures and formats in two passes over its own copy of `ap`.
  int length = vasprintf(&text, fmt, ap);
  va_end(ap);
  if (length < 0) throw std::runtime_error("asprintf error");
  std::unique_ptr<char, decltype(&std::free)> owned(text, &std::free);
  return std::string(text, static_cast<size_t>(length));
}

std::string Utils::urlEncode(const std::string& s) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(s.size() * 3);
  for (unsigned char c : s) {
    bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '_' || c == '.' || c == '~';
    if (unreserved) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 0x0F];
    }
  }
  return out;
}

std::map<std::string, std::string> Utils::urlQuery(const std::string& query) {
  std::map<std::string, std::string> result;
  for (const std::string& piece : split(query, "&")) {
    std::vector<std::string> pair = split(piece, "=");
    result.emplace(pair[0], pair.size() > 1 ? pair[1] : std::string());  // emplace keeps the first
  }
  return result;
}

std::vector<std::string> Utils::split(const std::string& str, const std::string& regex_str) {
  const std::regex separator(regex_str, std::regex::ECMAScript);
  std::vector<std::string> pieces;
  auto pieceStart = str.cbegin();
  bool matched = false;
  for (std::sregex_iterator it(str.cbegin(), str.cend(), separator), end; it != end; ++it) {
    matched = true;
    pieces.emplace_back(pieceStart, (*it)[0].first);
    pieceStart = (*it)[0].second;
  }
  if (!matched) return {str};
  if (pieceStart != str.cend()) pieces.emplace_back(pieceStart, str.cend());
  return pieces;
}

namespace {

// POSIX-locale white space only; bytes from 0x80 up never count.
bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

template <typename Engine>
Engine& seededEngine() {
  thread_local Engine engine = [] {
    std::random_device device;
    std::seed_seq seed{device(), device(), device(), device(), device(), device(), device(), device()};
    return Engine(seed);
  }();
  return engine;
}

}  // namespace

std::string Utils::printable(const std::string& text, size_t limit) {
  std::string out = text.substr(0, limit);
  for (char& c : out) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) c = '?';
  }
  if (text.size() > limit) out += "...";
  return out;
}

std::string Utils::trim(const std::string& s) {
  size_t first = 0;
  while (first < s.size() && isBlank(s[first])) ++first;
  size_t last = s.size();
  while (last > first && isBlank(s[last - 1])) --last;
  return s.substr(first, last - first);
}

int32_t Utils::randomInt() {
  std::uniform_int_distribution<int32_t> range(1, INT32_MAX);
  return range(seededEngine<std::mt19937>());
}

int64_t Utils::randomLong() {
  std::uniform_int_distribution<int64_t> range(1, INT64_MAX);
  return range(seededEngine<std::mt19937_64>());
}

std::string Utils::getHomeDir() {
  char buffer[1024] = "";
  _homeDir(buffer, 1023);
  return buffer;
}

void _homeDir(char* homeDir, int32_t n) {
  if (!homeDir || n <= 0) return;
  const std::string home = platform::homeDir();
  if (home.empty()) return;
  const size_t count = std::min(home.size(), static_cast<size_t>(n));
  std::memcpy(homeDir, home.data(), count);
  homeDir[count] = '\0';
}
