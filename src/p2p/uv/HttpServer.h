// A small HTTP/1.1 server on the loop for this computer's own clients (the browser and a second
// instance of the program): one request per connection, one handler call, one response, then
// the connection closes.
//
// Everything that arrives is untrusted: a connection that sends more than kMaxRequestBytes, sends
// bytes that are not HTTP, or stays silent for the idle timeout is closed, costing nothing but
// itself. Connection failures are logged, never thrown out of the loop.
#pragma once

#include <uv.h>

#include <cstddef>
#include <functional>
#include <map>
#include <ostream>
#include <sstream>
#include <string>
#include <unordered_set>

#include "p2p/uv/Liveness.h"
#include "p2p/uv/UvLoop.h"

namespace p2p {

// What the handler learns of a request: url (path and query as received, not decoded) and
// method. Headers and body are not passed on.
struct HttpServerRequest {
  std::string url;
  std::string method;
  std::string status_code;
  std::string body;
  std::map<std::string, std::string> headers;
};

// The handler writes the body with the stream operators; a flush (std::flush, std::endl) sends
// the response. Only the first flush sends; destroying the response sends nothing.
class HttpServerResponse : public std::ostream {
 public:
  using Callback = std::function<void(std::string)>;

  HttpServerResponse();
  HttpServerResponse(const HttpServerResponse&) = delete;
  HttpServerResponse& operator=(const HttpServerResponse&) = delete;

  void setStatus(int status);
  // A name that is already present keeps its first value.
  void setHeader(const std::string& name, const std::string& value);
  // Where the finished response goes; the server sets it.
  void onEnd(Callback callback);

 private:
  class Buffer : public std::stringbuf {
   public:
    explicit Buffer(HttpServerResponse* res) : res(res) {}

   protected:
    int sync() override;

   private:
    HttpServerResponse* res;
  };

  // Status line, headers by name, Content-Length, blank line, body.
  std::string text() const;

  Callback callback;
  bool hasCallback = false;
  bool sent = false;
  Buffer buffer;
  std::map<std::string, std::string> headers;
  int status = 200;
};

using HttpServerListener = std::function<void(HttpServerRequest&, HttpServerResponse&)>;

class HttpServerClient;

class HttpServer : public UvLoop::Resident {
 public:
  static constexpr int kDefaultIdleTimeoutMsec = 10000;
  // Everything a connection may send: request line, headers and body together.
  static constexpr size_t kMaxRequestBytes = 64 * 1024;

  // Does not listen yet. A connection that receives nothing for idleTimeoutMsec is closed.
  HttpServer(UvLoop* loop, HttpServerListener listener, int idleTimeoutMsec = kDefaultIdleTimeoutMsec);
  // Closes the listening socket and every open connection.
  ~HttpServer() override;
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Returns 0 or throws std::runtime_error with the checkStatus text of the failing step
  // ("uv_tcp_init", "uv_ip4_addr", "uv_tcp_bind", "uv_listen"). A failed attempt leaves
  // nothing open, so the caller may simply try again. `ip` must be a valid IPv4 address, but
  // the socket always binds 127.0.0.1: the only clients are on this computer, and on another
  // interface any host could start a receive.
  int listen(const char* ip, int port);

 protected:
  void onLoopClosing() override;

 private:
  friend class HttpServerClient;

  static void onConnection(uv_stream_t* listening, int status);
  void accept();
  void forget(HttpServerClient* client) { clients.erase(client); }
  void closeAll();

  UvLoop* loop;
  uv_tcp_t* server = nullptr;  // null until listening
  HttpServerListener listener;
  int idleTimeoutMsec;
  // The open connections, each owning itself: kept so that the server can close them when it
  // goes, since one that stays silent would otherwise stay open until its idle timeout.
  std::unordered_set<HttpServerClient*> clients;
  Liveness liveness;  // for the connections, which close after the server has gone
};

}  // namespace p2p
