#pragma once

#include <cstdint>
#include <map>
#include <sstream>
#include <string>
#include <vector>

// Small text and number helpers used by every layer. Stateless apart from the
// per-thread random engines.
class Utils {
 public:
  // printf-style formatting; throws "asprintf error" when the formatter fails.
  static std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

  // Percent-encodes every byte except A-Z, a-z, 0-9 and "-_.~" (uppercase hex).
  static std::string urlEncode(const std::string& s);

  // "k1=v1&k2=v2" to a map; first occurrence of a key wins, nothing is decoded.
  static std::map<std::string, std::string> urlQuery(const std::string& query);

  // Pieces between matches of an ECMAScript pattern; a trailing empty piece is dropped,
  // and an input the pattern never matches comes back whole.
  static std::vector<std::string> split(const std::string& str, const std::string& regex_str);

  // Text from the network made safe for one log line: control bytes become '?' and the result
  // is cut to `limit` bytes ("..." marks a cut).
  static std::string printable(const std::string& text, size_t limit = 200);

  // Copy without leading and trailing POSIX white space.
  static std::string trim(const std::string& s);

  template <typename Iterator>
  static std::string join(Iterator first, Iterator last, const char* delim) {
    std::ostringstream out;
    for (Iterator it = first; it != last;) {
      out << *it;
      if (++it != last) out << delim;
    }
    return out.str();
  }

  static int32_t randomInt();   // uniform in [1, 2^31 - 1]
  static int64_t randomLong();  // uniform in [1, 2^63 - 1]

  // The user's home folder (at most 1023 characters), empty when none is known.
  static std::string getHomeDir();
};

// Stores the home folder in `homeDir`, at most `n` characters plus a terminating zero,
// so the buffer must hold n + 1 bytes. Leaves the buffer unchanged when none is known.
void _homeDir(char* homeDir, int32_t n);
