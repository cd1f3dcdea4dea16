// The desktop program itself, under a virtual X server with a window manager and (mostly) a
// tray host, driven as a user would drive it.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <filesystem>

#include "p2p/uv/UvFile.h"
#include "support/EngineProcess.h"
#include "support/Trees.h"
#include "ui/desktop/DesktopSession.h"
#include "utils/Utils.h"

namespace {

namespace fs = std::filesystem;
using desktoptest::DesktopApp;
using desktoptest::json;
using desktoptest::XSession;

const enginetest::Account ALICE{"alice@example.com", "alice-secret"};
const enginetest::Account BOB{"bob@example.com", "bob-secret"};

std::string fileUri(const std::string& path) {
  std::string uri = "file://";
  for (const unsigned char c : path)
    uri += isalnum(c) || std::strchr("/-._~", c) ? std::string(1, static_cast<char>(c)) : Utils::format("%%%02X", c);
  return uri;
}

// As the engine binds it: a port held only by closed connections (TIME_WAIT) counts as free.
bool portFree(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0), on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  const sockaddr_in address = servertest::loopback(port);
  const bool free = bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return free;
}

std::string localUrl(int port, const std::string& path) { return "http://127.0.0.1:" + std::to_string(port) + path; }

// Carol's settings without a server, with the local HTTP port.
std::string offlineSettings(int port) {
  return "[server]\nurl = https://127.0.0.1:9/\n[user]\nname = carol@example.com\n[computer]\ntcp = " +
         std::to_string(port) + "\n";
}

// The code of an offer of `path` to `to` made by a console engine.
std::string offer(enginetest::EngineProcess& engine, const std::string& to, const std::string& path) {
  engine.command({{"op", "send"}, {"id", 1}, {"to", to}, {"files", {path}}});
  const auto created = engine.waitFor("TICKET_CREATE", 1);
  if (!created || (*created)["reason"] != "") throw std::runtime_error("no ticket: " + engine.log());
  return (*created)["code"];
}

class DesktopTest : public ::testing::Test {
 protected:
  // Why the desktop cannot run here; nothing when it runs.
  std::optional<std::string> startX(bool withTray) {
#ifdef MIREL_SANITIZE_BUILD
    return "not in the sanitizer build: GTK's own allocations fail its leak check";
#endif
    mkdir(dir.file("x").c_str(), 0700);
    x = std::make_unique<XSession>(dir.file("x"), withTray);
    return x->skipReason;
  }

  void startServer() {
    server = std::make_unique<servertest::ServerProcess>(dir.file("server"));
    enginetest::addAccount(*server, ALICE);
    enginetest::addAccount(*server, BOB);
    home = std::make_unique<enginetest::EngineHome>(*server, ALICE, dir.file("work"));
  }

  // The desktop in the folder "work", with `settings` written there when given, up with its window.
  DesktopApp& startApp(const std::string& settings = "") {
    mkdir(dir.file("work").c_str(), 0700);
    if (!settings.empty()) testsupport::writeFile(dir.file("work/properties.ini"), settings);
    app = std::make_unique<DesktopApp>(*x, dir.file("work"), dir.file("home"));
    app->start();
    x->window("^mirelcpp");
    return *app;
  }

  // Alice's desktop against the stand-in, started and logged in.
  DesktopApp& startLoggedIn() {
    startApp();
    const json state = app->waitFor([](const json& s) { return s["engine"] == true && s["statusLineShown"] == false; });
    EXPECT_EQ(state["title"], "mirelcpp 0.8.7 " + ALICE.user) << testsupport::readFile(app->log());
    return *app;
  }

  // Saved beside the test's files, and into MIREL_SCREENSHOTS when set (the README's pictures).
  std::string screenshot(const std::string& name) {
    const std::string path = dir.file(name);
    x->run({"import", "-frame", "-window", x->window("^mirelcpp"), path});
    if (const char* keep = getenv("MIREL_SCREENSHOTS"))
      fs::copy_file(path, std::string(keep) + "/" + name, fs::copy_options::overwrite_existing);
    return path;
  }

