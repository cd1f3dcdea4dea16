// The desktop program itself, under a virtual X server with a window manager and (mostly) a
// tray host, driven as a user would drive it.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>

#include "p2p/uv/UvFile.h"
#include "support/EngineProcess.h"
#include "support/Trees.h"
#include "utils/Utils.h"
#include "ui/desktop/DesktopSession.h"

namespace {

namespace fs = std::filesystem;
using desktoptest::DesktopApp;
using desktoptest::json;
using desktoptest::XSession;

const enginetest::Account ALICE{"alice@example.com", "alice-secret"};
const enginetest::Account BOB{"bob@example.com", "bob-secret"};

std::string fileUri(const std::string& path) {
  std::string uri = "file://";
  for (const unsigned char c : path) {
    if (isalnum(c) || std::strchr("/-._~", c))
      uri += static_cast<char>(c);
    else
      uri += Utils::format("%%%02X", c);
  }
  return uri;
}

// As the engine binds it: a port held only by closed connections (TIME_WAIT) counts as free.
bool portFree(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  const sockaddr_in address = servertest::loopback(port);
  const bool free = bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return free;
}

class DesktopTest : public ::testing::Test {
 protected:
  // False (the test then skips) where the desktop cannot run here.
  bool startX(bool withTray) {
#ifdef MIREL_SANITIZE_BUILD
    skipReason = "not in the sanitizer build: GTK's own allocations fail its leak check";
    return false;
#endif
    mkdir(dir.file("x").c_str(), 0700);
    x = std::make_unique<XSession>(dir.file("x"), withTray);
    if (x->skipReason) skipReason = *x->skipReason;
    return !x->skipReason;
  }

  void startServer() {
    server = std::make_unique<servertest::ServerProcess>(dir.file("server"));
    enginetest::addAccount(*server, ALICE);
    enginetest::addAccount(*server, BOB);
  }

  // The desktop of `account` against the stand-in, started and logged in.
  DesktopApp& startLoggedIn(const enginetest::Account& account) {
    home = std::make_unique<enginetest::EngineHome>(*server, account, dir.file("work"));
    app = std::make_unique<DesktopApp>(*x, home->dir, dir.file("home"));
    app->start();
    x->window("^mirelcpp");
    const json state = app->waitFor([](const json& s) { return s["engine"] == true && s["statusLineShown"] == false; });
    EXPECT_EQ(state["title"], "mirelcpp 0.8.7 " + account.user) << testsupport::readFile(app->log());
    return *app;
  }

  // A desktop with hand-written settings (no server).
  DesktopApp& startWithSettings(const std::string& settings) {
    mkdir(dir.file("work").c_str(), 0700);
    testsupport::writeFile(dir.file("work/properties.ini"), settings);
    app = std::make_unique<DesktopApp>(*x, dir.file("work"), dir.file("home"));
    app->start();
    x->window("^mirelcpp");
    return *app;
  }

  // Saved beside the test's files, and into MIREL_SCREENSHOTS when set (the README's pictures).
  std::string screenshot(const std::string& windowId, const std::string& name) {
    const std::string path = dir.file(name);
    x->screenshot(windowId, path);
    if (const char* keep = getenv("MIREL_SCREENSHOTS")) fs::copy_file(path, std::string(keep) + "/" + name, fs::copy_options::overwrite_existing);
    return path;
  }

  // Presses `key` in the window named `caption` until that window has gone (a key sent while
  // the window is still taking focus under load can go astray).
  void answer(const std::string& caption, const std::string& key) {
    const std::string name = "^" + caption + "$";
    const std::string window = x->window(name);
    for (int attempt = 0; attempt < 3; ++attempt) {
      x->keys(window, {key});
      if (desktoptest::eventually([&] { return !x->hasWindow(name); }, 2000)) return;
    }
    FAIL() << caption << " did not take " << key;
  }
  void closeMessage(const std::string& caption) { answer(caption, "Return"); }

