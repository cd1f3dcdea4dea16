#include "utils/Properties.h"

#include <fcntl.h>
#include <ini.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
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

// Values by lowercase section and key, as the INI reader's users expect, and what of the
// file could not be taken.
struct Entries {
  std::map<std::pair<std::string, std::string>, std::string> values;
  int linesRead = 0;
  int firstLostLine = 0;  // 0 when every line was taken
  int readError = 0;      // errno of a file that is there but cannot be read

  void lose(int line) {
    if (firstLostLine == 0 || line < firstLostLine) firstLostLine = line;
  }
  bool damaged() const { return firstLostLine != 0 || readError != 0; }
};

// Feeds the INI parser one physical line at a time. A line too long for the parser's
// buffer would come back cut, its value wrong and its rest taken for another line; such
// a line (or one holding a zero byte) is handed over empty and counted as lost.
struct LineSource {
  FILE* file = nullptr;
  char* buf = nullptr;
  size_t cap = 0;
  Entries* entries = nullptr;
};

char* readLine(char* str, int num, void* stream) {
  auto* src = static_cast<LineSource*>(stream);
  ssize_t got = getline(&src->buf, &src->cap, src->file);
  if (got < 0) {
    if (std::ferror(src->file)) src->entries->readError = errno ? errno : EIO;
    return nullptr;
  }
  src->entries->linesRead++;
  size_t len = static_cast<size_t>(got);
  if (len > 0 && src->buf[len - 1] == '\n') len--;
  size_t fits = std::min(static_cast<size_t>(num - 1), Properties::MAX_LINE_LENGTH);
  if (len > fits || std::memchr(src->buf, 0, len)) {
    src->entries->lose(src->entries->linesRead);
    len = 0;
  }
  std::memcpy(str, src->buf, len);
  str[len] = '\0';
  return str;
}

int storeEntry(void* user, const char* section, const char* name, const char* value) {
  auto* entries = static_cast<Entries*>(user);
  auto key = std::make_pair(lower(section), lower(name));
  // A repeated key or a continuation line was not written by save(): the first value stays.
  if (!entries->values.emplace(key, value).second) entries->lose(entries->linesRead);
  return 1;
}

// A missing file only gives no entries; a file that cannot be read gives none and its error.
Entries readEntries(const std::string& filename) {
  Entries entries;
  FILE* file = std::fopen(filename.c_str(), "re");
  if (!file) {
    if (errno != ENOENT && errno != ENOTDIR) entries.readError = errno;
    return entries;
  }
  LineSource source;
  source.file = file;
  source.entries = &entries;
  int rc = ini_parse_stream(readLine, &source, storeEntry, &entries);
  std::free(source.buf);
  std::fclose(file);
  if (rc < 0 && entries.readError == 0) entries.readError = ENOMEM;  // the parser's own buffer
  if (rc > 0) entries.lose(rc);  // the first line the parser could not make sense of
  if (entries.readError != 0) entries.values.clear();
  return entries;
}

// Keeps the file's bytes as `kept` without reading them (the file may be unreadable): a second
// name for it, so the settings file stays as it is until a save replaces it. Returns why it
// could not be kept, or "".
std::string keepAside(const std::string& filename, const std::string& kept) {
  struct stat info;
  if (::stat(filename.c_str(), &info) != 0) return std::strerror(errno);
  if (!S_ISREG(info.st_mode)) return "not a regular file";
  if (::unlink(kept.c_str()) != 0 && errno != ENOENT) return std::strerror(errno);
  if (::link(filename.c_str(), kept.c_str()) == 0) return "";
  // A file system without hard links: the file moves, and the save that follows makes a new one.
  if (::rename(filename.c_str(), kept.c_str()) == 0) return "";
  return std::strerror(errno);
}

