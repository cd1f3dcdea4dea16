// The offers file: every offer the desktop program made, one compact JSON object per line
// ({"to":...,"code":...,"createdAt":...,"files":[...]}), appended when a code arrives and read
// at start-up so that the engine offers the unexpired ones again under their old codes.
// Lines are only ever appended.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct UiTicket {
  // Parses one line; throws std::runtime_error when it is not one JSON object with the four
  // members of the right types, or when it is longer or holds more paths than the bounds of
  // UiTickets. Any nesting is parsed without recursion.
  explicit UiTicket(const std::string& line);

  // Older than seven days at `now` (seconds since 1970); exactly seven days is not expired.
  bool isExpired(int64_t now) const;
  bool isExpired() const;

  std::string to;
  std::vector<std::string> files;
  std::string code;
  int64_t createdAt = 0;
};

class UiTickets {
 public:
  static constexpr const char* FILE_NAME = "tickets.json";
  static constexpr int64_t LIFETIME_SECONDS = 604800;
  static constexpr const char* WRITE_ERROR = "can't write to tickets.json";
  // Bounds on a line and on its paths, far above any offer the engine can make (its paths go to
  // the peer in one frame of 61440 bytes); a line beyond them is not ours and is skipped.
  static constexpr size_t MAX_LINE_BYTES = size_t{1} << 20;
  static constexpr size_t MAX_FILES = 16384;

  // Every readable offer in file order; lines that are not offers are skipped. Empty when the
  // file cannot be read.
  static std::vector<UiTicket> read(const std::string& path = FILE_NAME);

  // Appends one line dated `now`, written in one piece. A last line cut short (a crash in an
  // earlier write) is ended first, so the new line stays readable. Throws std::runtime_error
  // WRITE_ERROR when the file cannot be written.
  static void add(const std::string& to, const std::vector<std::string>& files, const std::string& code);
  static void add(const std::string& to, const std::vector<std::string>& files, const std::string& code,
                  const std::string& path, int64_t now);

  // The line for an offer, without its line end.
  static std::string line(const std::string& to, const std::vector<std::string>& files, const std::string& code,
                          int64_t createdAt);
};
