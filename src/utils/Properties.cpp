#include "utils/Properties.h"

#include <fcntl.h>
#include <ini.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "platform/Platform.h"
#include "sole/sole.h"
#include "utils/Utils.h"

namespace {

// The stand-in web server's default address.
const char* const kDefaultServerUrl = "https://127.0.0.1:4443/";
const char* const kUndefined = "undefined";

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

// --- Reading ---------------------------------------------------------------

// Feeds the INI parser one physical line at a time. A line too long for the parser's
// buffer would come back cut, its value wrong and its rest taken for another line; such
// a line (or one holding a zero byte) is handed over empty and the file marked damaged.
struct LineSource {
  FILE* file = nullptr;
  char* buf = nullptr;
  size_t cap = 0;
  bool damaged = false;
};

char* readLine(char* str, int num, void* stream) {
  auto* src = static_cast<LineSource*>(stream);
  ssize_t got = getline(&src->buf, &src->cap, src->file);
  if (got < 0) return nullptr;
  size_t len = static_cast<size_t>(got);
  if (len > 0 && src->buf[len - 1] == '\n') len--;
  size_t fits = std::min(static_cast<size_t>(num - 1), Properties::MAX_LINE_LENGTH);
  if (len > fits || std::memchr(src->buf, 0, len)) {
    src->damaged = true;
    len = 0;
  }
  std::memcpy(str, src->buf, len);
  str[len] = '\0';
  return str;
}

// Values by lowercase section and key, as the INI reader's users expect.
struct Entries {
  std::map<std::pair<std::string, std::string>, std::string> values;
  bool damaged = false;
};

int storeEntry(void* user, const char* section, const char* name, const char* value) {
  auto* entries = static_cast<Entries*>(user);
  auto key = std::make_pair(lower(section), lower(name));
  // A repeated key or a continuation line was not written by save(): the first value stays.
  if (!entries->values.emplace(key, value).second) entries->damaged = true;
  return 1;
}

// An unreadable file gives no entries and counts as damaged; a missing one only gives none.
Entries readEntries(const std::string& filename) {
  Entries entries;
  FILE* file = std::fopen(filename.c_str(), "re");
  if (!file) {
    entries.damaged = errno != ENOENT;
    return entries;
  }
  LineSource source;
  source.file = file;
  int rc = ini_parse_stream(readLine, &source, storeEntry, &entries);
  bool readFailed = std::ferror(file) != 0;
  std::free(source.buf);
  std::fclose(file);
  if (readFailed) entries.values.clear();
  if (rc != 0 || source.damaged || readFailed) entries.damaged = true;
  return entries;
}

// --- Checking values before they are written ------------------------------

int captureValue(void* user, const char*, const char*, const char* value) {
  *static_cast<std::string*>(user) = value;
  return 1;
}

bool readsBack(const std::string& line, const std::string& value) {
  std::string text = "[s]\n" + line + "\n";
  std::string got;
  return ini_parse_string(text.c_str(), captureValue, &got) == 0 && got == value;
}

// Why "key = value" cannot be stored, or "" when it can.
std::string unstorableReason(const std::string& key, const std::string& value) {
  if (value.find_first_of("\r\n") != std::string::npos) return "value contains a line break";
  std::string line = key + " = " + value;
  if (line.size() > Properties::MAX_LINE_LENGTH)
    return "line longer than " + std::to_string(Properties::MAX_LINE_LENGTH) + " characters";
  if (!readsBack(line, value)) return "value would not read back as written";
  return "";
}

void requireStorable(const char* section, const char* key, const std::string& value) {
  std::string reason = unstorableReason(key, value);
  if (!reason.empty())
    throw std::runtime_error(std::string("cannot store [") + section + "] " + key + ": " + reason);
}

// Looks values up, taking the default for anything that is missing or unusable.
class Reader {
 public:
  explicit Reader(Entries entries) : _entries(std::move(entries)) {}

  bool damaged() const { return _entries.damaged; }

  std::string get(const char* section, const char* key, const std::string& fallback) {
    const std::string* value = find(section, key);
    if (!value) return fallback;
    // A value the file could not hold back (a hand-edited line) is healed, not kept.
    if (!unstorableReason(key, *value).empty()) {
      _entries.damaged = true;
      return fallback;
    }
    return *value;
  }

