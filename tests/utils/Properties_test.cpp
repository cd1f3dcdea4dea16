#include "utils/Properties.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <vector>

#include "platform/Platform.h"
#include "support/TestSupport.h"

using testsupport::failureOf;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

const std::string kUuid = "2c1f0e3a-9b7d-11ee-8c90-0242ac120002";
const std::string kKey = "0123456789abcdef0123456789abcdef01234567";

// The file exactly as save() lays it out.
std::string layout(const Properties& p) {
  return "[server]\nurl = " + p.serverUrl + "\nudpPort = " + std::to_string(p.serverUdpPort) +
         "\n\n[user]\nname = " + p.username + "\nkey = " + p.userkey +
         "\n\n[computer]\nuuid = " + p.uuid + "\nname = " + p.computerName +
         "\ntcp = " + std::to_string(p.tcpPort) + "\nrecvPath = " + p.recvPath + "\n";
}

// Hand-written, complete and valid, with formatting save() would not produce.
const std::string kHandWritten = "; settings\n[server]\nurl=https://example.org/\nudpPort = 4000\n\n"
                                 "[user]\n# who\nname = ann@example.org\nkey : " + kKey + "\n"
                                 "[computer]\nuuid = " + kUuid + "\nname = box\ntcp = 6000\nrecvPath = /data/in\n";

// Every stored value but the random uuid on one line, to compare a whole object at once.
std::string values(const Properties& p) {
  return p.serverUrl + " " + std::to_string(p.serverUdpPort) + " " + p.username + " " + p.userkey +
         " " + p.computerName + " " + std::to_string(p.tcpPort) + " " + p.recvPath;
}
const std::string kHandWrittenValues = "https://example.org/ 4000 ann@example.org " + kKey + " box 6000 /data/in";

// The notes of loading `file` when `note` is its one note, or "" for none.
std::vector<std::string> notes(const std::string& file, const std::string& note) {
  if (note.empty()) return {};
  return {file + ": " + note};
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  return text.replace(text.find(from), from.size(), to);
}

class PropertiesTest : public ::testing::Test {
 protected:
  testsupport::TempDir tmp;
  testsupport::ScopedEnv home{"HOME", tmp.path()};
  std::string file = tmp.file("properties.ini");

  // Files in the folder: more than the settings file alone is a save's temporary left behind.
  long files() const {
    return std::distance(std::filesystem::directory_iterator(tmp.path()), std::filesystem::directory_iterator());
  }
};

// Caps the size of files this process writes, so writes fail with EFBIG even for root.
struct FileSizeLimit {
  rlimit old{};
  void (*oldHandler)(int);
  explicit FileSizeLimit(rlim_t bytes) : oldHandler(std::signal(SIGXFSZ, SIG_IGN)) {
    ::getrlimit(RLIMIT_FSIZE, &old);
    rlimit cap = old;
    cap.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &cap);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
  }
};

}  // namespace

TEST_F(PropertiesTest, MissingFileIsCreatedWithDefaultsAndReadBack) {
  Properties p(file);
  EXPECT_EQ(p.serverUrl + " " + p.username + " " + p.userkey, "https://127.0.0.1:4443/ undefined undefined");
  EXPECT_EQ(p.uuid.size(), 36u);
  EXPECT_FALSE(p.computerName.empty());
  EXPECT_EQ(p.recvPath, tmp.path() + "/Downloads");
  EXPECT_EQ(readFile(file), layout(p));
  EXPECT_EQ(files(), 1);

  EXPECT_EQ(Properties(file).uuid, p.uuid);

  writeFile(file, kHandWritten);
  Properties handWritten(file);
  EXPECT_EQ(values(handWritten) + " " + handWritten.uuid, kHandWrittenValues + " " + kUuid);
  EXPECT_EQ(readFile(file), kHandWritten) << "a complete file is left as it is";
}

