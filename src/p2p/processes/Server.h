// The client of the web server: sends typed requests (the classes of p2p/requests) as HTTPS GETs
// of the base URL followed by the request's path, and hands each answer, typed, to the caller's
// callback on the loop thread. It also learns from every answered connection the address of the
// rendezvous server (the web server's IP with the UDP port) and the local address in use.
//
// Lifetime: deleting the Server, or the loop going away first, cancels the calls in flight:
// their transfers are aborted and their callbacks are not called. Deleting a callback cancels
// the calls still on their way to it the same way. An owner that wants the Server or a
// callback gone from inside an answer hands it to deleteSoon() (the rule of p2p/uv/UvLoop.h);
// a callback that deletes itself or the Server there all the same is survived: the call holds
// itself (SelfOwned) and checks the Server's Liveness watch before going on.
//
// Connections: the calls keep their connections to the web server and its TLS sessions for one
// another (see HttpRequest::Connections); nothing is shared with another Server.
//
// Lanes: exec() starts every call at once. execLimited() is for the calls a peer connection
// makes for its peer (Verify): those share the libuv pool with the file I/O of every transfer,
// so at most limitedLaneWidth() of them hold a pool thread at once and the rest wait in order.
#pragma once

#include <deque>
#include <memory>
#include <sstream>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "p2p/processes/SocketAddress.h"
#include "p2p/uv/HttpRequest.h"
#include "p2p/uv/Liveness.h"
#include "p2p/uv/SelfOwned.h"
#include "p2p/uv/UvLoop.h"

namespace p2p {

class Server : public UvLoop::Resident {
  class Call;

 public:
  // A call of the web server. The constructor writes the path and query, relative to the base
  // URL, into `path`; parseResponse turns the body of a status-200 answer into T and throws
  // when it cannot.
  template <class T>
  class ServerRequest {
   public:
    virtual ~ServerRequest() = default;
    virtual T parseResponse(const std::string& body) = 0;
    // False for a call whose answer nobody reads: any status below 400 is then a success.
    virtual bool answerUsed() const { return true; }

    std::stringstream path;
  };

  template <class T>
  struct ServerResponse {
    int status = 0;     // the HTTP status, or libcurl's result code (below 100)
    std::string error;  // why the call failed; never empty for a failure
    T response{};       // the parsed answer; T's default unless the call succeeded

    bool isOk() const { return status >= 100 && status < 400 && error.empty(); }
  };

  // What a callback keeps of the calls on their way to it: destroying it cancels them (a
  // waiting call leaves the queue, a running transfer is aborted). A copy starts empty.
  class PendingCalls {
   public:
    PendingCalls() = default;
    PendingCalls(const PendingCalls&) {}
    PendingCalls& operator=(const PendingCalls&) { return *this; }
    ~PendingCalls();

   private:
    friend class Server;
    void add(Call* call);

    std::vector<Liveness::Ref<Call>> _calls;
  };

  // The receiver of answers. Destroying it before an answer cancels that call: it is never
  // called for it.
  template <class T>
  class ServerCb {
   public:
    virtual ~ServerCb() = default;
    virtual void handleServerResponse(const ServerResponse<T>& response) = 0;

   private:
    friend class Server;
    PendingCalls _pending;
  };

  static constexpr const char* DEFAULT_CA_FILE = "cacert.pem";

  // `host`: the base URL, ending in "/". `caFile`: the certificates trusted for it.
  Server(std::string host, int udpPort, UvLoop* loop, std::string caFile = DEFAULT_CA_FILE);
  ~Server() override;

  // For the calls started afterwards.
  void setTimeouts(long connectTimeoutMs, long totalTimeoutMs);

  // Takes ownership of `request` (made with new) and sends it; `cb` (not owned) hears exactly
  // one answer on the loop thread, unless the call is cancelled (see above). Returns at once.
  template <class T>
  void exec(ServerRequest<T>* request, ServerCb<T>* cb);
  // The same in the limited lane: sent once fewer than limitedLaneWidth() calls of the lane
  // hold a pool thread, in the order of the calls.
  template <class T>
  void execLimited(ServerRequest<T>* request, ServerCb<T>* cb);

