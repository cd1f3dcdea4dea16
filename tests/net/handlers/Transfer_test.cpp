// Files moving end to end: engines in processes of their own (engine-peer), the real stand-in
// server on loopback, trees compared by SHA-256 and no ".tmp." file left after a success. The
// ticket exchange that comes first, a forging receiver and a hostile sender run in this process.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>

#include "UdpChaos.h"
#include "net/handlers/AcceptedHandlers.h"
#include "net/handlers/GetTicketCb.h"
#include "net/handlers/TicketRecvHandler.h"
#include "net/messages/CopyResponse.h"
#include "net/messages/FileCreate.h"
#include "net/messages/FileWrite.h"
#include "net/messages/TicketRequest.h"
#include "net/messages/TicketResponse.h"
#include "support/EngineFixture.h"
#include "support/EngineProcess.h"
#include "support/Trees.h"
#include "utils/Sha1.h"

using namespace enginetest;
using net::Message;
namespace fs = std::filesystem;

namespace {

const Account alice{"alice@example.com", "alice-pw"}, bob{"bob@example.com", "bob-pw"},
    carol{"carol@example.com", "carol-pw"}, mallory{"mallory@example.com", "mallory-pw"};

// One computer: its working folder and its engine, logged in.
struct Computer {
  Computer(const servertest::ServerProcess& server, const Account& account, const std::string& dir)
      : home(server, account, dir) {
    restart();
  }
  // The engine starts again (after a kill, or to forget its offers).
  void restart() {
    engine.reset();
    engine = std::make_unique<EngineProcess>(home);
    engine->waitLoggedIn();
  }
  // Offers `files` to `to` under a code the server already knows, dated `createdAt`.
  void offerAs(const std::string& code, int64_t createdAt, const std::vector<std::string>& files, const Account& to) {
    engine->command(
        {{"op", "sendcode"}, {"id", 0}, {"to", to.user}, {"code", code}, {"createdAt", createdAt}, {"files", files}});
  }
  EngineProcess* operator->() { return engine.get(); }

  EngineHome home;
  std::unique_ptr<EngineProcess> engine;
};

// A stand-in server that knows the four accounts; alice's computer sends, bob's receives.
struct Site {
  explicit Site(const std::vector<std::string>& serverArgs = {}) : server(data.file("server"), serverArgs) {
    for (const Account& a : {alice, bob, carol, mallory}) addAccount(server, a);
    sender = std::make_unique<Computer>(server, alice, data.file("alice"));
    receiver = std::make_unique<Computer>(server, bob, data.file("bob"));
  }

  fs::path source(const std::string& name) const { return fs::path(data.path()) / "src" / name; }
  fs::path received(const std::string& name) const { return fs::path(receiver->home.recv) / name; }

  // A new ticket from `from` to `to` for `paths`; its code.
  std::string offer(Computer& from, const std::vector<std::string>& paths, const Account& to = bob) {
    const int id = ++nextId;
    from->command({{"op", "send"}, {"id", id}, {"to", to.user}, {"files", paths}});
    auto created = from->waitFor("TICKET_CREATE", id);
    if (!created || (*created)["code"] == "") throw std::runtime_error("no ticket: " + from->log());
    return (*created)["code"];
  }
  // Bob starts to receive `code`; the command's id.
  int startReceive(const std::string& code) {
    (*receiver)->command({{"op", "recv"}, {"id", ++nextId}, {"code", code}});
    return nextId;
  }
  // The reason of bob's TicketGet answer to a receive of `code`.
  std::string ticketGetReason(const std::string& code) {
    auto answer = (*receiver)->waitFor("TICKET_GET", startReceive(code), 30000);
    return answer ? (*answer)["reason"].get<std::string>() : "no answer";
  }
  // Bob receives `code` until the sequence says it is over; true when every path came.
  bool receive(const std::string& code, int timeoutMs = 60000) {
    startReceive(code);
    (*receiver)->waitLog("ticket " + code + ": ", timeoutMs);
    return (*receiver)->log().find("ticket " + code + ": every path received") != std::string::npos;
  }
  // Waits until bob's temporary copy of `name` holds more than `bytes`; its size.
  uintmax_t waitForPart(const std::string& name, uintmax_t bytes) {
    const fs::path part = received(".tmp." + name);
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
         !(fs::exists(part) && fs::file_size(part) > bytes) && std::chrono::steady_clock::now() < end;)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return fs::exists(part) ? fs::file_size(part) : 0;
  }
  void expectReceivedWhole(const fs::path& file) {
    EXPECT_EQ(trees::sha256OfFile(file), trees::sha256OfFile(received(file.filename()))) << file;
    EXPECT_TRUE(trees::leftovers(receiver->home.recv).empty());
  }