  testsupport::TempDir dir;
  std::string skipReason;
  std::unique_ptr<XSession> x;
  std::unique_ptr<servertest::ServerProcess> server;
  std::unique_ptr<enginetest::EngineHome> home;
  std::unique_ptr<DesktopApp> app;
};

#define START_X(withTray) \
  if (!startX(withTray)) GTEST_SKIP() << skipReason

TEST_F(DesktopTest, StartsWithItsTitleAndTrayIconAndLogsIn) {
  START_X(true);
  startServer();
  DesktopApp& desktop = startLoggedIn(ALICE);
  const json state = desktop.dump();
  EXPECT_EQ(state["page"], 0);
  EXPECT_EQ(state["tray"], true);
  EXPECT_EQ(state["send"]["listShown"], false);
  EXPECT_EQ(x->xdotool({"getwindowname", desktop.mainWindow()}), "mirelcpp 0.8.7 alice@example.com\n");
  std::string icon;
  EXPECT_EQ(x->xdrop({"embedded", "mainMirelWx"}, &icon), 0) << "no tray icon";
}

TEST_F(DesktopTest, DropAndPasteFillTheSendPageAndASendShowsTheCode) {
  START_X(true);
  startServer();
  const std::string files = dir.file("files");
  fs::create_directories(files + "/Ordner ä");
  const std::vector<std::string> paths = {files + "/a.txt", files + "/b ü.txt", files + "/Ordner ä"};
  testsupport::writeFile(paths[0], "a");
  testsupport::writeFile(paths[1], "b");
  testsupport::writeFile(paths[2] + "/c.bin", "c");
  DesktopApp& desktop = startLoggedIn(ALICE);
  const std::string window = desktop.mainWindow();

  // The empty page takes a drop (a copy: the source offers nothing else).
  std::string action;
  ASSERT_EQ(x->xdrop({"drop", window, "240", "120", fileUri(paths[0]), fileUri(paths[1])}, &action), 0) << action;
  EXPECT_EQ(action, "XdndActionCopy\n");
  json state = desktop.waitFor([](const json& s) { return s["send"]["files"].size() == 2; });
  EXPECT_EQ(state["send"]["listShown"], true);

  // A pasted list adds what is new, in order.
  testsupport::writeFile(dir.file("clip.txt"), fileUri(paths[0]) + "\r\n" + fileUri(paths[2]) + "\r\n");
  desktoptest::Child clipboard({"xclip", "-quiet", "-selection", "clipboard", "-t", "text/uri-list", "-i", dir.file("clip.txt")},
                               x->env(), dir.file("xclip.log"));
  desktoptest::sleepMs(300);
  x->keys(window, {});
  x->click(window, 240, 80);
  x->keys(window, {"ctrl+v"});
  state = desktop.waitFor([](const json& s) { return s["send"]["files"].size() == 3; });
  EXPECT_EQ(state["send"]["files"], json(paths));
  EXPECT_EQ(state["send"]["sendEnabled"], false);

  x->keys(window, {"Tab"});
  x->type("two words");
  EXPECT_EQ(desktop.dump()["send"]["sendEnabled"], false);
  x->keys(window, {"ctrl+a"});
  x->type(BOB.user);
  state = desktop.waitFor([](const json& s) { return s["send"]["sendEnabled"] == true; });
  screenshot(window, "mainMirelWx-send.png");

  x->keys(window, {"Tab", "Return"});
  const std::string dialog = x->window("^Send Files$");
  x->type("hello");
  x->keys(dialog, {"Tab", "Tab", "Return"});
  state = desktop.waitFor([](const json& s) { return DesktopApp::noted(s, "Info", "Code "); });
  std::string code;
  for (const json& m : state["messages"])
    if (m["caption"] == "Info") code = m["text"].get<std::string>().substr(5);
  ASSERT_FALSE(code.empty()) << state.dump();

  // The offer is kept under its code, with every path as UTF-8.
  const std::string tickets = testsupport::readFile(home->dir + "/tickets.json");
  ASSERT_EQ(std::count(tickets.begin(), tickets.end(), '\n'), 1) << tickets;
  const json offer = json::parse(tickets);
  EXPECT_EQ(offer["to"], BOB.user);
  EXPECT_EQ(offer["code"], code);
  EXPECT_EQ(offer["files"], json(paths));

  closeMessage("Info");
  state = desktop.waitFor([](const json& s) { return s["send"]["files"].empty(); });
  EXPECT_EQ(state["send"]["sendEnabled"], false);
  EXPECT_EQ(state["send"]["pending"], 0);
}

TEST_F(DesktopTest, RecvRequestSelectsTheReceivePageAndStartsAReceive) {
  START_X(true);
  startServer();
  DesktopApp& desktop = startLoggedIn(ALICE);
  const auto answer = desktoptest::httpGet("http://127.0.0.1:" + std::to_string(home->tcpPort) + "/RECV?code=NOSUCH7");
  EXPECT_EQ(answer.first, 200);
  EXPECT_NE(answer.second.find("\"Ok\""), std::string::npos);
  // The receive starts at once; the stand-in knows no such code.
  const json state = desktop.waitFor([](const json& s) { return DesktopApp::noted(s, "Error", "Not Found"); });
  EXPECT_EQ(state["page"], 1);
  EXPECT_EQ(state["recv"]["code"], "NOSUCH7");
  closeMessage("Error");
  EXPECT_EQ(desktop.waitFor([](const json& s) { return s["recv"]["pending"] == 0; })["recv"]["enabled"], true);
  screenshot(desktop.mainWindow(), "mainMirelWx-receive.png");
}

TEST_F(DesktopTest, AtStartTheUnexpiredOffersAreOfferedAgain) {
  START_X(true);
  startServer();
  // Two offers made earlier on this computer; the second is eight days old in the offers file.
  home = std::make_unique<enginetest::EngineHome>(*server, ALICE, dir.file("work"));
  const std::string offered = dir.file("offered.txt");
  testsupport::writeFile(offered, "x");
  std::vector<std::string> codes;
  {
    enginetest::EngineProcess earlier(*home);
    earlier.waitLoggedIn();
    for (int id : {1, 2}) {
      earlier.command({{"op", "send"}, {"id", id}, {"to", BOB.user}, {"files", {offered}}});
      const auto created = earlier.waitFor("TICKET_CREATE", id);
      ASSERT_TRUE(created && (*created)["reason"] == "") << earlier.log();
      codes.push_back((*created)["code"]);
    }
  }
  const int64_t now = time(nullptr);
  testsupport::writeFile(home->dir + "/tickets.json",
                         json({{"to", BOB.user}, {"code", codes[0]}, {"createdAt", now - 60}, {"files", {offered}}}).dump() +
                             "\nbroken\n" +
                             json({{"to", BOB.user}, {"code", codes[1]}, {"createdAt", now - 8 * 86400}, {"files", {offered}}})
                                 .dump() + "\n");
  app = std::make_unique<DesktopApp>(*x, home->dir, dir.file("home"));
  app->start();
  x->window("^mirelcpp");
  app->waitFor([](const json& s) { return s["engine"] == true && s["statusLineShown"] == false; });

  // Bob fetches both: the desktop hands over the first; the expired one is offered by no one
  // (the engine would refuse it too, so the offers file's own check is tested without a display).
  enginetest::EngineHome bobHome(*server, BOB, dir.file("bob"));
  enginetest::EngineProcess bob(bobHome);
  bob.waitLoggedIn();
  bob.command({{"op", "recv"}, {"id", 1}, {"code", codes[0]}});
  const auto fresh = bob.waitFor("TICKET_GET", 1, 30000);
  ASSERT_TRUE(fresh) << bob.log();
  EXPECT_EQ((*fresh)["reason"], "");
  EXPECT_EQ((*fresh)["paths"], json({offered}));
  bob.command({{"op", "recv"}, {"id", 2}, {"code", codes[1]}});
  const auto expired = bob.waitFor("TICKET_GET", 2, 30000);
  ASSERT_TRUE(expired) << bob.log();
  EXPECT_NE((*expired)["reason"], "");
}

TEST_F(DesktopTest, TheSameCodeAskedTwiceStartsOneReceive) {
  START_X(true);
  startServer();
  std::string code;
  {
    // Bob offers a file and goes offline: the receive then waits on the exchange.
    enginetest::EngineHome bobHome(*server, BOB, dir.file("bob"));
    testsupport::writeFile(dir.file("offered.txt"), "x");
    enginetest::EngineProcess bob(bobHome);
    bob.waitLoggedIn();
    bob.command({{"op", "send"}, {"id", 1}, {"to", ALICE.user}, {"files", {dir.file("offered.txt")}}});
    const auto created = bob.waitFor("TICKET_CREATE", 1);
    ASSERT_TRUE(created && (*created)["reason"] == "") << bob.log();
    code = (*created)["code"];
  }
  DesktopApp& desktop = startLoggedIn(ALICE);
  const std::string recv = "http://127.0.0.1:" + std::to_string(home->tcpPort) + "/RECV?code=" + code;
  EXPECT_EQ(desktoptest::httpGet(recv).first, 200);
  EXPECT_EQ(desktoptest::httpGet(recv).first, 200);
  const json state = desktop.waitFor([&](const json& s) { return DesktopApp::noted(s, "Error", "already receiving " + code); });
  EXPECT_EQ(state["recv"]["pending"], 1) << state.dump(1);
}

TEST_F(DesktopTest, ReceiveByCodeLandsTheFilesAndShowsTheirRows) {
  START_X(true);
  startServer();
  // The sender: a console engine of Bob's with a small tree.
  enginetest::EngineHome bobHome(*server, BOB, dir.file("bob"));
  const std::string tree = dir.file("Ordner ä");
  fs::create_directories(tree + "/sub");
  testsupport::writeFile(tree + "/empty", "");
  testsupport::writeFile(tree + "/small.txt", "hello");
  std::string large(300000, '\0');
  std::mt19937 random(7);
  for (char& c : large) c = static_cast<char>(random());
  testsupport::writeFile(tree + "/sub/large.bin", large);
  enginetest::EngineProcess bob(bobHome);
  bob.waitLoggedIn();
  bob.command({{"op", "send"}, {"id", 1}, {"to", ALICE.user}, {"files", {tree}}});
  const auto created = bob.waitFor("TICKET_CREATE", 1);
  ASSERT_TRUE(created && (*created)["reason"] == "") << bob.log();
  const std::string code = (*created)["code"];

  DesktopApp& desktop = startLoggedIn(ALICE);
  EXPECT_EQ(desktoptest::httpGet("http://127.0.0.1:" + std::to_string(home->tcpPort) + "/RECV?code=" + code).first, 200);
  desktop.waitFor([](const json& s) { return DesktopApp::noted(s, "Info", "Receiving\n  Ordner ä"); });
  closeMessage("Info");
  const json state = desktop.waitFor(
      [](const json& s) {
        std::string names;
        for (const json& row : s["rows"]) {
          if (row["percent"] != "100.0" || row["reason"] != "") return false;
          names += row["name"].get<std::string>() + "|";
        }
        return names.find("small.txt") != std::string::npos && names.find("large.bin") != std::string::npos &&
               names.find("empty") != std::string::npos;
      },
      60000);
  ASSERT_GE(state["rows"].size(), 3u) << state.dump(1);
  EXPECT_EQ(state["page"], 2);
  for (const json& row : state["rows"]) {
    EXPECT_EQ(row["from"], BOB.user);
    EXPECT_EQ(row["to"], ALICE.user);
    EXPECT_NE(row["commandId"], 0);
  }
  EXPECT_EQ(trees::digest(home->recv + "/Ordner ä"), trees::digest(tree));
  EXPECT_TRUE(trees::leftovers(home->recv).empty());

  // The first row's menu opens its folder and its file through xdg-open. Pause and Resume are
  // off on a finished row, so from the end: Open Folder is the last entry, Open the one above.
  const std::string window = desktop.mainWindow();
  const json first = state["rows"][0];
  x->click(window, 60, 75, 3);
  desktoptest::sleepMs(500);
  x->xdotool({"key", "Up", "Return"});
  desktoptest::sleepMs(300);
  x->click(window, 60, 75, 3);
  desktoptest::sleepMs(500);
  x->xdotool({"key", "Up", "Up", "Return"});
  const std::string localPath = first["localPath"];
  ASSERT_TRUE(desktoptest::eventually(
      [&] { return testsupport::readFile(desktop.opened) == p2p::UvFile::getDir(localPath) + "\n" + localPath + "\n"; },
      5000))
      << testsupport::readFile(desktop.opened);
  const std::string picture = screenshot(desktop.mainWindow(), "mainMirelWx-status.png");
  int status = -1;
  const std::string colours = desktoptest::run({"identify", "-format", "%k", picture}, {}, &status);
  EXPECT_GT(std::atoi(colours.c_str()), 16) << "a blank screenshot";
}

TEST_F(DesktopTest, CloseBoxHidesIntoTheTrayAndTrayExitEndsProgramAndEngine) {
  START_X(true);
  const int port = servertest::randomFreePort();
  DesktopApp& desktop = startWithSettings("[server]\nurl = https://127.0.0.1:9/\n[user]\nname = carol@example.com\n"
                                          "[computer]\ntcp = " + std::to_string(port) + "\n");
  desktop.waitFor([](const json& s) { return s["engine"] == true; });
  x->xdrop({"close", desktop.mainWindow()});
  desktop.waitFor([](const json& s) { return s["shown"] == false; });
  EXPECT_TRUE(desktop.process->running());

  std::string icon;
  ASSERT_EQ(x->xdrop({"embedded", "mainMirelWx"}, &icon), 0);
  int left = 0, top = 0, width = 0, height = 0;
  sscanf(icon.c_str(), "%d %d %d %d", &left, &top, &width, &height);
  const std::string middleX = std::to_string(left + width / 2), middleY = std::to_string(top + height / 2);
  x->xdotool({"mousemove", middleX, middleY, "click", "--repeat", "2", "--delay", "80", "1"});
  desktop.waitFor([](const json& s) { return s["shown"] == true; });

  x->xdotool({"mousemove", middleX, middleY, "click", "3"});
  desktoptest::sleepMs(700);
  x->xdotool({"key", "x"});  // E&xit
  EXPECT_EQ(desktop.process->waitExit(15000), std::optional<int>(0)) << testsupport::readFile(desktop.log());
  EXPECT_EQ(desktoptest::httpGet("http://127.0.0.1:" + std::to_string(port) + "/RAISE", 1000).first, 0)
      << "the engine still answers";
}

TEST_F(DesktopTest, WithoutATrayTheWelcomeThenTheCloseBoxEndsTheProgram) {
  START_X(false);
  const int port = servertest::randomFreePort();
  DesktopApp& desktop =
      startWithSettings("[server]\nurl = https://127.0.0.1:9/\n[computer]\ntcp = " + std::to_string(port) + "\n");
  // No user yet: the welcome comes first.
  // The box that follows bears the same caption: the note tells that the Escape was taken.
  const std::string welcome = x->window("^Mirel Welcome$");
  json state;
  for (int attempt = 0; attempt < 3 && !DesktopApp::noted(state, "Mirel Welcome", "login later"); ++attempt) {
    x->keys(welcome, {"Escape"});
    state = desktop.waitFor([](const json& s) { return DesktopApp::noted(s, "Mirel Welcome", "login later"); }, 2000);
  }
  EXPECT_EQ(state["tray"], false);
  closeMessage("Mirel Welcome");
  x->xdrop({"close", desktop.mainWindow()});
  EXPECT_EQ(desktop.process->waitExit(15000), std::optional<int>(0)) << testsupport::readFile(desktop.log());
  EXPECT_EQ(desktoptest::httpGet("http://127.0.0.1:" + std::to_string(port) + "/RAISE", 1000).first, 0);
}

TEST_F(DesktopTest, FirstRunSignInThroughTheBrowserLogsIn) {
  START_X(true);
  startServer();
  mkdir(dir.file("work").c_str(), 0700);
  testsupport::writeFile(dir.file("work/cacert.pem"), testsupport::readFile(server->caPath()));
  const int port = servertest::randomFreePort();
  DesktopApp& desktop = startWithSettings("[server]\nurl = https://127.0.0.1:" + std::to_string(server->httpsPort) +
                                          "/\nudpPort = " + std::to_string(server->udpPort) +
                                          "\n[computer]\ntcp = " + std::to_string(port) + "\n");
  x->window("^Mirel Welcome$");
  desktop.waitFor([](const json& s) { return s["engine"] == true; });
  answer("Mirel Welcome", "Return");  // the default: the Google account

  // The browser is asked for the sign-in page of this computer; the user signs in there.
  std::string url;
  ASSERT_TRUE(desktoptest::eventually(
      [&] { return !(url = testsupport::readFile(desktop.opened)).empty(); }, 10000));
  const std::string prefix = "https://127.0.0.1:" + std::to_string(server->httpsPort) + "/Oauth2?uuid=";
  ASSERT_EQ(url.rfind(prefix, 0), 0u) << url;
  ASSERT_NE(url.find("&provider=google\n"), std::string::npos) << url;
  const std::string uuid = url.substr(prefix.size(), url.find('&') - prefix.size());
  desktop.waitFor([](const json& s) { return DesktopApp::noted(s, "Mirel Google Login", "Waiting"); });
  x->window("^Mirel Google Login$");
  const std::string form = "uuid=" + uuid + "&email=" + servertest::enc(ALICE.user) + "&password=" +
                           servertest::enc(ALICE.password);
  EXPECT_EQ(servertest::https(server->url("Oauth2"), server->caPath(), &form).status, 200);

  // The next polls learn it: the waiting ends and the engine logs in as Alice.
  const json state = desktop.waitFor(
      [](const json& s) { return s["title"] == "mirelcpp 0.8.7 alice@example.com" && s["statusLineShown"] == false; });
  EXPECT_EQ(state["title"], "mirelcpp 0.8.7 alice@example.com");
  EXPECT_TRUE(desktoptest::eventually([&] { return !x->hasWindow("^Mirel Google Login$"); }, 5000));
  EXPECT_NE(testsupport::readFile(dir.file("work/properties.ini")).find(ALICE.user), std::string::npos);
}

// The second instance always asks port 5551: these two hold CTest's lock on it.
TEST_F(DesktopTest, RaiseASecondStartRaisesTheFirstAndEnds) {
  START_X(true);
  if (!portFree(5551)) GTEST_SKIP() << "port 5551 is taken by another program";
  DesktopApp& first = startWithSettings("[server]\nurl = https://127.0.0.1:9/\n[user]\nname = carol@example.com\n"
                                        "[computer]\ntcp = 5551\n");
  first.waitFor([](const json& s) { return s["engine"] == true; });
  x->xdrop({"close", first.mainWindow()});
  first.waitFor([](const json& s) { return s["shown"] == false; });

  DesktopApp second(*x, dir.file("work"), dir.file("home"));
  second.start();
  EXPECT_EQ(second.process->waitExit(15000), std::optional<int>(0)) << testsupport::readFile(second.log());
  first.waitFor([](const json& s) { return s["shown"] == true; });
  EXPECT_FALSE(x->hasWindow("Information"));
  EXPECT_TRUE(first.process->running());
}

TEST_F(DesktopTest, RaiseASecondStartThatGetsNoAnswerSaysSoAndEnds) {
  START_X(true);
  if (!portFree(5551)) GTEST_SKIP() << "port 5551 is taken by another program";
  DesktopApp& first = startWithSettings("[server]\nurl = https://127.0.0.1:9/\n[user]\nname = carol@example.com\n"
                                        "[computer]\ntcp = " + std::to_string(servertest::randomFreePort()) + "\n");
  first.waitFor([](const json& s) { return s["engine"] == true; });
  DesktopApp second(*x, dir.file("work"), dir.file("home"));
  second.start();
  x->keys(x->window("Information$"), {"Return"});
  EXPECT_EQ(second.process->waitExit(15000), std::optional<int>(1)) << testsupport::readFile(second.log());
  EXPECT_TRUE(first.process->running());
}

}  // namespace
