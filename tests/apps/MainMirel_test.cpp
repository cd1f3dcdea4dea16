// The console program as a user runs it: its checks, messages and exit statuses, the account it
// stores, and how it starts and stops. No server is needed: a program that passes its checks
// starts its engine (which cannot log in here) and is stopped by a signal.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

#include "apps/MirelProcess.h"
#include "support/ServerProcess.h"
#include "support/TestSupport.h"

namespace {

using apptest::Launch;
using apptest::MirelProcess;
using testsupport::TempDir;

// The help opens with what the program is and ends with the options.
const std::string HELP_START = "\nMirel Peer to Peer Send or Receive files.\n\nUsage Examples:\n";
const std::string HELP_END = "  -h, --help          \n\n";

const std::string UUID = "5f0c2a6e-2b1d-11ef-8000-0242ac120002";

std::string key(const std::string& user, const std::string& password) { return servertest::userKey(user, password); }

// A complete settings file (nothing to heal on loading), with the engine pointed at nothing;
// `user` is the [user] section's lines.
std::string settingsText(const std::string& dir, const std::string& user) {
  return "[server]\nurl = https://127.0.0.1:9/\nudpPort = 9\n\n[user]\n" + user + "\n[computer]\nuuid = " + UUID +
         "\nname = test computer\ntcp = " + std::to_string(servertest::randomFreePort()) + "\nrecvPath = " + dir + "\n";
}

// A working folder with a file to send and, when asked, the settings of a@x (password "pa").
struct Home {
  TempDir temp;
  std::string dir = temp.path();
  std::string settings = temp.file("properties.ini");
  explicit Home(bool withSettings) {
    if (withSettings) testsupport::writeFile(settings, settingsText(dir, "name = a@x\nkey = " + key("a@x", "pa") + "\n"));
    testsupport::writeFile(temp.file("a.txt"), "a");
  }
  Launch launch(const std::string& input = "") const { return Launch(dir, input); }
};

// The help, then the reason when there is one.
::testing::AssertionResult printsTheHelp(const std::string& out, const std::string& reason = "") {
  const std::string end = HELP_END + (reason.empty() ? "" : "\nerror parsing args: " + reason + "\n");
  if (out.rfind(HELP_START, 0) == 0 && out.size() >= end.size() && out.compare(out.size() - end.size(), end.size(), end) == 0)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "out: " << out;
}

// The program ran its engine (it got past every check and settings step) and stops on `signum`.
::testing::AssertionResult startsAndStopsOn(MirelProcess& program, int signum) {
  const bool started = testsupport::eventually(
      [&] {
        const std::string out = program.out();
        return out.find("listening http") != std::string::npos || out.find("Can't listen http") != std::string::npos;
      },
      10000);
  if (!started)
    return ::testing::AssertionFailure() << "did not start; out: " << program.out() << " err: " << program.err();
  const int status = program.stop(signum);
  if (status != 128 + signum) return ::testing::AssertionFailure() << "exit status " << status;
  return ::testing::AssertionSuccess();
}

// The command line alone: help exits 0 whatever else is given; a refusal prints the help and its
// reason and exits 2; neither makes a settings file. What passes (reason "") runs its engine.
TEST(MainMirelChecks, EveryFlagCombinationAndMissingValueInOrder) {
  struct Row {
    std::vector<std::string> args;
    std::string reason;
    std::string input = "";
  };
  const std::string flags = "one of -s or -r or -l is required";
  const std::vector<Row> rows = {
      {{"-h"}, "help"},
      {{"-s", "-r", "--help"}, "help"},
      {{"-l", "-u", "a@x", "-p", "pa", "-h"}, "help"},
      // The flags: none and every pair fail; each alone and all three pass on to the values.
      {{}, flags},
      {{"-c", "C", "-f", "a.txt", "-t", "b@x", "-u", "a@x", "-p", "pa"}, flags},
      {{"-s", "-r", "-c", "C", "-f", "a.txt", "-t", "b@x"}, flags},
      {{"-s", "-l", "-f", "a.txt", "-t", "b@x", "-u", "a@x", "-p", "pa"}, flags},
      {{"-r", "-l", "-c", "C", "-u", "a@x", "-p", "pa"}, flags},
      {{"-s"}, "file is required"},
      {{"-r"}, "code is required"},
      {{"-l"}, "user is required"},
      {{"-s", "-r", "-l"}, "file is required"},
      {{"-l", "-u", "a@x", "-p", "pa"}, ""},
      {{"-r", "-c", "C"}, ""},
      {{"-s", "-f", "a.txt", "-t", "b@x"}, ""},
      {{"-s", "-f", ".", "-t", "b@x", "-c", "C"}, ""},
      {{"-s", "-r", "-l", "-f", "a.txt", "-t", "b@x", "-u", "a@x", "-p", "pa"}, ""},
      // The missing values, in order.
      {{"-s", "-t", "b@x"}, "file is required"},
      {{"-s", "-f", "a.txt"}, "to is required"},
      {{"-l", "-p", "pa"}, "user is required"},
      {{"-l", "-u", "a@x"}, "password is required"},
      {{"-s", "-r", "-l", "-f", "a.txt", "-t", "b@x"}, "user is required"},
      {{"-s", "-r", "-l", "-f", "a.txt", "-t", "b@x", "-u", "a@x"}, "password is required"},
      {{"-r", "-u", "a@x", "-p", "pa"}, "code is required"},
      {{"-l", "-u", "a@x", "-p", "-"}, "password is required", ""},
      {{"-r", "-c", "C", "-p", "-"}, "password is required", "\n"},
      {{"-r", "-p", "-"}, "code is required", "pw\n"},
      // What is offered must be a readable file or folder.
      {{"-s", "-f", "missing.txt", "-t", "b@x"}, "cannot read missing.txt: No such file or directory"},
      {{"-s", "-f", "a.txt/", "-t", "b@x"}, "cannot read a.txt/: Not a directory"},
      {{"-s", "-f", "/dev/null", "-t", "b@x"}, "cannot read /dev/null: not a file or folder"},
      // What the option library refuses.
      {{"-x"}, "Option ‘x’ does not exist"},
      {{"-r", "-c"}, "Option ‘c’ is missing an argument"},
      {{"-s", "-f", "a.txt", "b.txt", "-t", "b@x"}, "unexpected argument b.txt"},
  };
  for (const Row& row : rows) {
    Home home(row.reason.empty());
    std::string line;
    for (const std::string& arg : row.args) line += arg + " ";
    MirelProcess program(row.args, home.launch(row.input));
    if (row.reason.empty()) {
      EXPECT_TRUE(startsAndStopsOn(program, SIGTERM)) << line;
      continue;
    }
    const bool help = row.reason == "help";
    EXPECT_EQ(program.waitExit(), help ? 0 : 2) << line;
    EXPECT_TRUE(printsTheHelp(program.out(), help ? "" : row.reason)) << line;
    EXPECT_EQ(program.err(), "") << line;
    EXPECT_FALSE(testsupport::fileExists(home.settings)) << line;
  }
}

// The name and key lines of the [user] section; "" for a line that is not there.
std::pair<std::string, std::string> storedAccount(const std::string& settings) {
  const std::string text = testsupport::readFile(settings);
  const size_t begin = text.find("[user]\n");
  const std::string section = text.substr(begin, text.find("\n[", begin) - begin) + "\n";
  auto value = [&](const std::string& prefix) {
    const size_t at = section.find("\n" + prefix);
    if (at == std::string::npos) return std::string();
    const size_t start = at + 1 + prefix.size();
    return section.substr(start, section.find('\n', start) - start);
  };
  return {value("name = "), value("key = ")};
}

TEST(MainMirelSettings, TheAccountGivenIsStoredAndWhatCannotLogInIsRefusedWithNothingWritten) {
  struct Row {
    std::string what;
    std::string storedName;  // "" leaves the line out; "=" writes it empty
    std::string storedKey;
    std::vector<std::string> args;
    std::string input;
    std::string reason;                              // "" when the program starts
    std::pair<std::string, std::string> after;       // name and key stored afterwards
  };
  const std::string ka = key("a@x", "pa");
  const std::vector<Row> rows = {
      {"nothing given", "a@x", ka, {"-r", "-c", "C"}, "", "", {"a@x", ka}},
      {"the same user alone", "a@x", ka, {"-r", "-c", "C", "-u", "a@x"}, "", "", {"a@x", ka}},
      {"a new user with a password", "a@x", ka, {"-r", "-c", "C", "-u", "b@x", "-p", "pb"}, "", "",
       {"b@x", key("b@x", "pb")}},
      {"a password alone keys the stored name", "a@x", ka, {"-r", "-c", "C", "-p", "new"}, "", "",
       {"a@x", key("a@x", "new")}},
      {"a new user without a password", "a@x", ka, {"-r", "-c", "C", "-u", "b@x"}, "", "password is required",
       {"a@x", ka}},
      {"the password from a pipe", "a@x", ka, {"-l", "-u", "b@x", "-p", "-"}, "s3cret pass\n", "",
       {"b@x", key("b@x", "s3cret pass")}},
      {"the password from a pipe, CRLF and no more lines", "a@x", ka, {"-r", "-c", "C", "-p", "-"}, "pw\r\nrest\n",
       "", {"a@x", key("a@x", "pw")}},
      {"an empty stored name", "=", ka, {"-r", "-c", "C"}, "", "login is required", {"", ka}},
      {"no stored name", "", ka, {"-r", "-c", "C"}, "", "login is required", {"", ka}},
      {"the stored name undefined", "undefined", ka, {"-r", "-c", "C"}, "", "login is required", {"undefined", ka}},
      {"the stored key undefined", "a@x", "undefined", {"-r", "-c", "C"}, "", "password is required",
       {"a@x", "undefined"}},
      {"no stored key", "a@x", "", {"-s", "-f", "a.txt", "-t", "b@x"}, "", "password is required", {"a@x", ""}},
      {"no stored account, one given", "", "", {"-r", "-c", "C", "-u", "b@x", "-p", "pb"}, "", "",
       {"b@x", key("b@x", "pb")}},
  };
  for (const Row& row : rows) {
    Home home(false);
    auto line = [](const std::string& key, const std::string& value) {
      return value.empty() ? "" : key + " = " + (value == "=" ? "" : value) + "\n";
    };
    const std::string text = settingsText(home.dir, line("name", row.storedName) + line("key", row.storedKey));
    testsupport::writeFile(home.settings, text);
    MirelProcess program(row.args, home.launch(row.input));
    if (row.reason.empty()) {
      EXPECT_TRUE(startsAndStopsOn(program, SIGTERM)) << row.what;
    } else {
      EXPECT_EQ(program.waitExit(), 2) << row.what;
      EXPECT_TRUE(printsTheHelp(program.out(), row.reason)) << row.what;
    }
    EXPECT_EQ(storedAccount(home.settings), row.after) << row.what;
    if (!row.reason.empty() || row.after == std::make_pair(std::string("a@x"), ka)) {
      EXPECT_EQ(testsupport::readFile(home.settings), text) << row.what << ": nothing changed, nothing written";
    }
  }
  // A settings file that is not there gets the defaults and the account given.
  Home home(false);
  MirelProcess program({"-l", "-u", "a@x", "-p", "pa", "-i", "other.ini"}, home.launch());
  EXPECT_TRUE(startsAndStopsOn(program, SIGINT));
  EXPECT_EQ(storedAccount(home.temp.file("other.ini")), std::make_pair(std::string("a@x"), ka));
  EXPECT_FALSE(testsupport::fileExists(home.settings));
}

// Root writes anywhere, so the unwritable places are a missing folder and a file in a folder's place.
TEST(MainMirelFailures, SettingsThatCannotBeSavedEndTheProgramWithOneLineAndStatusOne) {
  Home home(false);
  for (const std::string& settings : {home.temp.file("missing/properties.ini"), home.temp.file("a.txt/properties.ini")}) {
    MirelProcess program({"-l", "-u", "a@x", "-p", "pa", "-i", settings}, home.launch());
    EXPECT_EQ(program.waitExit(), 1) << settings;
    EXPECT_EQ(program.err().rfind("cannot save " + settings, 0), 0u) << program.err();
    EXPECT_EQ(program.err().find('\n'), program.err().size() - 1) << "one line: " << program.err();
    EXPECT_EQ(program.out().find("listening http"), std::string::npos) << "no engine started";
  }
}

TEST(MainMirelFailures, ALogFileThatCannotBeOpenedLeavesAWarningAndTheProgramRunsOn) {
  Home home(true);
  {
    MirelProcess program({"-r", "-c", "C"}, home.launch());
    EXPECT_TRUE(startsAndStopsOn(program, SIGINT));
    const std::string log = testsupport::readFile(home.temp.file("mainMirel.log"));
    EXPECT_NE(log.find("listening http"), std::string::npos) << "the log file is the program's name + .log";
    EXPECT_NE(log.find("stopping on SIGINT"), std::string::npos) << "the last lines reach the file";
  }
  for (const std::string& name : {home.temp.file("missing/mainMirel"), home.temp.file("a.txt/mainMirel")}) {
    Launch launch = home.launch();
    launch.argv0 = name;
    MirelProcess program({"-r", "-c", "C"}, launch);
    EXPECT_TRUE(startsAndStopsOn(program, SIGTERM)) << name;
    EXPECT_NE(program.out().find("log file " + name + ".log not opened"), std::string::npos) << program.out();
  }
}

}  // namespace