  testsupport::TempDir data;
  servertest::ServerProcess server;
  std::unique_ptr<Computer> sender, receiver;
  int nextId = 100;
};

class Engines : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { site = std::make_unique<Site>(); }
  static void TearDownTestSuite() { site.reset(); }
  inline static std::unique_ptr<Site> site;
};
class TicketExchange : public Engines {};
class Transfer : public Engines {};

// What a receiving connection of this process heard.
struct Outcome : net::PeerManager::Listener {
  std::optional<net::TicketResponse> answer;
  std::optional<std::string> closed;
  void onNotify(net::PeerManager*, void* data) override { answer = *static_cast<const net::TicketResponse*>(data); }
  void onClose(net::PeerManager* pm, const std::string& why) override {
    closed = why;
    pm->setListener(nullptr);
  }
};

// A receiver that signs with a key it does not have.
struct ForgingHandler : net::IHandler {
  ForgingHandler(net::IContext* c, std::string code, std::string peerUuid)
      : IHandler(c), code(std::move(code)), peerUuid(std::move(peerUuid)) {}
  void handleSend() override {
    if (std::exchange(sent, true)) return;
    net::TicketRequest request;
    request.uuid = context->uuid();
    request.username = context->username();
    request.signature = std::string(40, 'a');
    request.ticket = code;
    request.peerUuid = peerUuid;
    context->send(&request);
  }
  void handleRecv(const Message* m) override {
    context->notify(const_cast<Message*>(m));
    context->close(false, "");
  }
  std::string code, peerUuid;
  bool sent = false;
};

}  // namespace

TEST_F(TicketExchange, AnHonestReceiverGetsThePathsInOrderAndEveryoneElseTicketNotFound) {
  std::smatch m;
  const std::string ini = testsupport::readFile(site->sender->home.dir + "/properties.ini");
  ASSERT_TRUE(std::regex_search(ini, m, std::regex("\\nuuid = ([^\\n]*)")));
  const std::string senderUuid = m[1];
  const int64_t now = std::time(nullptr);
  for (const auto& [code, to, createdAt] : std::vector<std::tuple<std::string, Account, int64_t>>{
           {"GOOD", bob, now}, {"CAROLS", carol, now}, {"OLD", bob, now - 604800}, {"AHEAD", bob, now + 3600}})
    site->sender->offerAs(code, createdAt, {"/z/" + code, "/a/" + code}, to);

  LocalEngine engine(site->server);  // bob, from this process
  ASSERT_TRUE(engine.logIn(bob.user, bob.password));
  auto exchange = [&](const net::PeerManager::HandlerFactory& factory) {
    Outcome outcome;
    auto* connection = new net::PeerManager(engine.manager.get(), senderUuid, factory);
    connection->setListener(&outcome);
    if (!engine.runUntil([&] { return outcome.closed.has_value(); }, 20000)) connection->setListener(nullptr);
    return outcome;
  };
  auto honest = [&](const std::string& code) {
    p2p::TicketGetResponse offer;
    offer.uuid = senderUuid;
    offer.userName = alice.user;
    return exchange([=](net::IContext* c) { return new net::TicketRecvHandler(c, code, offer); });
  };
  for (const std::string code : {"GOOD", "AHEAD"}) {
    Outcome good = honest(code);
    ASSERT_TRUE(good.answer) << code;
    EXPECT_EQ(good.answer->status, Message::OK);
    EXPECT_EQ(good.answer->paths, (std::vector<std::string>{"/z/" + code, "/a/" + code}));
    EXPECT_EQ(good.closed, "");
  }
  for (Outcome refused : {honest("CAROLS"), honest("OLD"), honest("NOPE"),
                          exchange([&](net::IContext* c) { return new ForgingHandler(c, "GOOD", senderUuid); })}) {
    ASSERT_TRUE(refused.answer);
    EXPECT_EQ(refused.answer->status, Message::NOT_FOUND);
    EXPECT_EQ(refused.answer->reason, "Ticket not found");
    EXPECT_TRUE(refused.answer->paths.empty());
  }
  // The sender logs each request, but not the signature that vouches for bob.
  std::string signature;
  Sha1::getInstance().makeEncodedDigest(engine.properties.uuid + senderUuid + bob.user + bob.key(), signature);
  EXPECT_TRUE((*site->sender)->waitLog("signature:<40 bytes> ticket:NOPE", 5000));
  EXPECT_EQ((*site->sender)->log().find(signature), std::string::npos);
}

