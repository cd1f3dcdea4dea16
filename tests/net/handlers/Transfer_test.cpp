// Files moving end to end: two engines in two processes (engine-peer), the real stand-in server on
// loopback, trees compared by SHA-256, and no ".tmp." file left after a success. A hostile sender
// runs in this process.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>

#include "net/handlers/AcceptedHandlers.h"
#include "net/handlers/EngineFixture.h"
#include "net/messages/CopyRequest.h"
#include "net/messages/CopyResponse.h"
#include "net/messages/FileAck.h"
#include "net/messages/FileCreate.h"
#include "net/messages/FileWrite.h"
#include "support/EngineProcess.h"
#include "support/Trees.h"
#include "UdpChaos.h"

using namespace enginetest;
using net::Message;
namespace fs = std::filesystem;

namespace {

const Account alice{"alice@example.com", "alice-pw"};
const Account bob{"bob@example.com", "bob-pw"};
const Account carol{"carol@example.com", "carol-pw"};
const Account mallory{"mallory@example.com", "mallory-pw"};

class Transfer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    data = new testsupport::TempDir();
    server = new servertest::ServerProcess(data->file("server"));
    for (const Account& a : {alice, bob, carol, mallory}) addAccount(*server, a);
    senderHome = new EngineHome(*server, alice, data->file("alice"));
    sender = new EngineProcess(*senderHome);
    receiverHome = new EngineHome(*server, bob, data->file("bob"));
    receiver = new EngineProcess(*receiverHome);
    sender->waitLoggedIn();
    receiver->waitLoggedIn();
  }
  static void TearDownTestSuite() {
    delete receiver;
    delete sender;
    delete receiverHome;
    delete senderHome;
    delete server;
    delete data;
  }

  static fs::path source(const std::string& name) { return fs::path(data->path()) / "src" / name; }
  static fs::path received(const std::string& name) { return fs::path(receiverHome->recv) / name; }

  // A new ticket from `from` to bob for `paths`; its code.
  static std::string offer(EngineProcess& from, const std::vector<std::string>& paths) {
    const int id = ++nextId;
    from.command({{"op", "send"}, {"id", id}, {"to", bob.user}, {"files", paths}});
    auto created = from.waitFor("TICKET_CREATE", id);
    if (!created || (*created)["code"] == "") throw std::runtime_error("no ticket: " + from.log());
    return (*created)["code"];
  }

  // Bob receives `code` until the sequence says it is over; true when every path came.
  static bool receive(const std::string& code, int timeoutMs = 60000) {
    receiver->command({{"op", "recv"}, {"id", ++nextId}, {"code", code}});
    const std::string done = "ticket " + code + ": every path received";
    const std::string refused = "ticket " + code + ": ";
    receiver->waitLog(refused, timeoutMs);
    return receiver->log().find(done) != std::string::npos;
  }

  static void expectSameTree(const fs::path& from, const fs::path& to) {
    EXPECT_EQ(trees::digest(from), trees::digest(to)) << from << " -> " << to;
    EXPECT_TRUE(trees::leftovers(to).empty());
  }

  static testsupport::TempDir* data;
  static servertest::ServerProcess* server;
  static EngineHome* senderHome;
  static EngineHome* receiverHome;
  static EngineProcess* sender;
  static EngineProcess* receiver;
  static int nextId;
};

testsupport::TempDir* Transfer::data;
servertest::ServerProcess* Transfer::server;
EngineHome* Transfer::senderHome;
EngineHome* Transfer::receiverHome;
EngineProcess* Transfer::sender;
EngineProcess* Transfer::receiver;
int Transfer::nextId = 100;

}  // namespace

TEST_F(Transfer, SeveralSingleFilesOfTheSizesAroundOneChunkInOneTicket) {
  std::vector<std::string> paths;
  for (uint64_t size : {0ull, 61416ull, 61417ull, 3'000'000ull}) {
    const fs::path file = source("sizes") / ("f" + std::to_string(size) + ".bin");
    trees::writeRandom(file, size, size + 1);
    paths.push_back(file.string());
  }
  ASSERT_TRUE(receive(offer(*sender, paths)));
  for (const std::string& path : paths) {
    const fs::path name = fs::path(path).filename();
    ASSERT_TRUE(fs::exists(received(name))) << name;
    EXPECT_EQ(trees::sha256OfFile(path), trees::sha256OfFile(received(name))) << name;
  }
  EXPECT_TRUE(trees::leftovers(receiverHome->recv).empty());
}