// The note for a file that lost lines or could not be read, after keeping it as name.bad.
std::string keepDamaged(const std::string& filename, const Entries& entries) {
  std::string note = filename + ": ";
  if (entries.readError != 0)
    note += std::string("cannot be read (") + std::strerror(entries.readError) + "), every setting takes its default";
  else
    note += "line " + std::to_string(entries.firstLostLine) + " cannot be read";
  const std::string kept = filename + ".bad";
  const std::string failure = keepAside(filename, kept);
  return note + (failure.empty() ? "; kept as " + kept : "; not kept as " + kept + ": " + failure);
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

// Looks values up, taking the default for anything that is missing or unusable, and notes
// every value it replaces.
class Reader {
 public:
  Reader(const Entries& entries, std::string filename) : _entries(entries), _filename(std::move(filename)) {}

  bool healed() const { return _healed; }
  std::vector<std::string> takeNotes() { return std::move(_notes); }

  std::string get(const char* section, const char* key, const std::string& fallback) {
    const std::string* value = find(section, key);
    if (!value) return fallback;
    // A value the file could not hold back (a hand-edited line) is healed, not kept.
    const std::string reason = unstorableReason(key, *value);
    if (!reason.empty()) return replaced(section, key, *value, "cannot be stored: " + reason, fallback);
    return *value;
  }

  // For the values that nothing can work with when empty.
  std::string getNonEmpty(const char* section, const char* key, const std::string& fallback) {
    const std::string* value = find(section, key);
    if (value && value->empty()) return replaced(section, key, *value, "is empty", fallback);
    return get(section, key, fallback);
  }

  int32_t getPort(const char* section, const char* key, int32_t fallback) {
    const std::string* value = find(section, key);
    if (!value) return fallback;
    errno = 0;
    char* end = nullptr;
    long number = std::strtol(value->c_str(), &end, 10);
    if (value->empty() || *end != '\0' || errno == ERANGE || number < 1 || number > 65535) {
      replaced(section, key, *value, "is not a port number (1 to 65535)", std::to_string(fallback));
      return fallback;
    }
    return static_cast<int32_t>(number);
  }

 private:
  const std::string* find(const char* section, const char* key) const {
    auto it = _entries.values.find(std::make_pair(lower(section), lower(key)));
    return it == _entries.values.end() ? nullptr : &it->second;
  }

  const std::string& replaced(const char* section, const char* key, const std::string& value,
                              const std::string& problem, const std::string& fallback) {
    _notes.push_back(_filename + ": [" + section + "] " + key + " \"" + value + "\" " + problem +
                     "; using the default " + fallback);
    _healed = true;
    return fallback;
  }

  const Entries& _entries;
  const std::string _filename;
  std::vector<std::string> _notes;
  bool _healed = false;
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
  // The file holds the user key: a mode its owner tightened must survive the rename, short of
  // one that keeps the program from reading its own file back.
  if (::stat(filename.c_str(), &old) == 0 && ::fchmod(fd, (old.st_mode & 07777) | S_IRUSR | S_IWUSR) != 0)
    err = errno;
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
  const Entries entries = readEntries(path);
  // Kept before the save below writes the healed file over it.
  if (entries.damaged()) notes.push_back(keepDamaged(path, entries));
  Reader reader(entries, path);
  filename = std::move(path);
  serverUrl = reader.getNonEmpty("server", "url", kDefaultServerUrl);
  serverUdpPort = reader.getPort("server", "udpPort", 4183);
  username = reader.get("user", "name", kUndefined);
  userkey = reader.get("user", "key", kUndefined);
  uuid = reader.get("computer", "uuid", kUndefined);
  computerName = reader.get("computer", "name", kUndefined);
  recvPath = reader.getNonEmpty("computer", "recvPath", Utils::getHomeDir() + "/Downloads");
  tcpPort = reader.getPort("computer", "tcp", 5551);
  isChanged = entries.damaged() || reader.healed();
  for (std::string& note : reader.takeNotes()) notes.push_back(std::move(note));

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
