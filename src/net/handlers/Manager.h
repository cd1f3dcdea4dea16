// The running engine of one process: the UDP socket and router, the web-server client, the
// rendezvous login, the acceptor of incoming peer connections and the small local HTTP server.
// It runs the account operations, keeps the sender's ticket offers, serves the peers that fetch
// them, starts receives and reports everything as events through its net::Api.
//
// Loop thread only. Built by the facade (desktop) or by the console program on the loop thread;
// destroyed after the loop has stopped.
#pragma once

#include <chrono>
#include <cstdint>
#include <forward_list>
#include <functional>
#include <iosfwd>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "net/Api.h"
#include "net/handlers/AcceptGate.h"
#include "net/handlers/AcceptedHandlers.h"
#include "net/handlers/IContext.h"
#include "net/handlers/PeerManager.h"
#include "p2p/processes/LoginEcho.h"
#include "p2p/processes/PeerAcceptor.h"
#include "utils/LogBudget.h"
#include "utils/Properties.h"

namespace p2p {
class HttpServer;
struct HttpServerRequest;
class HttpServerResponse;
class Server;
class UdpRouter;
class UvLoop;
}  // namespace p2p

namespace net {

class CopyProgress;
class GetTicketCb;

class Manager : public p2p::PeerAcceptor::Cb, public p2p::LoginEcho::Cb, public PeerManager::Listener {
 public:
  using WallClock = std::function<int64_t()>;  // seconds since 1970

  // Accepting connections that have not said what they want yet, at most.
  static constexpr size_t MAX_PENDING_ACCEPTS = 64;
  // Lines about strangers (refused connects, connections that ended before their request) that
  // reach the log, at most, per STRANGER_LOG_PERIOD; the rest are counted. Any minute meets at most
  // eleven of these windows, so no minute holds more than 99 such lines.
  static constexpr int STRANGER_LOG_LINES = 9;
  static constexpr std::chrono::seconds STRANGER_LOG_PERIOD{6};
  static constexpr int HTTP_LISTEN_ATTEMPTS = 10;

  // Builds the engine: router, web-server client, acceptor, local HTTP server, login (which
  // starts at once). Throws when the UDP socket cannot be bound.
  Manager(const Properties& properties, p2p::UvLoop* loop);
  // Closes every live connection ("shutting down") and lets it go, then frees the parts.
  ~Manager() override;
  Manager(const Manager&) = delete;
  Manager& operator=(const Manager&) = delete;

  // Where events go from now on (not owned); null drops them.
  void setListener(Api* api);

  Properties* getProperties() { return &properties; }
  p2p::UvLoop* getLoop() const { return loop; }
  bool isConnected() const { return _isConnected; }
  p2p::UdpRouter* getRouter() const { return router.get(); }
  p2p::Server* getServer() const { return server.get(); }
  int httpPort() const { return httpServer ? properties.tcpPort : 0; }

  // Account operations; the answers come as events carrying commandId.
  void doLogin(int commandId, const std::string& username, const std::string& password);
  void newUser(int commandId, const std::string& username, const std::string& password);
  void forgotPassword(int commandId, const std::string& username);
  void oauth2(int commandId);

  // Offers.
  void ticketSend(int commandId, const std::string& toUsername, const std::vector<std::string>& files,
                  const std::string& text, bool sendMail);
  void ticketSendCode(int commandId, const std::string& toUsername, const std::vector<std::string>& files,
                      const std::string& code, int64_t createdAt);
  IContext::Ticket findTicket(const std::string& code, const std::string& username) const;

  // Receives.
  void ticketRecv(int commandId, const std::string& code);
  void ticketPause(int commandId, const std::string& code);

  // PeerAcceptor::Cb, LoginEcho::Cb, PeerManager::Listener (the connections this side serves).
  void handleAccept(p2p::Connect* connect, const p2p::SocketAddress& address) override;
  void handleLoginStatus(p2p::LoginEcho::ResponseStatus status, const std::string& reason) override;
  void onNotify(PeerManager* pm, void* data) override;
  void onClose(PeerManager* pm, const std::string& reason) override;

  // Emits one event through the current listener (takes ownership).
  void emit(Api::Event* event);

  // What serves an accepted connection, chosen by its first message (tests put a peer of their
  // own here). Null when the message is no request.
  using AcceptedHandlerFactory = std::function<std::unique_ptr<IHandler>(IContext*, const Message*)>;
  void setAcceptedHandlerFactory(AcceptedHandlerFactory factory) { acceptedHandlerFactory = std::move(factory); }
  std::unique_ptr<IHandler> newAcceptedHandler(IContext* context, const Message* first) const {
    return acceptedHandlerFactory(context, first);
  }

  // The wall clock that offers are dated and aged by (tests put their own here).
  void setWallClock(WallClock clock) { wallClock = std::move(clock); }
  int64_t wallTime() const { return wallClock(); }

  // ---- bookkeeping of the parts (used by PeerManager and GetTicketCb) ----
  AcceptGate& acceptGate() { return gate; }
  // A warning about a stranger (a refused connect, a connection that has not said what it wants),
  // written within the budget all of them share, with the count of those held back; `line`
  // writes the text and is called only when it goes out.
  void logStranger(const std::function<void(std::ostream&)>& line);
  void addPeer(PeerManager* pm) { peers.push_front(pm); }
  void removePeer(PeerManager* pm) { peers.remove(pm); }
  const std::forward_list<PeerManager*>& livePeers() const { return peers; }
  // Receives still running, by code; each sequence enters and leaves itself.
  std::map<std::string, GetTicketCb*> receives;
  // Top-level destinations being written by a receive.
  std::set<std::string> busyDestinations;

 private:
  void listenHttpServer();
  void handleHttpServer(p2p::HttpServerRequest& request, p2p::HttpServerResponse& response);
  void answerHttp(const p2p::HttpServerRequest& request, p2p::HttpServerResponse& response);
  void restartLogin();
  // Runs a settings change; a failure is returned as text (empty on success).
  std::string storeAccount(const std::string& username, const std::string& userkey);
  size_t pendingAccepts() const;
  bool knownStream(const p2p::Connect& connect, const p2p::SocketAddress& address) const;

  void reportServedEnd(PeerManager* pm, const std::string& reason);

  // The web-server calls of the account and offer operations; each owns itself until its answer.
  class PendingCall {
   public:
    virtual ~PendingCall() = default;
  };
  template <class T, class Answer>
  class OneCall;
  template <class T, class Answer>
  void call(p2p::Server::ServerRequest<T>* request, Answer answer);

  Properties properties;
  p2p::UvLoop* loop;
  std::unique_ptr<p2p::HttpServer> httpServer;
  std::unique_ptr<p2p::UdpRouter> router;
  std::unique_ptr<p2p::Server> server;
  std::unique_ptr<p2p::LoginEcho> login;
  std::unique_ptr<p2p::PeerAcceptor> acceptor;
  Api* apiListener = nullptr;
  bool _isConnected = false;
  std::forward_list<IContext::Ticket> tickets;  // newest first
  std::forward_list<PeerManager*> peers;
  // The calls still waiting for their answer, kept so that the Manager cancels them when it goes.
  std::set<PendingCall*> calls;
  // The last progress of each copy this side serves, to report an end its handler did not.
  std::map<PeerManager*, std::unique_ptr<CopyProgress>> served;
  WallClock wallClock;
  AcceptedHandlerFactory acceptedHandlerFactory;
  AcceptGate gate;
  LogBudget strangerLines{STRANGER_LOG_LINES, STRANGER_LOG_PERIOD};
};

}  // namespace net