TEST_F(PropertiesTest, BadLineLosesOnlyItselfAndFileHeals) {
  const std::string host = platform::hostName().empty() ? "UNKNOWN" : platform::hostName();
  const std::string kept = file + ".bad";
  const std::string line9 = "line 9 cannot be read; kept as " + kept;
  struct Case {
    std::string from, to;  // the hand-written file with `from` replaced by `to`
    std::string expected;
    std::string note;  // after the file's name; a lost line also keeps the file as name.bad
  };
  const Case cases[] = {
      {"key : ", "this line has no separator\nkey : ", kHandWrittenValues, line9},
      {"recvPath = ", "recvPath = /" + std::string(300, 'x') + "\nrecvPath = ", kHandWrittenValues,
       "line 14 cannot be read; kept as " + kept},
      {"key : ", "name = second@example.org\nkey : ", kHandWrittenValues, line9},  // repeated key
      {"key : ", "   continued value\nkey : ", kHandWrittenValues, line9},        // continuation line
      {"key : ", std::string("zero\0byte = 1\nkey : ", 20), kHandWrittenValues, line9},
      {"key : ", "no separator\nname = again\nkey : ", kHandWrittenValues, line9},  // the first of two
      {"tcp = 6000", "tcp = 12ab", replaced(kHandWrittenValues, "6000", "5551"),
       "[computer] tcp \"12ab\" is not a port number (1 to 65535); using the default 5551"},
      {"name = box", "name = undefined", replaced(kHandWrittenValues, "box", host), ""},
      {"uuid = " + kUuid + "\n", "", kHandWrittenValues, ""},  // a new identity is made
  };
  for (const Case& bad : cases) {
    SCOPED_TRACE(bad.to);
    ::unlink(kept.c_str());
    const std::string text = replaced(kHandWritten, bad.from, bad.to);
    writeFile(file, text);
    Properties p(file);
    EXPECT_TRUE(p.isChanged);
    EXPECT_EQ(values(p), bad.expected);
    EXPECT_EQ(p.uuid.size(), 36u);
    EXPECT_EQ(p.uuid == kUuid, bad.to != "");
    EXPECT_EQ(p.notes, notes(file, bad.note));
    EXPECT_EQ(readFile(file), layout(p));
    const bool lostALine = bad.note.find("kept as") != std::string::npos;
    EXPECT_EQ(testsupport::fileExists(kept), lostALine);
    Properties healed(file);
    EXPECT_FALSE(healed.isChanged);
    EXPECT_TRUE(healed.notes.empty());
    if (lostALine) {
      EXPECT_EQ(readFile(kept), text) << "the healed file leaves the kept one alone";
    }
  }
}

// Values the programs can do nothing with: each takes its default, named with the value in a
// note, and the healed file loads without one. Values in range are taken as they stand.
TEST_F(PropertiesTest, UnusableValuesTakeTheirDefaultAndAreNamed) {
  const std::string downloads = tmp.path() + "/Downloads";
  const std::string port = " is not a port number (1 to 65535); using the default ";
  const std::string udp = "udpPort = 4000", tcp = "tcp = 6000";
  const std::string udpDefault = replaced(kHandWrittenValues, " 4000 ", " 4183 ");
  const std::string tcpDefault = replaced(kHandWrittenValues, " 6000 ", " 5551 ");
  const std::string tooLong = "/" + std::string(188, 'x');  // read whole as "recvPath=", not stored whole
  struct Case {
    std::string from, to, expected, note;
  };
  const Case cases[] = {
      {udp, "udpPort = abc", udpDefault, "[server] udpPort \"abc\"" + port + "4183"},
      {udp, "udpPort = 70000", udpDefault, "[server] udpPort \"70000\"" + port + "4183"},
      {udp, "udpPort = -4000", udpDefault, "[server] udpPort \"-4000\"" + port + "4183"},
      {udp, "udpPort =", udpDefault, "[server] udpPort \"\"" + port + "4183"},
      {tcp, "tcp = 0", tcpDefault, "[computer] tcp \"0\"" + port + "5551"},
      {tcp, "tcp = 6000.5", tcpDefault, "[computer] tcp \"6000.5\"" + port + "5551"},
      {tcp, "tcp = 99999999999999999999", tcpDefault, "[computer] tcp \"99999999999999999999\"" + port + "5551"},
      {"url=https://example.org/", "url =", replaced(kHandWrittenValues, "https://example.org/", "https://127.0.0.1:4443/"),
       "[server] url \"\" is empty; using the default https://127.0.0.1:4443/"},
      {"recvPath = /data/in", "recvPath =", replaced(kHandWrittenValues, "/data/in", downloads),
       "[computer] recvPath \"\" is empty; using the default " + downloads},
      {"recvPath = /data/in", "recvPath=" + tooLong, replaced(kHandWrittenValues, "/data/in", downloads),
       "[computer] recvPath \"" + tooLong + "\" cannot be stored: line longer than 199 characters; using the default " +
           downloads},
      {udp, "udpPort = 65535", replaced(kHandWrittenValues, " 4000 ", " 65535 "), ""},
      {tcp, "tcp = 1", replaced(kHandWrittenValues, " 6000 ", " 1 "), ""},
  };
  for (const Case& bad : cases) {
    SCOPED_TRACE(bad.to);
    const std::string text = replaced(kHandWritten, bad.from, bad.to);
    writeFile(file, text);
    Properties p(file);
    EXPECT_EQ(values(p), bad.expected);
    EXPECT_EQ(p.notes, notes(file, bad.note));
    EXPECT_EQ(p.isChanged, !bad.note.empty());
    EXPECT_EQ(readFile(file), bad.note.empty() ? text : layout(p));
    EXPECT_TRUE(Properties(file).notes.empty());
    EXPECT_EQ(files(), 1) << "a value named in a note needs no kept copy";
  }
}