TEST_F(TicketExchange, SeveralReceivesFromOneSenderAtOnce) {
  std::vector<std::string> codes;
  std::vector<int> ids;
  for (int i = 0; i < 8; ++i) codes.push_back(site->offer(*site->sender, {"/p" + std::to_string(i)}));
  for (const std::string& code : codes) ids.push_back(site->startReceive(code));
  for (int id : ids) {
    auto got = (*site->receiver)->waitFor("TICKET_GET", id);
    ASSERT_TRUE(got);
    EXPECT_EQ((*got)["reason"], "") << id;
  }
}

// A sending computer started again knows its offers only once they are given back to it. Bob
// asks again every 5 s: the offer given back meanwhile is received, the one never given back is
// given up on once the window (shortened here to a moment) is over.
TEST_F(TicketExchange, ASenderThatDoesNotOfferTheCodeYetIsAskedAgainUntilTheWindowIsOver) {
  struct Shortened {
    Shortened() { net::GetTicketCb::notFoundWindowMs = 1; }
    ~Shortened() { net::GetTicketCb::notFoundWindowMs = net::GetTicketCb::NOT_FOUND_WINDOW_MS; }
  } window;
  Computer carols(site->server, carol, site->data.file("carol-restarted"));
  const fs::path file = site->source("late.bin");
  trees::writeRandom(file, 100'000, 21);
  const std::string late = site->offer(carols, {file.string()}), never = site->offer(carols, {file.string()});
  carols.restart();  // both offers forgotten; the web server still knows both tickets
  LocalEngine engine(site->server);  // bob, from this process
  ASSERT_TRUE(engine.logIn(bob.user, bob.password));
  engine.manager->ticketRecv(1, late);
  engine.manager->ticketRecv(2, never);
  ASSERT_TRUE(engine.runUntil([&] { return !engine.events.ticketGetReasons(1).empty(); }, 30000));
  carols.offerAs(late, std::time(nullptr), {file.string()}, bob);
  ASSERT_TRUE(engine.runUntil([&] {
    return engine.manager->receives.empty() && engine.events.ticketGetReasons(2).size() == 2;
  }, 60000));
  EXPECT_EQ(engine.events.ticketGetReasons(1), (std::vector<std::string>{"Ticket not found", ""}));
  EXPECT_EQ(engine.events.ticketGetReasons(2), (std::vector<std::string>{"Ticket not found", "Ticket not found"}));
  EXPECT_EQ(trees::sha256OfFile(file), trees::sha256OfFile(engine.dir.file("late.bin")));
}

// The sender cannot reach its web server to check bob (how it answers then is the handler's
// test): it says so with TIMEOUT, and bob asks again.
TEST_F(TicketExchange, ASenderWhoseWebServerCannotBeReachedIsAskedAgain) {
  struct AwaySender : net::IHandler {
    using IHandler::IHandler;
    void handleRecv(const Message*) override {}
    void handleSend() override {
      if (std::exchange(answered, true)) return;
      net::TicketResponse away;
      away.status = Message::TIMEOUT;
      away.reason = "web server unreachable: Couldn't connect to server";
      context->send(&away);
      context->close(false, "");
    }
    bool answered = false;
  };
  LocalEngine engine(site->server);  // the sender, in this process
  ASSERT_TRUE(engine.logIn(mallory.user, mallory.password));
  int requests = 0;
  engine.manager->setAcceptedHandlerFactory([&](net::IContext* c, const Message* first) {
    if (first->getOpcode() == Message::TICKET_REQUEST && requests++ < 2)
      return std::unique_ptr<net::IHandler>(new AwaySender(c));
    return net::newAcceptedHandler(c, first);
  });
  const fs::path file = site->source("checked.bin");
  trees::writeRandom(file, 100'000, 22);
  engine.manager->ticketSend(1, bob.user, {file.string()}, "", false);
  ASSERT_TRUE(engine.runUntil([&] { return engine.events.count(net::Api::TICKET_CREATE) == 1; }, 10000));
  const std::string code = engine.events.last<net::Api::TicketCreateEvent>(net::Api::TICKET_CREATE)->code;
  site->startReceive(code);
  const std::string done = "ticket " + code + ": every path received";
  ASSERT_TRUE(engine.runUntil([&] { return (*site->receiver)->log().find(done) != std::string::npos; }, 30000));
  EXPECT_EQ(requests, 3);
  EXPECT_NE((*site->receiver)->log().find("ticket " + code + ": web server unreachable: "), std::string::npos);
  site->expectReceivedWhole(file);
}

// A code nobody knows, a ticket for someone else, an offer gone stale and a sender gone away.
TEST_F(Transfer, AnOfferThatIsUnknownForSomeoneElseExpiredOrOfflineIsRefused) {
  EXPECT_EQ(site->ticketGetReason("UNKNOWN-CODE"), "Not Found");
  EXPECT_EQ(site->ticketGetReason(site->offer(*site->sender, {"/for/carol"}, carol)), "Not Found");

  // Carol's engine forgets its offer when it starts again, and is given it back dated seven days ago.
  Computer carolsComputer(site->server, carol, site->data.file("carol-gone"));
  const std::string code = site->offer(carolsComputer, {"/nowhere"});
  carolsComputer.restart();
  carolsComputer.offerAs(code, std::time(nullptr) - 604800, {"/nowhere"}, bob);
  const int id = site->startReceive(code);
  auto notFound = (*site->receiver)->waitFor("TICKET_GET", id, 30000);
  ASSERT_TRUE(notFound);
  EXPECT_EQ((*notFound)["reason"], "Ticket not found");
  // Bob asks again (her computer may just have started), and now finds nobody.
  carolsComputer->kill9();
  EXPECT_TRUE((*site->receiver)->waitFor([&](const json& e) {
    return e["type"] == "TICKET_GET" && e["id"] == id && e["reason"] == "can't find peer";
  }, 60000));
  (*site->receiver)->command({{"op", "pause"}, {"id", ++site->nextId}, {"code", code}});
}

// Links in the receive folder, under a temporary and under a final name, are not written
// through: what they point to stays as it was, and the files arrive as files of their own.
TEST_F(Transfer, FilesOfTheSizesAroundOneChunkInOneTicket) {
  std::vector<std::string> paths;
  for (uint64_t size : {0ull, 61416ull, 61417ull, 3'000'000ull}) {
    paths.push_back(site->source("sizes/f" + std::to_string(size) + ".bin"));
    trees::writeRandom(paths.back(), size, size + 1);
  }
  const fs::path outside = site->data.file("outside.bin");
  trees::writeRandom(outside, 61417, 99);
  const std::string before = trees::sha256OfFile(outside);
  fs::create_directories(site->received(""));
  fs::create_symlink(outside, site->received(".tmp.f61416.bin"));
  fs::create_symlink(outside, site->received("f61417.bin"));
  ASSERT_TRUE(site->receive(site->offer(*site->sender, paths)));
  for (const std::string& path : paths) site->expectReceivedWhole(path);
  EXPECT_EQ(trees::sha256OfFile(outside), before);
  EXPECT_FALSE(fs::is_symlink(site->received("f61417.bin")));
  // The receiving side shows the rate too.
  EXPECT_TRUE((*site->receiver)->waitFor([](const json& e) {
    return e["type"] == "SEND_RECV" && e["fileName"] == "f3000000.bin" && e["offset"] == 3'000'000 &&
           e["bytesSec"] > 0;
  }, 5000));
}

TEST_F(Transfer, ANestedFolderWithEmptyFilesAndNonAsciiNames) {
  const fs::path root = site->source("Photos été");
  trees::writeRandom(root / "a.jpg", 100'000, 1);
  trees::writeRandom(root / "2019" / "naïve résumé.txt", 5'000, 2);
  trees::writeRandom(root / "2019" / "日本" / "empty", 0, 3);
  trees::writeRandom(root / "2020" / "deep" / "deeper" / "b.bin", 200'000, 4);
  fs::create_directories(root / "nothing here");  // no message carries an empty folder
  const std::vector<std::string> expected = trees::digest(root);
  // Names no receiver may write stay behind; the rest of the folder still comes.
  trees::writeRandom(root / "2019" / ".tmp.partial", 10, 5);
  trees::writeRandom(root / "bell\x07name", 10, 6);
  ASSERT_TRUE(site->receive(site->offer(*site->sender, {root.string() + "/"})));
  EXPECT_EQ(trees::digest(site->received("Photos été")), expected);
  EXPECT_EQ(expected.size(), 4u);
  EXPECT_TRUE(trees::leftovers(site->received("Photos été")).empty());
}

TEST_F(Transfer, A200MiBFile) {
  const fs::path file = site->source("200MiB.bin");
  trees::writeRandom(file, 200ull << 20, 7);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(site->receive(site->offer(*site->sender, {file.string()}), 120000));
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("200 MiB in %.2f s: %.0f MB/s\n", seconds, 209.7152 / seconds);
  site->expectReceivedWhole(file);
}

TEST_F(Transfer, PauseThenResumeAndAChangedSourceIsSentAgain) {
  const fs::path file = site->source("resumable.bin");
  trees::writeRandom(file, 120ull << 20, 11);
  const std::string code = site->offer(*site->sender, {file.string()});
  const int recvId = site->startReceive(code);
  site->waitForPart("resumable.bin", 8u << 20);
  (*site->receiver)->command({{"op", "pause"}, {"id", ++site->nextId}, {"code", code}});
  ASSERT_TRUE((*site->receiver)->waitFor([&](const json& e) {
    return e["type"] == "SEND_RECV" && e["id"] == recvId && e["reason"] == "Paused";
  }));
  EXPECT_LT(fs::file_size(site->received(".tmp.resumable.bin")), 120ull << 20);

  ASSERT_TRUE(site->receive(code));  // resumed: the held prefix matches
  site->expectReceivedWhole(file);
  EXPECT_NE((*site->receiver)->log().find("resumable.bin 125829120 bytes (resumed)"), std::string::npos);

  // The source changes at its start; the held copy no longer matches and the file comes again.
  std::fstream(file, std::ios::in | std::ios::out | std::ios::binary).write("changed!", 8);
  ASSERT_TRUE(site->receive(site->offer(*site->sender, {file.string()})));
  site->expectReceivedWhole(file);
}

TEST_F(Transfer, ASenderKilledMidFileIsResumedUnderTheSameCode) {
  Computer carolsComputer(site->server, carol, site->data.file("carol"));
  const fs::path first = site->source("first.bin"), file = site->source("survivor.bin");
  trees::writeRandom(first, 1000, 12);
  trees::writeRandom(file, 150ull << 20, 13);
  const std::string code = site->offer(carolsComputer, {first.string(), file.string()});
  site->startReceive(code);
  EXPECT_GT(site->waitForPart("survivor.bin", 20u << 20), 20u << 20);
  carolsComputer->kill9();

  carolsComputer.restart();  // the same computer, its offer given back under the same code
  carolsComputer.offerAs(code, std::time(nullptr), {first.string(), file.string()}, bob);
  ASSERT_TRUE((*site->receiver)->waitLog("ticket " + code + ": every path received", 90000));
  site->expectReceivedWhole(first);
  site->expectReceivedWhole(file);
  const std::string log = (*site->receiver)->log();
  // Resumed, not restarted: the copy after the restart began where the held prefix ended.
  EXPECT_NE(log.find("survivor.bin 157286400 bytes (resumed)"), std::string::npos);
  // The file that was whole before the restart is said to be there, not received again.
  const std::regex receivedFirst("received \\S*first\\.bin 1000 bytes [0-9.e+-]+ MB/s");
  EXPECT_EQ(std::distance(std::sregex_iterator(log.begin(), log.end(), receivedFirst), std::sregex_iterator()), 1);
  EXPECT_NE(log.find("already received " + site->received("first.bin").string() + " 1000 bytes"), std::string::npos);
}

namespace {

// Serves a copy request with names of its choosing: announces `path`/`name`, and after the
// receiver's answer decides on `laterPath`/`laterName` (when given) and sends five bytes.
class HostileSender : public net::IHandler {
 public:
  struct Names {
    std::string path, name, laterPath = "", laterName = "";
  };
  HostileSender(net::IContext* c, Names names) : IHandler(c), names(std::move(names)) {}

  void handleSend() override {
    if (!context->canSend()) return;
    net::CopyResponse response;
    response.status = Message::CONTINUE;
    response.totalFiles = 1;
    response.totalBytes = 5;
    const bool switched = !names.laterName.empty();
    if (step == 0 && context->send(&response)) step = 1;
    if (step == 1 && context->canSend() && context->send(&create(1, names.path, names.name))) step = 2;
    if (step == 3 &&
        context->send(&create(0, switched ? names.laterPath : names.path, switched ? names.laterName : names.name)))
      step = 4;
    if (step == 4 && context->canSend()) {
      std::memcpy(context->getSendBuffer()->array() + net::FileWrite::getDataOffset(), "evil!", 5);
      net::FileWrite write;
      write.length = 5;
      if (context->send(&write)) step = 5;
    }
  }
  void handleRecv(const Message* m) override {
    if (step == 2 && m->getOpcode() == Message::FILE_ACK) step = 3, handleSend();
  }

 private:
  net::FileCreate& create(int32_t sync, const std::string& path, const std::string& name) {
    fileCreate = net::FileCreate();
    fileCreate.path = path;
    fileCreate.fileName = name;
    fileCreate.size = 5;
    fileCreate.sync = sync;
    fileCreate.appendMode = fileCreate.fingerprintMode = 1;
    return fileCreate;
  }

  Names names;
  net::FileCreate fileCreate;
  int step = 0;
};

}  // namespace

TEST_F(Transfer, AHostileSendersNamesAreRefusedAndNothingIsWrittenOutsideTheReceiveFolder) {
  LocalEngine evil(site->server);
  ASSERT_TRUE(evil.logIn(mallory.user, mallory.password));
  auto elsewhere = [&] {  // every file of the site that neither the server nor an engine writes
    std::vector<std::string> files = trees::digest(site->data.path());
    files.erase(std::remove_if(files.begin(), files.end(),
                               [](const std::string& line) {
                                 return line.rfind("bob/recv/", 0) == 0 || line.rfind("server", 0) == 0 ||
                                        line.find("/engine.") != std::string::npos;
                               }),
                files.end());
    return files;
  };
  const std::vector<std::string> before = elsewhere();
  const std::vector<HostileSender::Names> cases = {
      {"../escape", "x"}, {"", "../x"},        {"", "a/b"},       {"", "..\\x"},        {"/abs/dir", "x"},
      {"", "/etc/passwd"}, {"", "."},           {"", ""},          {"", "file\n.txt"}, {"", ".tmp.file.txt"},
      {"", "other.txt"},  {"file.txt/..", "x"}, {"", std::string("fi\0le.txt", 8)},
      {"", "file.txt", "..", "file.txt"},  // a decision that names another file
      {"", "file.txt", "", "../file.txt"},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    const HostileSender::Names names = cases[i];
    evil.manager->setAcceptedHandlerFactory([names](net::IContext* c, const Message* first) {
      if (first->getOpcode() != Message::COPY_REQUEST) return net::newAcceptedHandler(c, first);
      return std::unique_ptr<net::IHandler>(new HostileSender(c, names));
    });
    evil.manager->ticketSend(static_cast<int>(i), bob.user, {"/srv/share/file.txt"}, "", false);
    ASSERT_TRUE(evil.runUntil([&] { return evil.events.count(net::Api::TICKET_CREATE) == i + 1; }, 10000));
    const std::string code = evil.events.last<net::Api::TicketCreateEvent>(net::Api::TICKET_CREATE)->code;
    site->startReceive(code);
    const std::string verdict = "ticket " + code + ": ";
    evil.runUntil([&] { return (*site->receiver)->log().find(verdict) != std::string::npos; }, 20000);
    EXPECT_NE((*site->receiver)->log().find(verdict + "1 path(s) refused for good"), std::string::npos) << i;
  }
  EXPECT_EQ(elsewhere(), before);
  EXPECT_FALSE(fs::exists(site->received("file.txt")));
  EXPECT_FALSE(fs::exists(site->receiver->home.dir + "/escape"));
}

// Through an outside relay that delays every datagram: the only way between the two computers.
TEST(TransferRelay, AFileCrossesARelayThatDelaysAndTheReceiverSaysItWasRelayed) {
  udpchaos::UdpChaos::Options options;
  options.delayMs = 5;
  options.senderAlias = "127.0.0.9";  // the name under which the stand-in introduces the peers
  udpchaos::UdpChaos relay(options);
  Site site({"--relay-via", "127.0.0.1:" + std::to_string(relay.port())});
  const fs::path file = site.source("relayed.bin");
  trees::writeRandom(file, 4u << 20, 17);
  ASSERT_TRUE(site.receive(site.offer(*site.sender, {file.string()}), 30000)) << (*site.receiver)->log();
  site.expectReceivedWhole(file);
  EXPECT_NE((*site.receiver)->log().find("proxy="), std::string::npos);  // the hole names the relay
  EXPECT_GT(relay.total().forwarded, 3000u);  // 4 MiB in 1385-byte payloads, and acknowledgements
}

namespace {

// Every file under `received` that has its final name is whole: the same bytes as its source.
void expectNothingWrongUnderAFinalName(const fs::path& source, const fs::path& received) {
  if (!fs::exists(received)) return;
  for (const auto& entry : fs::recursive_directory_iterator(received)) {
    if (!entry.is_regular_file() || entry.path().filename().string().rfind(".tmp.", 0) == 0) continue;
    const fs::path from = source / fs::relative(entry.path(), received);
    EXPECT_EQ(trees::sha256OfFile(entry.path()), trees::sha256OfFile(from)) << entry.path();
  }
}

size_t filesNamed(const fs::path& root) {
  size_t n = 0;
  if (!fs::exists(root)) return 0;
  for (const auto& entry : fs::recursive_directory_iterator(root))
    n += entry.is_regular_file() && entry.path().filename().string().rfind(".tmp.", 0) != 0;
  return n;
}

// Waits until at least `count` files under `root` have their final name.
void waitForFiles(const fs::path& root, size_t count) {
  for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
       filesNamed(root) < count && std::chrono::steady_clock::now() < end;)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

}  // namespace

// Thousands of small files with big ones among them, pipelined through a relay with a 40 ms
// round trip, interrupted in the middle of the window: a pause, the receiver killed, the sender
// killed while a file not yet sent changes. Nothing under a final name is ever wrong, and each
// resume completes the tree.
TEST(TransferPipeline, AWindowOfFilesSurvivesAPauseAKillOfEitherSideAndAChangedSource) {
  udpchaos::UdpChaos::Options options;
  options.delayMs = 20;
  options.senderAlias = "127.0.0.9";
  udpchaos::UdpChaos relay(options);
  Site site({"--relay-via", "127.0.0.1:" + std::to_string(relay.port())});
  const fs::path root = site.source("many");
  for (int i = 0; i < 2400; ++i)
    trees::writeRandom(root / ("d" + std::to_string(i % 24)) / ("f" + std::to_string(i)), i % 7 == 0 ? 0 : 700 + i, i);
  for (int i = 0; i < 4; ++i) trees::writeRandom(root / ("d" + std::to_string(i * 6)) / "big.bin", 3u << 20, 100 + i);
  const fs::path late = root / "d23" / "f2399";
  const fs::path received = site.received("many");
  const std::string code = site.offer(*site.sender, {root.string()});

  // A pause in the middle of the window.
  const int first = site.startReceive(code);
  waitForFiles(received, 300);
  (*site.receiver)->command({{"op", "pause"}, {"id", ++site.nextId}, {"code", code}});
  ASSERT_TRUE((*site.receiver)->waitFor([&](const json& e) {
    return e["type"] == "SEND_RECV" && e["id"] == first && e["reason"] == "Paused";
  }, 30000));
  expectNothingWrongUnderAFinalName(root, received);
  EXPECT_LT(filesNamed(received), 2404u);

  // The receiver killed in the middle of the window, and started again.
  site.startReceive(code);
  waitForFiles(received, filesNamed(received) + 300);
  (*site.receiver)->kill9();
  expectNothingWrongUnderAFinalName(root, received);
  site.receiver->restart();

  // The sender killed, and a file not yet sent changes before it is offered again.
  site.startReceive(code);
  waitForFiles(received, filesNamed(received) + 300);
  ASSERT_FALSE(fs::exists(received / "d23" / "f2399"));
  (*site.sender)->kill9();
  trees::writeRandom(late, 4000, 4242);
  expectNothingWrongUnderAFinalName(root, received);
  site.sender->restart();
  site.sender->offerAs(code, std::time(nullptr), {root.string()}, bob);
  ASSERT_TRUE((*site.receiver)->waitLog("ticket " + code + ": every path received", 120000)) << (*site.receiver)->log();
  EXPECT_EQ(trees::digest(received), trees::digest(root));
  EXPECT_TRUE(trees::leftovers(received).empty());
}
