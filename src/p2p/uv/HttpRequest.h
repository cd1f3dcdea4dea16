// One HTTPS GET with libcurl's easy interface. The blocking transfer runs on the libuv thread
// pool; its result comes back on the loop thread through HttpRequest::Cb.
//
// Lifetime: deleting an HttpRequest whose transfer is still running is allowed. The transfer is
// detached and aborted at libcurl's next progress check; its late completion frees what it
// holds and calls nobody.
#pragma once

#include <uv.h>

#include <functional>
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

  struct Settings {
    std::string caFile = "cacert.pem";  // the only certificates trusted for the server
    long connectTimeoutMs = 15000;
    long totalTimeoutMs = 60000;
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
  Liveness _liveness;
};

}  // namespace p2p
