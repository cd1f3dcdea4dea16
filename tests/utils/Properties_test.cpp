#include "utils/Properties.h"

#include <INIReader.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <stdexcept>

#include "platform/Platform.h"
#include "support/TestSupport.h"

using testsupport::fileExists;
using testsupport::readFile;
using testsupport::ScopedEnv;
using testsupport::TempDir;
using testsupport::writeFile;

using testsupport::failureOf;

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
const std::string kHandWritten =
    "; settings\n"
    "[server]\n"
    "url=https://example.org/\n"
    "udpPort = 4000\n"
    "\n"
    "[user]\n"
    "# who\n"
    "name = ann@example.org\n"
    "key : " + kKey + "\n"
    "[computer]\n"
    "uuid = " + kUuid + "\n"
    "name = box\n"
    "tcp = 6000\n"
    "recvPath = /data/in\n";

void expectHandWrittenValues(const Properties& p) {
  EXPECT_EQ(p.serverUrl, "https://example.org/");
  EXPECT_EQ(p.serverUdpPort, 4000);
  EXPECT_EQ(p.username, "ann@example.org");
  EXPECT_EQ(p.userkey, kKey);
  EXPECT_EQ(p.uuid, kUuid);
  EXPECT_EQ(p.computerName, "box");
  EXPECT_EQ(p.tcpPort, 6000);
  EXPECT_EQ(p.recvPath, "/data/in");
}

std::string without(std::string text, const std::string& line) {
  size_t at = text.find(line);
  EXPECT_NE(at, std::string::npos) << line;
  return text.erase(at, line.size());
}

class PropertiesTest : public ::testing::Test {
 protected:
  TempDir tmp;
  ScopedEnv home{"HOME", tmp.path()};
  std::string file = tmp.file("properties.ini");
};

}  // namespace

TEST_F(PropertiesTest, EmptyObjectHasEveryDefault) {
  Properties p;
  EXPECT_EQ(p.appname, "mirel");
  EXPECT_EQ(p.serverUrl, "");
  EXPECT_EQ(p.username, "");
  EXPECT_EQ(p.uuid, "");
  EXPECT_EQ(p.recvPath, "");
  EXPECT_EQ(p.serverUdpPort, 4183);
  EXPECT_EQ(p.tcpPort, 5551);
  EXPECT_FALSE(p.isChanged);
}

TEST_F(PropertiesTest, MissingFileIsCreatedWithDefaults) {
  Properties p(file);
  EXPECT_EQ(p.filename, file);
  EXPECT_EQ(p.serverUrl, "https://127.0.0.1:4443/");
  EXPECT_EQ(p.serverUdpPort, 4183);
  EXPECT_EQ(p.username, "undefined");
  EXPECT_EQ(p.userkey, "undefined");
  EXPECT_EQ(p.uuid.size(), 36u);
  std::string host = platform::hostName();
  EXPECT_EQ(p.computerName, host.empty() ? "UNKNOWN" : host);
  EXPECT_EQ(p.tcpPort, 5551);
  EXPECT_EQ(p.recvPath, tmp.path() + "/Downloads");
  EXPECT_TRUE(p.isChanged);
  EXPECT_EQ(readFile(file), layout(p));
  EXPECT_FALSE(fileExists(file + ".tmp"));

  Properties again(file);
  EXPECT_FALSE(again.isChanged);
  EXPECT_EQ(again.uuid, p.uuid);
  EXPECT_EQ(readFile(file), layout(p));
}

TEST_F(PropertiesTest, CompleteFileIsLeftAsItIs) {
  writeFile(file, kHandWritten);
  Properties p(file);
  expectHandWrittenValues(p);
  EXPECT_FALSE(p.isChanged);
  EXPECT_EQ(readFile(file), kHandWritten);
}

TEST_F(PropertiesTest, KeysIgnoreLetterCase) {
  writeFile(file, "[SERVER]\nURL = https://example.org/\nUdpPort = 4000\n[User]\nNAME = ann@example.org\n"
                  "KEY = " + kKey + "\n[Computer]\nUUID = " + kUuid + "\nName = box\nTCP = 6000\n"
                  "RECVPATH = /data/in\n");
  Properties p(file);
  expectHandWrittenValues(p);
  EXPECT_FALSE(p.isChanged);
}

TEST_F(PropertiesTest, MissingIdentityIsMadeAndFileRewritten) {
  writeFile(file, without(kHandWritten, "uuid = " + kUuid + "\n"));
  Properties p(file);
  EXPECT_EQ(p.uuid.size(), 36u);
  EXPECT_NE(p.uuid, kUuid);
  EXPECT_EQ(p.username, "ann@example.org");
  EXPECT_EQ(readFile(file), layout(p));

  // "undefined" counts as missing, like an empty value.
  writeFile(file, without(kHandWritten, "name = box\n") + "name = undefined\n");
  Properties named(file);
  EXPECT_NE(named.computerName, "undefined");
  EXPECT_FALSE(named.computerName.empty());
  EXPECT_EQ(named.uuid, kUuid);
  EXPECT_EQ(readFile(file), layout(named));
}

