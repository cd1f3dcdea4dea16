// The real programs end to end on loopback: mirelServer, a sending and a receiving mainMirel,
// each computer in a working folder of its own. The receiver is followed by its console lines,
// the trees are compared by SHA-256.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <regex>
#include <string>

#include "apps/MirelProcess.h"
#include "support/EngineProcess.h"
#include "support/ServerProcess.h"
#include "support/TestSupport.h"
#include "support/Trees.h"

namespace {

namespace fs = std::filesystem;
using apptest::Launch;
using apptest::MirelProcess;
using enginetest::Account;
using enginetest::EngineHome;

class Transfer : public ::testing::Test {
 protected:
  Transfer() {
    for (const Account& account : {alice, bob, carol}) enginetest::addAccount(server, account);
  }

  // A computer: its working folder with settings for `account`; the program runs there.
  EngineHome home(const Account& account) { return EngineHome(server, account, temp.file(account.user)); }

  // The code that the server made for the sender.
  std::string ticketOf(MirelProcess& sender) {
    std::smatch match;
    const std::string out = sender.waitForOutput("Ticket ") ? sender.out() : "";
    return std::regex_search(out, match, std::regex("Ticket ([A-Za-z0-9]+)")) ? match[1].str() : "";
  }

  testsupport::TempDir temp;
  servertest::ServerProcess server{temp.file("server")};
  Account alice{"alice@example.org", "alice password"};
  Account bob{"bob@example.org", "bob password"};
  Account carol{"carol@example.org", "carol password"};
  EngineHome aliceHome = home(alice);
  EngineHome bobHome = home(bob);
};

TEST_F(Transfer, AFolderSentWithSIsReceivedWithRAndCAsAnIdenticalTree) {
  const std::string sample = temp.file("sample");
  fs::create_directories(sample + "/sub/deeper");
  fs::create_directories(sample + "/empty folder");  // sends nothing, and stops nothing
  testsupport::writeFile(sample + "/a.txt", "first file\n");
  testsupport::writeFile(sample + "/empty", "");
  testsupport::writeFile(sample + "/na\xC3\xAFve \xE2\x98\x83.txt", "non-ASCII name\n");
  trees::writeRandom(sample + "/sub/deeper/b.bin", 3 << 20, 1);

  // A relative folder with a trailing "/": offered by its own name all the same.
  MirelProcess sender({"-s", "-f", "../sample/", "-t", bob.user}, Launch(aliceHome.dir));
  const std::string code = ticketOf(sender);
  ASSERT_FALSE(code.empty()) << sender.out();
  MirelProcess receiver({"-r", "-c", code}, Launch(bobHome.dir));
  ASSERT_TRUE(receiver.waitForOutput("ticket " + code + ": every path received", 60000)) << receiver.out();

  EXPECT_EQ(trees::digest(bobHome.recv + "/sample"), trees::digest(sample));
  const std::string out = receiver.out();
  EXPECT_NE(out.find("received " + bobHome.recv + "/sample/sub/deeper/b.bin 3145728 bytes"), std::string::npos) << out;
  EXPECT_NE(out.find("received " + bobHome.recv + "/sample/empty 0 bytes"), std::string::npos) << out;
  EXPECT_EQ(receiver.stop(SIGTERM), 143);
  EXPECT_EQ(sender.stop(SIGINT), 130);
}

TEST_F(Transfer, ASenderKilledAndStartedAgainWithItsCodeIsResumedByTheReceiver) {
  const std::string big = temp.file("big.bin");
  const size_t size = 128 << 20;
  trees::writeRandom(big, size, 2);
  MirelProcess sending({"-s", "-f", big, "-t", bob.user}, Launch(aliceHome.dir));
  const std::string code = ticketOf(sending);
  ASSERT_FALSE(code.empty()) << sending.out();
  MirelProcess receiver({"-r", "-c", code}, Launch(bobHome.dir));

  // Killed while the file is half there.
  const std::string partial = bobHome.recv + "/.tmp.big.bin";
  auto partialSize = [&] {
    std::error_code error;
    const auto bytes = fs::file_size(partial, error);
    return error ? 0 : bytes;
  };
  ASSERT_TRUE(testsupport::eventually([&] { return partialSize() > 0; }, 30000)) << receiver.out();
  EXPECT_EQ(sending.stop(SIGKILL), 128 + SIGKILL);
  const uintmax_t atKill = partialSize();
  ASSERT_LT(atKill, size) << "the file was complete before the sender could be killed";

  MirelProcess again({"-s", "-f", big, "-t", bob.user, "-c", code}, Launch(aliceHome.dir));
  ASSERT_TRUE(receiver.waitForOutput("ticket " + code + ": every path received", 90000)) << receiver.out();
  // The offer was back before the restarted sender could be reached: no request found it missing.
  const std::string restarted = again.out();
  EXPECT_LT(restarted.find("under ticket " + code), restarted.find("Connected to server.")) << restarted;
  EXPECT_EQ(receiver.out().find("Ticket not found"), std::string::npos) << receiver.out();
  EXPECT_NE(receiver.out().find("received " + bobHome.recv + "/big.bin " + std::to_string(size) + " bytes (resumed)"),
            std::string::npos)
      << receiver.out();
  EXPECT_EQ(trees::sha256OfFile(bobHome.recv + "/big.bin"), trees::sha256OfFile(big));
  EXPECT_TRUE(trees::leftovers(bobHome.recv).empty());
  EXPECT_EQ(receiver.stop(SIGTERM), 143);
  EXPECT_EQ(again.stop(SIGTERM), 143);
}

TEST_F(Transfer, AnUnknownCodeAndAWrongRecipientFailWithTheirReasonsInTheLog) {
  testsupport::writeFile(temp.file("a.txt"), "a");
  EngineHome carolHome = home(carol);
  // All three flags together send (and log in with the account given first).
  MirelProcess sender({"-s", "-r", "-l", "-f", temp.file("a.txt"), "-t", bob.user, "-u", alice.user, "-p", "-"},
                      Launch(aliceHome.dir, alice.password + "\n"));
  const std::string code = ticketOf(sender);
  ASSERT_FALSE(code.empty()) << sender.out();

  // Bob asks for a code that does not exist, Carol for one that is not hers.
  for (const auto& [who, asked] : {std::make_pair(&bobHome, std::string("NOSUCHCODE")), std::make_pair(&carolHome, code)}) {
    MirelProcess receiver({"-r", "-c", asked}, Launch(who->dir));
    EXPECT_TRUE(receiver.waitForOutput("TicketGet error")) << receiver.out();
    EXPECT_EQ(receiver.stop(SIGTERM), 143);
    const std::string log = testsupport::readFile(who->dir + "/mainMirel.log");
    EXPECT_NE(log.find("TicketGet error 404 Not Found"), std::string::npos) << log;
    EXPECT_EQ(fs::directory_iterator(who->recv), fs::directory_iterator()) << "nothing received";
  }
  EXPECT_EQ(sender.stop(SIGTERM), 143);
}

}  // namespace