// A file the program may not read is not lost when the new one takes its place. Root reads
// everything, so the load runs in a child process as an ordinary user.
TEST_F(PropertiesTest, AFileThatCannotBeReadIsKeptBeforeItIsReplaced) {
  writeFile(file, kHandWritten);
  const std::vector<std::string> expected =
      notes(file, "cannot be read (Permission denied), every setting takes its default; kept as " + file + ".bad");
  EXPECT_EXIT(
      {
        const uid_t nobody = 65534;
        if (::geteuid() == 0 && (::chown(tmp.path().c_str(), nobody, nobody) != 0 ||
                                 ::chown(file.c_str(), nobody, nobody) != 0 || ::setgid(nobody) != 0 ||
                                 ::setuid(nobody) != 0))
          std::_Exit(2);
        ::chmod(file.c_str(), 0);
        Properties p(file);
        for (const std::string& note : p.notes) std::cerr << note << "\n";
        const bool healedAndReadable = Properties(file).notes.empty();
        std::_Exit(p.notes == expected && p.username == "undefined" && healedAndReadable ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(readFile(file + ".bad"), kHandWritten);
  EXPECT_EQ(readFile(file).rfind("[server]\nurl = https://127.0.0.1:4443/\n", 0), 0u);
}

TEST_F(PropertiesTest, InterruptedSaveKeepsOldFileAndNextSaveRoundTrips) {
  writeFile(file, kHandWritten);
  ::chmod(file.c_str(), 0600);

  Properties p(file);
  p.setUsername("bob@example.org");
  p.setUserkey("fedcba9876543210");
  const std::string withoutUuid = replaced(kHandWritten, "uuid = " + kUuid + "\n", "");
  {
    FileSizeLimit full(16);  // every write of more than 16 bytes fails, also as root
    const std::string error = failureOf([&] { p.save(); });
    EXPECT_NE(error.find("cannot save " + file), std::string::npos) << error;
  }
  EXPECT_EQ(readFile(file), kHandWritten) << "neither the setters nor a failed save may write";

  // Loading still succeeds when its own save fails.
  writeFile(file, withoutUuid);
  {
    FileSizeLimit full(16);
    Properties loaded(file);
    EXPECT_TRUE(loaded.isChanged);
  }
  EXPECT_EQ(readFile(file), withoutUuid);
  EXPECT_EQ(files(), 1) << "a failed save leaves no temporary file";

  // Once the way is clear the next save goes through and keeps the owner's file mode.
  p.save();
  Properties q(file);
  EXPECT_FALSE(q.isChanged);
  EXPECT_EQ(values(q) + " " + q.uuid,
            replaced(replaced(kHandWrittenValues, "ann@", "bob@"), kKey, "fedcba9876543210") + " " + kUuid);
  struct stat st;
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(PropertiesTest, ValuesThatWouldNotReadBackAreRefused) {
  writeFile(file, kHandWritten);
  Properties p(file);
  for (const char* bad : {"eve@example.org\nkey = stolen", "abc\r", "ann@example.org ;x", " ann@example.org"}) {
    EXPECT_NE(failureOf([&] { p.setUsername(bad); }).find("cannot store [user] name"), std::string::npos);
    EXPECT_NE(failureOf([&] { p.setUserkey(bad); }).find("cannot store [user] key"), std::string::npos);
  }
  EXPECT_EQ(values(p), kHandWrittenValues);
  EXPECT_FALSE(p.isChanged);

  // The longest line the INI reader keeps whole is stored; one more character is refused.
  p.recvPath = "/" + std::string(Properties::MAX_LINE_LENGTH - std::string("recvPath = /").size(), 'x');
  p.isChanged = true;
  p.save();
  EXPECT_EQ(Properties(file).recvPath, p.recvPath);

  p.recvPath += "x";
  EXPECT_NE(failureOf([&] { p.save(); }).find("longer than 199"), std::string::npos);
  EXPECT_EQ(Properties(file).recvPath.size(), p.recvPath.size() - 1) << "nothing may be written";
}
