#include "utils/Properties.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <filesystem>

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
  struct Case {
    std::string from, to;  // the hand-written file with `from` replaced by `to`
    std::string expected;
  };
  const Case cases[] = {
      {"key : ", "this line has no separator\nkey : ", kHandWrittenValues},
      {"recvPath = ", "recvPath = /" + std::string(300, 'x') + "\nrecvPath = ", kHandWrittenValues},
      {"key : ", "name = second@example.org\nkey : ", kHandWrittenValues},  // repeated key
      {"key : ", "   continued value\nkey : ", kHandWrittenValues},        // continuation line
      {"tcp = 6000", "tcp = 12ab", replaced(kHandWrittenValues, "6000", "5551")},
      {"name = box", "name = undefined", replaced(kHandWrittenValues, "box", host)},
      {"uuid = " + kUuid + "\n", "", kHandWrittenValues},  // a new identity is made
  };
  for (const Case& bad : cases) {
    SCOPED_TRACE(bad.to);
    writeFile(file, replaced(kHandWritten, bad.from, bad.to));
    Properties p(file);
    EXPECT_TRUE(p.isChanged);
    EXPECT_EQ(values(p), bad.expected);
    EXPECT_EQ(p.uuid.size(), 36u);
    EXPECT_EQ(p.uuid == kUuid, bad.to != "");
    EXPECT_EQ(readFile(file), layout(p));
    EXPECT_FALSE(Properties(file).isChanged);
  }
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