  // Presses Return in the window whose name matches `name` until that window has gone (a key
  // sent while the window is still taking focus under load can go astray).
  void answer(const std::string& name) {
    const std::string window = x->window(name);
    for (int attempt = 0; attempt < 3; ++attempt) {
      x->keys(window, {"Return"});
      if (desktoptest::eventually([&] { return x->firstWindow(name).empty(); }, 2000)) return;
    }
    FAIL() << name << " did not take Return";
  }

  testsupport::TempDir dir;
  std::unique_ptr<XSession> x;
  std::unique_ptr<servertest::ServerProcess> server;
  std::unique_ptr<enginetest::EngineHome> home;
  std::unique_ptr<DesktopApp> app;
};

#define START_X(withTray) \
  if (const auto why = startX(withTray)) GTEST_SKIP() << *why

TEST_F(DesktopTest, StartsThenDropAndPasteFillTheSendPageASendShowsTheCodeAndANewStartOffersItAgain) {
  START_X(true);
  startServer();
  const std::string files = dir.file("files");
  fs::create_directories(files + "/Ordner ä");
  const std::vector<std::string> paths = {files + "/a.txt", files + "/b ü.txt", files + "/Ordner ä"};
  testsupport::writeFile(paths[0], "a");
  testsupport::writeFile(paths[1], "b");
  testsupport::writeFile(paths[2] + "/c.bin", "c");
  DesktopApp& desktop = startLoggedIn();
  const std::string window = x->window("^mirelcpp");
  json state = desktop.dump();
  EXPECT_EQ(state["page"], 0);
  EXPECT_EQ(state["tray"], true);
  EXPECT_EQ(state["send"]["listShown"], false);
  EXPECT_EQ(x->run({"xdotool", "getwindowname", window}), "mirelcpp 0.8.7 alice@example.com\n");
  EXPECT_NE(x->firstWindow("^mainMirelWx$"), "") << "no tray icon";

  // The empty page takes a drop (a copy: the source offers nothing else).
  int dropped = -1;
  EXPECT_EQ(x->run({X_DROP_PATH, "drop", window, "240", "120", fileUri(paths[0]), fileUri(paths[1])}, &dropped),
            "XdndActionCopy\n");
  ASSERT_EQ(dropped, 0);
  state = desktop.waitFor([](const json& s) { return s["send"]["files"].size() == 2; });
  EXPECT_EQ(state["send"]["listShown"], true);

  // A pasted list adds what is new, in order.
  testsupport::writeFile(dir.file("clip.txt"), fileUri(paths[0]) + "\r\n" + fileUri(paths[2]) + "\r\n");
  const auto clipboard = desktoptest::start(
      {"xclip", "-quiet", "-selection", "clipboard", "-t", "text/uri-list", "-i", dir.file("clip.txt")}, x->env(),
      dir.file("xclip.log"));
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
  desktop.waitFor([](const json& s) { return s["send"]["sendEnabled"] == true; });
  screenshot("mainMirelWx-send.png");

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
  json kept = json::parse(tickets);
  kept.erase("createdAt");
  EXPECT_EQ(kept, json({{"to", BOB.user}, {"code", code}, {"files", paths}}));
  answer("^Info$");
  state = desktop.waitFor([](const json& s) { return s["send"]["files"].empty(); });
  EXPECT_EQ(state["send"]["sendEnabled"], false);
  EXPECT_EQ(state["send"]["pending"], 0);

  // At the next start the offer is made again (a broken line before it changes nothing): Bob's
  // engine asks the desktop's for it. (Expiry is the offers file's own check, tested without a display.)
  testsupport::writeFile(home->dir + "/tickets.json", "broken\n" + tickets);
  app.reset();
  startLoggedIn();
  enginetest::EngineProcess bob(enginetest::EngineHome(*server, BOB, dir.file("bob")));
  bob.waitLoggedIn();
  bob.command({{"op", "recv"}, {"id", 1}, {"code", code}});
  const auto got = bob.waitFor("TICKET_GET", 1, 30000);
  ASSERT_TRUE(got) << bob.log();
  EXPECT_EQ((*got)["reason"], "");
  EXPECT_EQ((*got)["paths"], json(paths));
}

