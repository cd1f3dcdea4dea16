// The two handlers of the ticket exchange on a scripted connection whose loop clock the test
// sets: what the sender answers for each kind of Verify answer, and a sender that never answers.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "net/handlers/CopyFakes.h"
#include "net/handlers/TicketRecvHandler.h"
#include "net/handlers/TicketRequestHandler.h"
#include "net/messages/TicketRequest.h"
#include "net/messages/TicketResponse.h"

using copytest::decodeFrame;
using net::Message;

namespace {

// The connection of a ticket exchange: what it notifies is a TicketResponse, not progress.
struct TicketContext : copytest::FakeContext {
  using FakeContext::FakeContext;
  void notify(void*) override { ++answers; }
  int answers = 0;
};

struct ExchangeWorld {
  uint64_t clock = 50000;
  p2p::UvLoop loop{[this] { return clock; }};
  copytest::FakeFiles files;
  TicketContext ctx{&loop, &files};

  // The one message that left, as a T.
  template <class T>
  T sentOnly() {
    ctx.drain();
    EXPECT_EQ(ctx.sent.size(), 1u);
    return ctx.sent.empty() ? T() : decodeFrame(ctx.sent.back()).as<T>();
  }
};

}  // namespace

TEST(TicketRequest, OnlyARefusalByTheWebServerIsTicketNotFoundAnAbsentOrFailingServerIsATimeout) {
  struct Case {
    std::string what;
    int status;
    std::string error;
    int32_t answer;
    std::string reason;
  };
  const std::string page(5000, 'x');
  const std::vector<Case> cases = {
      {"confirmed", 200, "", Message::OK, ""},
      {"refused", 403, "Authentication error", Message::NOT_FOUND, "Ticket not found"},
      {"redirected", 302, "", Message::NOT_FOUND, "Ticket not found"},
      {"not reached", 7, "Couldn't connect to server", Message::TIMEOUT,
       "web server unreachable: Couldn't connect to server"},
      {"timed out", 28, "Timeout was reached", Message::TIMEOUT, "web server unreachable: Timeout was reached"},
      {"failing", 503, "HTTP 503", Message::TIMEOUT, "web server failed: HTTP 503"},
      {"unreadable yes", 200, "bad response: unreadable body", Message::TIMEOUT,
       "web server failed: bad response: unreadable body"},
      // A server's error page does not travel whole to the peer.
      {"failing with a page", 500, page + "\n", Message::TIMEOUT, "web server failed: " + page.substr(0, 160) + "..."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ExchangeWorld w;
    w.ctx.ticket = net::IContext::Ticket("bob@example.com", {"/a", "/b"}, "CODE", 0);
    net::TicketRequest request;
    request.uuid = "22222222-2222-1333-8444-555555555555";
    request.username = "bob@example.com";
    request.ticket = "CODE";
    net::TicketRequestHandler handler(&w.ctx, request);
    w.ctx.handler = &handler;
    handler.handleSend();
    ASSERT_EQ(w.ctx.verifies, 1);
    p2p::Server::ServerResponse<bool> verified;
    verified.status = c.status;
    verified.error = c.error;
    w.ctx.verifyCb->handleServerResponse(verified);
    const auto response = w.sentOnly<net::TicketResponse>();
    EXPECT_EQ(response.status, c.answer);
    EXPECT_EQ(response.reason, c.reason);
    const std::vector<std::string> offered = {"/a", "/b"};
    EXPECT_EQ(response.paths, c.answer == Message::OK ? offered : std::vector<std::string>());
    EXPECT_EQ(w.ctx.closeReason, "");
  }
}

TEST(TicketRecv, ASenderThatTakesTheRequestAndNeverAnswersIsGivenUpOn90sLater) {
  p2p::TicketGetResponse sender;
  sender.uuid = "33333333-2222-1333-8444-555555555555";
  sender.userName = "alice@example.com";

  ExchangeWorld silent;
  net::TicketRecvHandler handler(&silent.ctx, "CODE", sender);
  silent.ctx.handler = &handler;
  silent.clock += 200000;
  handler.handleTimer();  // nothing asked yet: nothing overdue
  handler.handleSend();
  EXPECT_EQ(silent.sentOnly<net::TicketRequest>().ticket, "CODE");
  silent.clock += net::TicketRecvHandler::EXCHANGE_TIMEOUT_MS - 1;
  handler.handleTimer();
  EXPECT_FALSE(silent.ctx.closed);
  silent.clock += 1;
  handler.handleTimer();
  EXPECT_EQ(silent.ctx.closeReason, "ticket exchange timed out");
  EXPECT_FALSE(handler.failedForGood());  // a failure like any other: the receive tries again

  // An answer in time is no time-out, however long the connection lasts afterwards.
  ExchangeWorld answered;
  net::TicketRecvHandler prompt(&answered.ctx, "CODE", sender);
  answered.ctx.handler = &prompt;
  prompt.handleSend();
  answered.ctx.drain();
  net::TicketResponse ok;
  ok.ticket = "CODE";
  answered.ctx.deliver(ok);
  answered.clock += 10 * net::TicketRecvHandler::EXCHANGE_TIMEOUT_MS;
  prompt.handleTimer();
  EXPECT_EQ(answered.ctx.answers, 1);
  EXPECT_EQ(answered.ctx.closes, 1);
  EXPECT_EQ(answered.ctx.closeReason, "");
}