TEST_F(PropertiesTest, BadLineLosesOnlyItselfAndFileHeals) {
  struct Case {
    std::string line;
    std::string before;  // inserted ahead of this text
  };
  const Case cases[] = {
      {"this line has no separator\n", "key : "},
      {"recvPath = /" + std::string(300, 'x') + "\n", "recvPath = "},  // past the line buffer
      {"name = second@example.org\n", "key : "},                 // repeated key
      {"   continued value\n", "key : "},                        // continuation line
      {"tcp = 12ab\n", "tcp = 6000\n"},                          // not a number
  };
  for (const Case& bad : cases) {
    SCOPED_TRACE(bad.line);
    std::string text = kHandWritten;
    text.insert(text.find(bad.before), bad.line);
    bool badPort = bad.line.rfind("tcp", 0) == 0;
    if (badPort) text = without(text, "tcp = 6000\n");
    writeFile(file, text);

    Properties p(file);
    EXPECT_TRUE(p.isChanged);
    EXPECT_EQ(p.username, "ann@example.org");
    EXPECT_EQ(p.userkey, kKey);
    EXPECT_EQ(p.uuid, kUuid);
    EXPECT_EQ(p.recvPath, "/data/in");
    EXPECT_EQ(p.tcpPort, badPort ? 5551 : 6000);
    EXPECT_EQ(readFile(file), layout(p));
    EXPECT_FALSE(Properties(file).isChanged);
  }
}

TEST_F(PropertiesTest, NewUserSurvivesSaveAndReload) {
  writeFile(file, kHandWritten);
  Properties p(file);
  p.setUsername("bob@example.org");
  p.setUserkey("fedcba9876543210fedcba9876543210fedcba98");
  EXPECT_TRUE(p.isChanged);
  EXPECT_EQ(readFile(file), kHandWritten) << "set alone must not write";
  p.save();

  Properties q(file);
  EXPECT_FALSE(q.isChanged);
  EXPECT_EQ(q.username, "bob@example.org");
  EXPECT_EQ(q.userkey, "fedcba9876543210fedcba9876543210fedcba98");
  EXPECT_EQ(q.uuid, kUuid);
  EXPECT_EQ(q.serverUdpPort, 4000);
  EXPECT_EQ(q.recvPath, "/data/in");
}

TEST_F(PropertiesTest, FailedSaveReportsAndKeepsOldFile) {
  writeFile(file, kHandWritten);
  ::chmod(file.c_str(), 0600);
  std::filesystem::create_directory(file + ".tmp");  // the temporary file cannot be made

  Properties p(file);
  p.setUsername("bob@example.org");
  std::string error = failureOf([&] { p.save(); });
  EXPECT_NE(error.find("cannot save " + file), std::string::npos) << error;
  EXPECT_EQ(readFile(file), kHandWritten);

  // Loading still succeeds when its own save fails.
  writeFile(file, without(kHandWritten, "uuid = " + kUuid + "\n"));
  std::string before = readFile(file);
  Properties loaded(file);
  EXPECT_TRUE(loaded.isChanged);
  EXPECT_EQ(loaded.uuid.size(), 36u);
  EXPECT_EQ(readFile(file), before);

  // Once the way is clear the next save goes through and keeps the owner's file mode.
  std::filesystem::remove(file + ".tmp");
  p.save();
  EXPECT_EQ(Properties(file).username, "bob@example.org");
  EXPECT_FALSE(fileExists(file + ".tmp"));
  struct stat st;
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(PropertiesTest, ValuesThatWouldNotReadBackAreRefused) {
  writeFile(file, kHandWritten);
  Properties p(file);

  std::string error = failureOf([&] { p.setUsername("eve@example.org\nkey = stolen"); });
  EXPECT_NE(error.find("[user] name"), std::string::npos) << error;
  EXPECT_NE(error.find("line break"), std::string::npos) << error;
  EXPECT_NE(failureOf([&] { p.setUserkey("abc\r"); }).find("[user] key"), std::string::npos);
  EXPECT_NE(failureOf([&] { p.setUsername("ann@example.org ;x"); }), "");
  EXPECT_NE(failureOf([&] { p.setUsername(" ann@example.org"); }), "");
  EXPECT_EQ(p.username, "ann@example.org");
  EXPECT_FALSE(p.isChanged);

  p.isChanged = true;
  p.recvPath = "/" + std::string(300, 'x');
  error = failureOf([&] { p.save(); });
  EXPECT_NE(error.find("[computer] recvPath"), std::string::npos) << error;
  EXPECT_NE(error.find("longer than 199"), std::string::npos) << error;
  EXPECT_EQ(readFile(file), kHandWritten) << "nothing may be written";
}

TEST_F(PropertiesTest, LongestLineReadsBackWhole) {
  // The INI reader keeps 199 characters of a line and cuts longer ones.
  auto readBack = [&](size_t length) {
    std::string line = "v = " + std::string(length - 4, 'x');
    writeFile(file, "[s]\n" + line + "\n");
    return INIReader(file).Get("s", "v", "") == line.substr(4);
  };
  EXPECT_TRUE(readBack(Properties::MAX_LINE_LENGTH));
  EXPECT_FALSE(readBack(Properties::MAX_LINE_LENGTH + 1));

  writeFile(file, kHandWritten);
  Properties p(file);
  p.recvPath = "/" + std::string(Properties::MAX_LINE_LENGTH - std::string("recvPath = /").size(), 'x');
  p.isChanged = true;
  p.save();
  EXPECT_EQ(Properties(file).recvPath, p.recvPath);

  p.recvPath += "x";
  EXPECT_THROW(p.save(), std::runtime_error);
  EXPECT_EQ(Properties(file).recvPath.size(), p.recvPath.size() - 1);
}