  int32_t getInt(const char* section, const char* key, int32_t fallback) {
    const std::string* value = find(section, key);
    if (!value) return fallback;
    errno = 0;
    char* end = nullptr;
    long number = std::strtol(value->c_str(), &end, 10);
    if (value->empty() || *end != '\0' || errno == ERANGE || number < INT32_MIN ||
        number > INT32_MAX) {
      _entries.damaged = true;
      return fallback;
    }
    return static_cast<int32_t>(number);
  }

 private:
  const std::string* find(const char* section, const char* key) const {
    auto it = _entries.values.find(std::make_pair(lower(section), lower(key)));
    return it == _entries.values.end() ? nullptr : &it->second;
  }

  Entries _entries;
};

bool isMissing(const std::string& value) { return value.empty() || value == kUndefined; }

// --- Writing ----------------------------------------------------------------

[[noreturn]] void saveFailed(const std::string& filename, int err) {
  throw std::runtime_error("cannot save " + filename + ": " + std::system_category().message(err));
}

int writeAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    done += static_cast<size_t>(n);
  }
  return 0;
}

// Writes a sibling temporary file, makes it durable, then renames it over the old file,
// so a failure at any step leaves the old file as it was.
void replaceFile(const std::string& filename, const std::string& text) {
  // A unique name, so two programs saving at once never write into one temporary file;
  // mkstemp also creates it 0600, right for a new file that holds the user key.
  std::string tmp = filename + ".XXXXXX";
  int fd = ::mkostemp(tmp.data(), O_CLOEXEC);
  if (fd < 0) saveFailed(filename, errno);

  int err = 0;
  struct stat old;
  // The file holds the user key: a mode its owner tightened must survive the rename.
  if (::stat(filename.c_str(), &old) == 0 && ::fchmod(fd, old.st_mode & 07777) != 0) err = errno;
  if (!err) err = writeAll(fd, text);
  if (!err && ::fsync(fd) != 0) err = errno;
  if (::close(fd) != 0 && !err) err = errno;
  if (!err && ::rename(tmp.c_str(), filename.c_str()) != 0) err = errno;
  if (err) {
    ::unlink(tmp.c_str());
    saveFailed(filename, err);
  }
}

}  // namespace

Properties::Properties(std::string path) {
  Reader reader(readEntries(path));
  filename = std::move(path);
  serverUrl = reader.get("server", "url", kDefaultServerUrl);
  serverUdpPort = reader.getInt("server", "udpPort", 4183);
  username = reader.get("user", "name", kUndefined);
  userkey = reader.get("user", "key", kUndefined);
  uuid = reader.get("computer", "uuid", kUndefined);
  computerName = reader.get("computer", "name", kUndefined);
  recvPath = reader.get("computer", "recvPath", Utils::getHomeDir() + "/Downloads");
  tcpPort = reader.getInt("computer", "tcp", 5551);
  isChanged = reader.damaged();

  if (isMissing(uuid)) {
    uuid = sole::uuid1().str();
    isChanged = true;
  }
  if (isMissing(computerName)) {
    computerName = platform::hostName();
    if (computerName.empty()) computerName = "UNKNOWN";
    isChanged = true;
  }

  try {
    save();
  } catch (const std::exception&) {
    // Loading never fails; isChanged stays set, so the next save() tries again and reports.
  }
}

void Properties::setUsername(std::string name) {
  requireStorable("user", "name", name);
  username = std::move(name);
  isChanged = true;
}

void Properties::setUserkey(std::string key) {
  requireStorable("user", "key", key);
  userkey = std::move(key);
  isChanged = true;
}

void Properties::save() {
  if (!isChanged) return;
  requireStorable("server", "url", serverUrl);
  requireStorable("user", "name", username);
  requireStorable("user", "key", userkey);
  requireStorable("computer", "uuid", uuid);
  requireStorable("computer", "name", computerName);
  requireStorable("computer", "recvPath", recvPath);

  std::string text;
  text += "[server]\n";
  text += "url = " + serverUrl + "\n";
  text += "udpPort = " + std::to_string(serverUdpPort) + "\n";
  text += "\n";
  text += "[user]\n";
  text += "name = " + username + "\n";
  text += "key = " + userkey + "\n";
  text += "\n";
  text += "[computer]\n";
  text += "uuid = " + uuid + "\n";
  text += "name = " + computerName + "\n";
  text += "tcp = " + std::to_string(tcpPort) + "\n";
  text += "recvPath = " + recvPath + "\n";
  replaceFile(filename, text);
}