// Bob offers a file and goes offline: a receive of that code then waits on the exchange.
TEST_F(DesktopTest, RecvRequestSelectsTheReceivePageAndStartsOneReceivePerCode) {
  START_X(true);
  startServer();
  std::string code;
  {
    enginetest::EngineProcess bob(enginetest::EngineHome(*server, BOB, dir.file("bob")));
    bob.waitLoggedIn();
    testsupport::writeFile(dir.file("offered.txt"), "x");
    code = offer(bob, ALICE.user, dir.file("offered.txt"));
  }
  DesktopApp& desktop = startLoggedIn();
  // A code the stand-in does not know: the receive starts at once and fails.
  EXPECT_EQ(desktoptest::httpGet(localUrl(home->tcpPort, "/RECV?code=NOSUCH7")), 200);
  json state = desktop.waitFor([](const json& s) { return DesktopApp::noted(s, "Error", "Not Found"); });
  EXPECT_EQ(state["page"], 1);
  EXPECT_EQ(state["recv"]["code"], "NOSUCH7");
  answer("^Error$");
  EXPECT_EQ(desktop.waitFor([](const json& s) { return s["recv"]["pending"] == 0; })["recv"]["enabled"], true);
  screenshot("mainMirelWx-receive.png");

  // Bob's code asked twice: one receive, the second refused.
  EXPECT_EQ(desktoptest::httpGet(localUrl(home->tcpPort, "/RECV?code=" + code)), 200);
  EXPECT_EQ(desktoptest::httpGet(localUrl(home->tcpPort, "/RECV?code=" + code)), 200);
  state = desktop.waitFor([&](const json& s) { return DesktopApp::noted(s, "Error", "already receiving " + code); });
  EXPECT_EQ(state["recv"]["pending"], 1) << state.dump(1);
}

TEST_F(DesktopTest, ReceiveByCodeLandsTheFilesAndShowsTheirRows) {
  START_X(true);
  startServer();
  // The sender: a console engine of Bob's with a small tree.
  const std::string tree = dir.file("Ordner ä");
  fs::create_directories(tree + "/sub");
  testsupport::writeFile(tree + "/empty", "");
  testsupport::writeFile(tree + "/small.txt", "hello");
  trees::writeRandom(tree + "/sub/large.bin", 300000, 7);
  enginetest::EngineProcess bob(enginetest::EngineHome(*server, BOB, dir.file("bob")));
  bob.waitLoggedIn();
  const std::string code = offer(bob, ALICE.user, tree);

  DesktopApp& desktop = startLoggedIn();
  EXPECT_EQ(desktoptest::httpGet(localUrl(home->tcpPort, "/RECV?code=" + code)), 200);
  desktop.waitFor([](const json& s) { return DesktopApp::noted(s, "Info", "Receiving\n  Ordner ä"); });
  answer("^Info$");
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
  const std::string window = x->window("^mirelcpp");
  x->click(window, 60, 75, 3);
  desktoptest::sleepMs(500);
  x->run({"xdotool", "key", "Up", "Return"});
  desktoptest::sleepMs(300);
  x->click(window, 60, 75, 3);
  desktoptest::sleepMs(500);
  x->run({"xdotool", "key", "Up", "Up", "Return"});
  const std::string localPath = state["rows"][0]["localPath"];
  ASSERT_TRUE(desktoptest::eventually(
      [&] { return testsupport::readFile(desktop.opened) == p2p::UvFile::getDir(localPath) + "\n" + localPath + "\n"; },
      5000))
      << testsupport::readFile(desktop.opened);
  const std::string colours = x->run({"identify", "-format", "%k", screenshot("mainMirelWx-status.png")});
  EXPECT_GT(std::atoi(colours.c_str()), 16) << "a blank screenshot";
}

TEST_F(DesktopTest, CloseBoxHidesIntoTheTrayAndTrayExitEndsProgramAndEngine) {
  START_X(true);
  const int port = servertest::randomFreePort();
  DesktopApp& desktop = startApp(offlineSettings(port));
  desktop.waitFor([](const json& s) { return s["engine"] == true; });
  x->run({X_DROP_PATH, "close", x->window("^mirelcpp")});
  desktop.waitFor([](const json& s) { return s["shown"] == false; });
  EXPECT_TRUE(desktop.process->running());

  // The tray icon (the only visible window of the program's own name): a double click shows
  // the window again, its menu's Exit ends the program.
  const std::string icon = x->window("^mainMirelWx$");
  x->run({"xdotool", "mousemove", "--window", icon, "8", "8", "click", "--repeat", "2", "--delay", "80", "1"});
  desktop.waitFor([](const json& s) { return s["shown"] == true; });
  x->click(icon, 8, 8, 3);
  desktoptest::sleepMs(700);
  x->run({"xdotool", "key", "x"});  // E&xit
  EXPECT_EQ(desktop.process->waitExit(15000), 0) << testsupport::readFile(desktop.log());
  EXPECT_EQ(desktoptest::httpGet(localUrl(port, "/RAISE"), 1), 0) << "the engine still answers";
}

