#include "ui/UiTickets.h"

#include <fcntl.h>
#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <fstream>
#include <limits>
#include <stdexcept>

namespace {

const rapidjson::Value& member(const rapidjson::Document& document, const char* name) {
  const auto it = document.FindMember(name);
  if (it == document.MemberEnd()) throw std::runtime_error(std::string("no member ") + name);
  return it->value;
}

std::string text(const rapidjson::Value& value, const char* name) {
  if (!value.IsString()) throw std::runtime_error(std::string(name) + " is not a string");
  return std::string(value.GetString(), value.GetStringLength());
}

// One write() for the whole line, so that an appending reader or writer never sees it in parts.
void writeAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error(UiTickets::WRITE_ERROR);
    done += static_cast<size_t>(n);
  }
}

// Reads the next line, without its line end, into `line`; false at the end of the file. Only
// the first MAX_LINE_BYTES + 1 bytes of a longer line are kept, the rest is passed over, so a
// line of any length costs bounded memory and still fails as too long.
bool nextLine(std::istream& in, std::string& line) {
  line.clear();
  std::streambuf& buffer = *in.rdbuf();
  int c = buffer.sbumpc();
  if (c == std::char_traits<char>::eof()) return false;
  for (; c != std::char_traits<char>::eof() && c != '\n'; c = buffer.sbumpc()) {
    line.push_back(static_cast<char>(c));
    if (line.size() > UiTickets::MAX_LINE_BYTES) {
      in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
      break;
    }
  }
  return true;
}

bool endsWithoutLineEnd(int fd) {
  struct stat info;
  if (fstat(fd, &info) != 0 || info.st_size == 0) return false;
  char last = '\n';
  return pread(fd, &last, 1, info.st_size - 1) == 1 && last != '\n';
}

}  // namespace

UiTicket::UiTicket(const std::string& line) {
  if (line.size() > UiTickets::MAX_LINE_BYTES) throw std::runtime_error("line too long");
  rapidjson::Document document;
  // The default parser recurses once per nesting level: a line of brackets would overflow the
  // stack. The document's pool allocator frees without recursion too.
  document.Parse<rapidjson::kParseIterativeFlag>(line.c_str(), line.size());
  if (document.HasParseError()) throw std::runtime_error(rapidjson::GetParseError_En(document.GetParseError()));
  // RapidJSON's getters only assert on a wrong type, so every type is checked here.
  if (!document.IsObject()) throw std::runtime_error("not an object");
  to = text(member(document, "to"), "to");
  const rapidjson::Value& paths = member(document, "files");
  if (!paths.IsArray()) throw std::runtime_error("files is not an array");
  if (paths.Size() > UiTickets::MAX_FILES) throw std::runtime_error("too many files");
  for (const rapidjson::Value& path : paths.GetArray()) files.push_back(text(path, "files"));
  code = text(member(document, "code"), "code");
  const rapidjson::Value& created = member(document, "createdAt");
  if (!created.IsInt64()) throw std::runtime_error("createdAt is not an integer");
  createdAt = created.GetInt64();
}

bool UiTicket::isExpired(int64_t now) const {
  // Compared this way round so that no date in a file can overflow the subtraction.
  return createdAt < now - UiTickets::LIFETIME_SECONDS;
}

bool UiTicket::isExpired() const { return isExpired(static_cast<int64_t>(std::time(nullptr))); }

std::vector<UiTicket> UiTickets::read(const std::string& path) {
  std::vector<UiTicket> tickets;
  std::ifstream file(path);
  std::string line;
  while (file && nextLine(file, line)) {
    try {
      tickets.emplace_back(line);
    } catch (const std::exception&) {
      // A broken line (a crash while writing, an edit by hand) costs only itself.
    }
  }
  return tickets;
}

std::string UiTickets::line(const std::string& to, const std::vector<std::string>& files, const std::string& code,
                            int64_t createdAt) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  auto string = [&writer](const std::string& s) {
    writer.String(s.c_str(), static_cast<rapidjson::SizeType>(s.size()));
  };
  writer.StartObject();
  writer.Key("to");
  string(to);
  writer.Key("code");
  string(code);
  writer.Key("createdAt");
  writer.Int64(createdAt);
  writer.Key("files");
  writer.StartArray();
  for (const std::string& file : files) string(file);
  writer.EndArray();
  writer.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize());
}

void UiTickets::add(const std::string& to, const std::vector<std::string>& files, const std::string& code) {
  add(to, files, code, FILE_NAME, static_cast<int64_t>(std::time(nullptr)));
}

void UiTickets::add(const std::string& to, const std::vector<std::string>& files, const std::string& code,
                    const std::string& path, int64_t now) {
  std::string data = line(to, files, code, now) + "\n";
  const int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error(WRITE_ERROR);
  try {
    if (endsWithoutLineEnd(fd)) data.insert(0, "\n");
    writeAll(fd, data);
  } catch (...) {
    ::close(fd);
    throw;
  }
  if (::close(fd) != 0) throw std::runtime_error(WRITE_ERROR);
}