  // Half the loop's thread pool, at least one.
  size_t limitedLaneWidth() const { return _laneWidth; }
  // Pool threads that calls of the limited lane hold now (an aborted transfer holds its thread
  // until libcurl lets go), and calls waiting for one.
  size_t limitedRunning() const { return _laneBusy; }
  size_t limitedWaiting() const { return _waiting.size(); }

  // Connections to the web server opened so far: fewer than the calls answered when calls
  // reused a kept one.
  long connectionsOpened() const { return _connectionsOpened; }

  // A numeric answer, read the way std::stoll reads base 10: leading blanks, a sign, digits up
  // to the first other character. Throws when there is no number or it does not fit.
  static long long parseDecimal(const std::string& body);

  // Empty before the first answered request.
  std::string getLocalIp() const { return _localIp; }
  // Invalid before the first answered request.
  SocketAddress getUdpAddr() const { return _udpAddr; }

 protected:
  void onLoopClosing() override;

 private:
  // One call, waiting or in flight: owns its HttpRequest once started; the typed part lives
  // in Exchange. A started call owns itself until its answer.
  class Call : public HttpRequest::Cb, public SelfOwned<Call> {
   public:
    Call(Server* server, std::string url, bool limited)
        : url(std::move(url)), limited(limited), _server(server, server->_liveness) {}
    void handleResponse(int status, const std::string& error, const std::string& body) override;
    // Its callback is going: the call ends without an answer (nothing to do once the Server is
    // gone: it took its calls with it).
    void cancel() {
      if (Server* server = _server.get()) server->cancel(this);
    }

    const std::string url;
    const bool limited;
    std::unique_ptr<HttpRequest> httpRequest;
    Liveness liveness;

   protected:
    virtual void deliver(int status, const std::string& error, const std::string& body) = 0;

   private:
    Liveness::Ref<Server> _server;
  };

  template <class T>
  class Exchange;

  // The error text of an answer that is not a success.
  static std::string failureText(int status, const std::string& error, const std::string& body);
  static std::string badResponseText(const char* what);

  template <class T>
  void submit(ServerRequest<T>* request, ServerCb<T>* cb, bool limited);
  void submit(std::unique_ptr<Call> call, PendingCalls& pending);
  void start(Call* call);
  void laneReleased();
  void cancel(Call* call);
  void learnAddresses(const HttpRequest& request);
  void cancelCalls();

  std::string _host;
  std::string _remoteIp;
  std::string _localIp;
  SocketAddress _udpAddr;
  int _udpPort;
  HttpRequest::Settings _settings;
  // Started calls, each owning itself: kept so that the Server cancels those left when it goes.
  std::unordered_set<Call*> _calls;
  std::deque<Call*> _waiting;  // owned, of the limited lane, in order
  size_t _laneWidth;
  size_t _laneBusy = 0;
  long _connectionsOpened = 0;
  // Lets a call tell whether its callback deleted the Server.
  Liveness _liveness;
};

template <class T>
class Server::Exchange : public Server::Call {
 public:
  Exchange(Server* server, std::string url, bool limited, std::unique_ptr<ServerRequest<T>> request, ServerCb<T>* cb)
      : Call(server, std::move(url), limited), _request(std::move(request)), _cb(cb) {}

 protected:
  void deliver(int status, const std::string& error, const std::string& body) override {
    ServerResponse<T> answer;
    answer.status = status;
    if (status == 200) {
      try {
        answer.response = _request->parseResponse(body);
      } catch (const std::exception& e) {
        answer.response = T();
        answer.error = badResponseText(e.what());
      }
    } else if (status < 100 || status >= 400 || _request->answerUsed()) {
      answer.error = failureText(status, error, body);
    }
    _cb->handleServerResponse(answer);
  }

 private:
  std::unique_ptr<ServerRequest<T>> _request;
  ServerCb<T>* _cb;
};

template <class T>
void Server::exec(ServerRequest<T>* request, ServerCb<T>* cb) {
  submit(request, cb, false);
}

template <class T>
void Server::execLimited(ServerRequest<T>* request, ServerCb<T>* cb) {
  submit(request, cb, true);
}

template <class T>
void Server::submit(ServerRequest<T>* request, ServerCb<T>* cb, bool limited) {
  std::unique_ptr<ServerRequest<T>> owned(request);
  std::string url = _host + request->path.str();
  submit(std::make_unique<Exchange<T>>(this, std::move(url), limited, std::move(owned), cb), cb->_pending);
}

}  // namespace p2p