// No user yet: the welcome offers the browser sign-in. With no tray host the close box ends it all.
TEST_F(DesktopTest, WithoutATrayFirstRunSignsInThroughTheBrowserAndTheCloseBoxEndsTheProgram) {
  START_X(false);
  startServer();
  DesktopApp& desktop = startApp("[server]\nurl = " + server->url("") + "\nudpPort = " +
                                  std::to_string(server->udpPort) + "\n[computer]\ntcp = " +
                                  std::to_string(home->tcpPort) + "\n");
  x->window("^Mirel Welcome$");
  EXPECT_EQ(desktop.waitFor([](const json& s) { return s["engine"] == true; })["tray"], false);
  answer("^Mirel Welcome$");  // the default: the Google account

  // The browser is asked for the sign-in page of this computer; the user signs in there.
  std::string url;
  ASSERT_TRUE(desktoptest::eventually([&] { return !(url = testsupport::readFile(desktop.opened)).empty(); }, 10000));
  const std::string prefix = server->url("Oauth2?uuid=");
  ASSERT_EQ(url.rfind(prefix, 0), 0u) << url;
  ASSERT_NE(url.find("&provider=google\n"), std::string::npos) << url;
  const std::string uuid = url.substr(prefix.size(), url.find('&') - prefix.size());
  x->window("^Mirel Google Login$");
  const std::string form =
      "uuid=" + uuid + "&email=" + servertest::enc(ALICE.user) + "&password=" + servertest::enc(ALICE.password);
  EXPECT_EQ(servertest::https(server->url("Oauth2"), server->caPath(), &form).status, 200);

  // The next polls learn it: the waiting ends and the engine logs in as Alice.
  desktop.waitFor([](const json& s) { return s["title"] == "mirelcpp 0.8.7 alice@example.com" && s["statusLineShown"] == false; });
  EXPECT_TRUE(desktoptest::eventually([&] { return x->firstWindow("^Mirel Google Login$").empty(); }, 5000));
  EXPECT_NE(testsupport::readFile(home->dir + "/properties.ini").find(ALICE.user), std::string::npos);

  x->run({X_DROP_PATH, "close", x->window("^mirelcpp")});
  EXPECT_EQ(desktop.process->waitExit(15000), 0) << testsupport::readFile(desktop.log());
  EXPECT_EQ(desktoptest::httpGet(localUrl(home->tcpPort, "/RAISE"), 1), 0) << "the engine still answers";
}

// The second instance always asks port 5551 (CTest's lock on it keeps these apart): a first on
// that port raises its window; where nothing answers the second says so and ends with 1.
TEST_F(DesktopTest, RaiseASecondStartRaisesTheFirstOrSaysItGotNoAnswerAndEnds) {
  START_X(true);
  if (!portFree(5551)) GTEST_SKIP() << "port 5551 is taken by another program";
  for (const bool answering : {true, false}) {
    DesktopApp& first =
        startApp(offlineSettings(answering ? 5551 : servertest::randomFreePort()));
    first.waitFor([](const json& s) { return s["engine"] == true; });
    x->run({X_DROP_PATH, "close", x->window("^mirelcpp")});
    first.waitFor([](const json& s) { return s["shown"] == false; });

    DesktopApp second(*x, dir.file("work"), dir.file("home"));
    second.start();
    if (!answering) answer("Information$");
    // Handed over: 0; nobody answered: 1.
    EXPECT_EQ(second.process->waitExit(15000), answering ? 0 : 1) << testsupport::readFile(second.log());
    if (answering) first.waitFor([](const json& s) { return s["shown"] == true; });
    EXPECT_EQ(x->firstWindow("Information"), "") << answering;
    EXPECT_TRUE(first.process->running());
  }
}

}  // namespace