TEST_F(Transfer, ANestedFolderWithEmptyFilesAndNonAsciiNames) {
  const fs::path root = source("Photos été");
  trees::writeRandom(root / "a.jpg", 100'000, 1);
  trees::writeRandom(root / "2019" / "naïve résumé.txt", 5'000, 2);
  trees::writeRandom(root / "2019" / "日本" / "empty", 0, 3);
  trees::writeRandom(root / "2020" / "deep" / "deeper" / "b.bin", 200'000, 4);
  fs::create_directories(root / "nothing here");  // no message carries an empty folder
  // Names no receiver may write stay behind; the rest of the folder still comes.
  trees::writeRandom(root / "2019" / ".tmp.partial", 10, 5);
  trees::writeRandom(root / "bell\x07name", 10, 6);
  ASSERT_TRUE(receive(offer(*sender, {root.string() + "/"})));
  std::vector<std::string> expected = trees::digest(root);
  expected.erase(std::remove_if(expected.begin(), expected.end(),
                                [](const std::string& line) {
                                  return line.find(".tmp.partial") != std::string::npos ||
                                         line.find("bell\x07name") != std::string::npos;
                                }),
                 expected.end());
  EXPECT_EQ(trees::digest(received("Photos été")), expected);
  EXPECT_EQ(expected.size(), 4u);
}

TEST_F(Transfer, A200MiBFile) {
  const fs::path file = source("big") / "200MiB.bin";
  trees::writeRandom(file, 200ull << 20, 7);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(receive(offer(*sender, {file.string()}), 120000));
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("200 MiB in %.2f s: %.0f MB/s\n", seconds, 209.7152 / seconds);
  EXPECT_EQ(trees::sha256OfFile(file), trees::sha256OfFile(received("200MiB.bin")));
  EXPECT_TRUE(trees::leftovers(receiverHome->recv).empty());
}

TEST_F(Transfer, PauseThenResumeAndAChangedSourceIsSentAgain) {
  const fs::path file = source("pause") / "resumable.bin";
  trees::writeRandom(file, 120ull << 20, 11);
  const std::string code = offer(*sender, {file.string()});
  const fs::path tmp = received(".tmp.resumable.bin");
  receiver->command({{"op", "recv"}, {"id", ++nextId}, {"code", code}});
  const int recvId = nextId;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!(fs::exists(tmp) && fs::file_size(tmp) > (8u << 20)) && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  receiver->command({{"op", "pause"}, {"id", ++nextId}, {"code", code}});
  auto paused = receiver->waitFor(
      [&](const json& e) { return e["type"] == "SEND_RECV" && e["id"] == recvId && e["reason"] == "Paused"; });
  ASSERT_TRUE(paused);
  ASSERT_TRUE(fs::exists(tmp));
  const auto held = fs::file_size(tmp);
  EXPECT_LT(held, 120ull << 20);

  ASSERT_TRUE(receive(code));  // resumed: the held prefix matches
  EXPECT_EQ(trees::sha256OfFile(file), trees::sha256OfFile(received("resumable.bin")));
  EXPECT_NE(receiver->log().find("resumable.bin 125829120 bytes (resumed)"), std::string::npos);

  // The source changes at its start; the held copy no longer matches and the file comes again.
  {
    std::fstream change(file, std::ios::in | std::ios::out | std::ios::binary);
    change.write("changed!", 8);
  }
  const std::string again = offer(*sender, {file.string()});
  ASSERT_TRUE(receive(again));
  EXPECT_EQ(trees::sha256OfFile(file), trees::sha256OfFile(received("resumable.bin")));
  EXPECT_TRUE(trees::leftovers(receiverHome->recv).empty());
}

TEST_F(Transfer, ASenderKilledMidFileIsResumedUnderTheSameCode) {
  EngineHome carolHome(*server, carol, data->file("carol"));
  auto carolEngine = std::make_unique<EngineProcess>(carolHome);
  carolEngine->waitLoggedIn();
  const fs::path file = source("killed") / "survivor.bin";
  trees::writeRandom(file, 150ull << 20, 13);
  const std::string code = offer(*carolEngine, {file.string()});
  const fs::path tmp = received(".tmp.survivor.bin");
  receiver->command({{"op", "recv"}, {"id", ++nextId}, {"code", code}});
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!(fs::exists(tmp) && fs::file_size(tmp) > (20u << 20)) && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  carolEngine->kill9();
  const auto heldAtKill = fs::file_size(tmp);

  carolEngine = std::make_unique<EngineProcess>(carolHome);  // the same computer, started again
  carolEngine->waitLoggedIn();
  carolEngine->command({{"op", "sendcode"}, {"id", 1}, {"to", bob.user}, {"code", code},
                        {"createdAt", static_cast<int64_t>(std::time(nullptr))}, {"files", {file.string()}}});
  ASSERT_TRUE(receiver->waitLog("ticket " + code + ": every path received", 90000));
  EXPECT_EQ(trees::sha256OfFile(file), trees::sha256OfFile(received("survivor.bin")));
  EXPECT_TRUE(trees::leftovers(receiverHome->recv).empty());
  // Resumed, not restarted: the copy after the restart began where the held prefix ended.
  EXPECT_GT(heldAtKill, 0u);
  EXPECT_NE(receiver->log().find("survivor.bin 157286400 bytes (resumed)"), std::string::npos);
}

TEST_F(Transfer, AnOfferThatIsGoneOrForSomeoneElseIsRefused) {
  // Carol's engine makes a ticket, is restarted (its offers are gone) and offers the code again,
  // dated seven days back.
  EngineHome carolHome(*server, carol, data->file("carol-2"));
  auto carolEngine = std::make_unique<EngineProcess>(carolHome);
  carolEngine->waitLoggedIn();
  const std::string code = offer(*carolEngine, {"/nowhere"});
  carolEngine = std::make_unique<EngineProcess>(carolHome);
  carolEngine->waitLoggedIn();
  carolEngine->command({{"op", "sendcode"}, {"id", 1}, {"to", bob.user}, {"code", code},
                        {"createdAt", static_cast<int64_t>(std::time(nullptr)) - 604800}, {"files", {"/nowhere"}}});
  receiver->command({{"op", "recv"}, {"id", 501}, {"code", code}});
  auto expired = receiver->waitFor("TICKET_GET", 501);
  ASSERT_TRUE(expired);
  EXPECT_EQ((*expired)["reason"], "Ticket not found");

  sender->command({{"op", "send"}, {"id", 502}, {"to", carol.user}, {"files", {"/for/carol"}}});
  auto forCarol = sender->waitFor("TICKET_CREATE", 502);
  ASSERT_TRUE(forCarol);
  receiver->command({{"op", "recv"}, {"id", 503}, {"code", (*forCarol)["code"]}});
  auto notBobs = receiver->waitFor("TICKET_GET", 503);
  ASSERT_TRUE(notBobs);
  EXPECT_EQ((*notBobs)["reason"], "Not Found");
}

namespace {

// Serves a copy request with names of its choosing.
class HostileSender : public net::IHandler {
 public:
  struct Names {
    std::string path;
    std::string fileName;
    std::string laterPath;  // used in the second FileCreate when not empty
    std::string laterName;
  };
  HostileSender(net::IContext* c, Names names) : IHandler(c), names(std::move(names)) { handlerName = "Hostile"; }

  void handleSend() override {
    if (step == 0) {
      net::CopyResponse response;
      response.status = Message::CONTINUE;
      response.totalFiles = 1;
      response.totalBytes = 5;
      if (context->send(&response)) step = 1;
    } else if (step == 1) {
      if (context->send(&create(1, names.path, names.fileName))) step = 2;
    } else if (step == 3) {
      const bool switched = !names.laterName.empty();
      if (context->send(&create(0, switched ? names.laterPath : names.path,
                                switched ? names.laterName : names.fileName)))
        step = 4;
    } else if (step == 4 && context->canSend()) {
      ByteBuffer* buffer = context->getSendBuffer();
      buffer->clear();
      std::memcpy(buffer->array() + net::FileWrite::getDataOffset(), "evil!", 5);
      net::FileWrite write;
      write.offset = 0;
      write.length = 5;
      if (context->send(&write)) step = 5;
    }
  }
  void handleRecv(const Message* m) override {
    if (step == 2 && m->getOpcode() == Message::FILE_ACK) {
      step = 3;
      handleSend();
    }
  }

 private:
  net::FileCreate& create(int32_t sync, const std::string& path, const std::string& name) {
    fileCreate = net::FileCreate();
    fileCreate.fileName = name;
    fileCreate.path = path;
    fileCreate.size = 5;
    fileCreate.remainingFiles = 0;
    fileCreate.sync = sync;
    fileCreate.appendMode = 1;
    fileCreate.fingerprintMode = 1;
    return fileCreate;
  }

  Names names;
  net::FileCreate fileCreate;
  int step = 0;
};

}  // namespace

TEST_F(Transfer, AHostileSendersNamesAreRefusedAndNothingIsWrittenOutsideTheReceiveFolder) {
  LocalEngine evil("https://127.0.0.1:" + std::to_string(server->httpsPort) + "/", server->udpPort,
                   testsupport::readFile(server->caPath()));
  evil.manager->doLogin(0, mallory.user, mallory.password);
  ASSERT_TRUE(evil.runUntil([&] { return evil.manager->isConnected(); }, 15000));
  const fs::path outside = fs::path(receiverHome->dir);
  const auto before = trees::digest(data->path());

  auto names = [](std::string path, std::string file, std::string laterPath = "", std::string laterName = "") {
    return HostileSender::Names{std::move(path), std::move(file), std::move(laterPath), std::move(laterName)};
  };
  const std::vector<HostileSender::Names> cases = {
      names("../escape", "x"),  names("", "../x"),        names("", "a/b"),
      names("", "..\\x"),       names("/abs/dir", "x"),   names("", "/etc/passwd"),
      names("", "."),           names("", ".tmp.file.txt"), names("", std::string("fi\0le.txt", 8)),
      names("", "file\n.txt"),  names("", "other.txt"),   names("file.txt/..", "x"),
      names("", ""),            names("", "file.txt", "..", "file.txt"),
      names("", "file.txt", "", "../file.txt"),
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    const HostileSender::Names names = cases[i];
    evil.manager->setAcceptedHandlerFactory([names](net::IContext* c, const Message* first) {
      if (first->getOpcode() != Message::COPY_REQUEST) return net::newAcceptedHandler(c, first);
      return std::unique_ptr<net::IHandler>(new HostileSender(c, names));
    });
    const int id = 700 + static_cast<int>(i);
    evil.manager->ticketSend(id, bob.user, {"/srv/share/file.txt"}, "", false);
    ASSERT_TRUE(evil.runUntil([&] { return evil.events.count(net::Api::TICKET_CREATE) == i + 1; }, 10000));
    const std::string code = evil.events.last<net::Api::TicketCreateEvent>(net::Api::TICKET_CREATE)->code;
    receiver->command({{"op", "recv"}, {"id", id}, {"code", code}});
    const std::string verdict = "ticket " + code + ": ";
    evil.runUntil([&] { return receiver->log().find(verdict) != std::string::npos; }, 20000);
    EXPECT_NE(receiver->log().find(verdict + "1 path(s) refused for good"), std::string::npos) << i;
  }
  // Nothing appeared anywhere but in the receive folder, and there nothing by those names.
  std::vector<std::string> after = trees::digest(data->path());
  after.erase(std::remove_if(after.begin(), after.end(),
                             [&](const std::string& line) {
                               return line.rfind("bob/recv/", 0) == 0 || line.find(".log") != std::string::npos ||
                                      line.find("engine.") != std::string::npos ||
                                      line.rfind("server/", 0) == 0 || line.rfind("src/", 0) == 0;
                             }),
              after.end());
  std::vector<std::string> kept = before;
  kept.erase(std::remove_if(kept.begin(), kept.end(),
                            [&](const std::string& line) {
                              return line.rfind("bob/recv/", 0) == 0 || line.find(".log") != std::string::npos ||
                                     line.find("engine.") != std::string::npos || line.rfind("server/", 0) == 0 ||
                                     line.rfind("src/", 0) == 0;
                            }),
             kept.end());
  EXPECT_EQ(after, kept);
  EXPECT_FALSE(fs::exists(fs::path(receiverHome->dir) / "escape"));
  EXPECT_FALSE(fs::exists(fs::path(receiverHome->dir) / "x"));
  EXPECT_FALSE(fs::exists(fs::path(receiverHome->recv) / "file.txt"));
}

// Through an outside relay that delays every datagram: the only way between the two computers.
TEST(TransferRelay, AFileCrossesARelayThatDelaysAndTheReceiverSaysItWasRelayed) {
  udpchaos::UdpChaos::Options options;
  options.delayMs = 5;
  options.senderAlias = "127.0.0.9";  // the name under which the stand-in introduces the peers
  udpchaos::UdpChaos relay(options);
  testsupport::TempDir data;
  servertest::ServerProcess server(data.file("server"),
                                   {"--relay-via", "127.0.0.1:" + std::to_string(relay.port())});
  for (const Account& a : {alice, bob}) addAccount(server, a);
  EngineHome aliceHome(server, alice, data.file("alice")), bobHome(server, bob, data.file("bob"));
  EngineProcess sender(aliceHome), receiver(bobHome);
  sender.waitLoggedIn();
  receiver.waitLoggedIn();
  const fs::path file = fs::path(data.path()) / "relayed.bin";
  trees::writeRandom(file, 4u << 20, 17);
  sender.command({{"op", "send"}, {"id", 1}, {"to", bob.user}, {"files", {file.string()}}});
  auto created = sender.waitFor("TICKET_CREATE", 1);
  ASSERT_TRUE(created);
  const std::string code = (*created)["code"];
  receiver.command({{"op", "recv"}, {"id", 2}, {"code", code}});
  ASSERT_TRUE(receiver.waitLog("ticket " + code + ": every path received", 30000)) << receiver.log();
  EXPECT_EQ(trees::sha256OfFile(file), trees::sha256OfFile(fs::path(bobHome.recv) / "relayed.bin"));
  EXPECT_NE(receiver.log().find("proxy="), std::string::npos);  // the hole names the relay
  EXPECT_GT(relay.total().forwarded, 3000u);  // 4 MiB in 1385-byte payloads, and acknowledgements
}
