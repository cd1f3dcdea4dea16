// One HTTPS GET with libcurl's easy interface. The blocking transfer runs on the libuv thread
// pool; its result comes back on the loop thread through HttpRequest::Cb.
//
// Lifetime: deleting an HttpRequest whose transfer is still running is allowed. The transfer is
// detached and aborted at libcurl's next progress check; its late completion frees what it
// holds and calls nobody.
//
// Reuse: transfers given the same Connections keep their connections and TLS sessions for one
// another; without one, every transfer makes a connection of its own.
#pragma once

#include <uv.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "p2p/uv/Liveness.h"
#include "p2p/uv/UvLoop.h"

namespace p2p {

class HttpRequest {
 public:
  // The largest response body accepted, counted over the whole body; a longer one fails the
  // transfer with CURLE_WRITE_ERROR.
  static const int MAX_RESPONSE_SIZE = 10000;

  class Cb {
   public:
    virtual ~Cb() = default;
    // `status`: the HTTP status, or libcurl's result code (below 100) for a failed transfer,
    // with libcurl's message in `error`.
    virtual void handleResponse(int status, const std::string& error, const std::string& response) = 0;
  };

  class Connections;

  struct Settings {
    std::string caFile = "cacert.pem";  // the only certificates trusted for the server
    long connectTimeoutMs = 15000;
    long totalTimeoutMs = 60000;
    // Kept for the transfers to one server with this CA file, never shared beyond them; none:
    // a fresh connection and TLS handshake per transfer.
    std::shared_ptr<Connections> connections;
  };

  // Initialises libcurl's global state once per process. Programs call it at start on the main
  // thread, before other threads exist; exec calls it too, in case nobody did.
  static void globalInit();

  HttpRequest(std::string url, UvLoop* loop);
  HttpRequest(std::string url, UvLoop* loop, Settings settings);
  ~HttpRequest();
  HttpRequest(const HttpRequest&) = delete;
  HttpRequest& operator=(const HttpRequest&) = delete;

  // Queues the transfer and returns at once; `cb` (not owned) hears the result on the loop
  // thread. One call per object.
  void exec(Cb* cb);

  // Set before exec: runs on the loop thread once the pool thread has let go of the transfer,
  // just before the result, and also when this request was deleted first (an aborted transfer
  // lets go at libcurl's next progress check). For counting the pool threads in use.
  void whenPoolReleased(std::function<void()> hook) { _poolReleased = std::move(hook); }

  const std::string& url() const { return _url; }
  // Valid once the callback runs.
  int status() const { return _status; }
  const std::string& error() const { return _error; }
  const std::string& response() const { return _response; }
  // Addresses of the connection's two ends; empty when libcurl could not tell.
  const std::string& remoteIp() const { return _remoteIp; }
  const std::string& localIp() const { return _localIp; }
  // Connections the transfer had to open: 0 when it reused one.
  long connectsMade() const { return _connectsMade; }

 private:
  struct Transfer;

  static void transferOnPool(uv_work_t* work);
  static void afterTransfer(uv_work_t* work, int status);
  void complete(Transfer& transfer);

  const std::string _url;
  UvLoop* const _loop;
  const Settings _settings;
  Cb* _cb = nullptr;
  std::function<void()> _poolReleased;
  Transfer* _transfer = nullptr;  // while a transfer is in flight
  bool _started = false;

  int _status = 0;
  std::string _error;
  std::string _response;
  std::string _remoteIp;
  std::string _localIp;
  long _connectsMade = 0;
  Liveness _liveness;
};

// Easy handles kept between transfers: each keeps its connection to the server open for the
// next transfer, and all of them share TLS sessions, so that a new connection resumes one.
// libcurl cannot share a connection cache between threads that run at once, so each handle is
// lent to one pool thread at a time.
//
// Bounded: at most MAX_IDLE handles wait, one connection each. A handle whose connection has
// been idle for MAX_IDLE_SECONDS, or that the server has closed (or that has anything to read,
// which an idle connection never has), is dropped when it would be lent: this libcurl would
// send on a closed connection and rely on its retry; and after a change of network a kept
// connection could stay silent until the time-out, where a new one fails or works at once.
class HttpRequest::Connections {
 public:
  static constexpr size_t MAX_IDLE = 4;
  static constexpr long MAX_IDLE_SECONDS = 30;

  Connections();
  ~Connections();
  Connections(const Connections&) = delete;
  Connections& operator=(const Connections&) = delete;

  // Any thread. A handle (CURL*) for one transfer, sharing the TLS sessions; null when libcurl
  // cannot make one.
  void* lend();
  // Any thread. Takes the handle back: its options are reset, its connection stays open.
  void giveBack(void* curl);

 private:
  struct State;
  const std::unique_ptr<State> _state;
};

}  // namespace p2p
