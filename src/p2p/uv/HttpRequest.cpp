#include "p2p/uv/HttpRequest.h"

#include <curl/curl.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace p2p {

// What the pool thread works on. It outlives its HttpRequest when that is deleted early, so the
// pool thread never writes into freed memory; the completion frees it.
struct HttpRequest::Transfer {
  std::string url;
  Settings settings;

  Liveness::Ref<HttpRequest> owner;  // loop thread only; null once the owner has gone
  std::function<void()> poolReleased;  // loop thread only
  std::atomic<bool> abandoned{false};  // read by libcurl's progress check on the pool thread

  // Written on the pool thread; the after-work hand-over makes them visible to the loop thread.
  int status = 0;
  std::string error;
  std::string response;
  std::string remoteIp;
  std::string localIp;
  long connectsMade = 0;
  bool bodyTooLarge = false;

  void perform();
  static size_t onBody(char* data, size_t size, size_t count, void* user);
  static int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t);
};

size_t HttpRequest::Transfer::onBody(char* data, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  size_t n = size * count;
  if (n > MAX_RESPONSE_SIZE - transfer->response.size()) {
    transfer->bodyTooLarge = true;
    return 0;  // libcurl ends the transfer with CURLE_WRITE_ERROR
  }
  try {
    transfer->response.append(data, n);
  } catch (const std::exception&) {
    return 0;  // out of memory: no exception may unwind through libcurl
  }
  return n;
}

// Lets a deleted owner stop a transfer that would otherwise hold a pool thread until its time-out.
int HttpRequest::Transfer::onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<Transfer*>(user)->abandoned.load() ? 1 : 0;
}

namespace {

std::string infoText(CURL* curl, CURLINFO info) {
  char* text = nullptr;
  if (curl_easy_getinfo(curl, info, &text) != CURLE_OK || !text) return std::string();
  return text;
}

// An easy handle for one transfer: lent by the kept connections, or made for it alone.
class EasyHandle {
 public:
  explicit EasyHandle(HttpRequest::Connections* kept)
      : _kept(kept), _curl(kept ? static_cast<CURL*>(kept->lend()) : curl_easy_init()) {}
  ~EasyHandle() {
    if (!_curl) return;
    if (_kept) {
      _kept->giveBack(_curl);
    } else {
      curl_easy_cleanup(_curl);
    }
  }
  EasyHandle(const EasyHandle&) = delete;
  EasyHandle& operator=(const EasyHandle&) = delete;

  CURL* get() const { return _curl; }

 private:
  HttpRequest::Connections* const _kept;
  CURL* const _curl;
};

}  // namespace

void HttpRequest::Transfer::perform() {
  EasyHandle handle(settings.connections.get());
  CURL* curl = handle.get();
  if (!curl) {
    status = CURLE_FAILED_INIT;
    error = "curl_easy_init failed";
    return;
  }
  char errorBuffer[CURL_ERROR_SIZE] = {0};

  CURLcode code = CURLE_OK;
  auto set = [&](CURLoption option, auto value) {
    if (code == CURLE_OK) code = curl_easy_setopt(curl, option, value);
  };
  set(CURLOPT_URL, url.c_str());
  set(CURLOPT_ERRORBUFFER, errorBuffer);
  set(CURLOPT_WRITEFUNCTION, onBody);
  set(CURLOPT_WRITEDATA, this);
  set(CURLOPT_USERAGENT, "libcurl-agent/1.0");
  set(CURLOPT_PROTOCOLS_STR, "http,https");
  set(CURLOPT_CAINFO, settings.caFile.c_str());
  set(CURLOPT_CAPATH, static_cast<const char*>(nullptr));  // trust the bundle alone
  // The rendezvous address is taken from this connection, and it must be IPv4.
  set(CURLOPT_IPRESOLVE, static_cast<long>(CURL_IPRESOLVE_V4));
  set(CURLOPT_PROXY, "");  // never a proxy from the environment: the peer address must be the server's
  set(CURLOPT_CONNECTTIMEOUT_MS, settings.connectTimeoutMs);
  set(CURLOPT_TIMEOUT_MS, settings.totalTimeoutMs);
  set(CURLOPT_NOSIGNAL, 1L);  // pool threads must not take signals for DNS time-outs
  set(CURLOPT_NOPROGRESS, 0L);
  set(CURLOPT_XFERINFOFUNCTION, onProgress);
  set(CURLOPT_XFERINFODATA, this);
  if (settings.connections) set(CURLOPT_MAXCONNECTS, 1L);  // one server: one connection kept per handle

  if (code == CURLE_OK) code = curl_easy_perform(curl);
  curl_easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &connectsMade);
  if (code == CURLE_OK) {
    long responseCode = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &responseCode);
    if (responseCode >= 100) {
      status = static_cast<int>(responseCode);
      remoteIp = infoText(curl, CURLINFO_PRIMARY_IP);
      localIp = infoText(curl, CURLINFO_LOCAL_IP);
    } else {
      status = CURLE_WEIRD_SERVER_REPLY;
      error = "no HTTP status in the answer";
    }
  } else {
    status = code;
    if (bodyTooLarge) {
      error = "response body over " + std::to_string(MAX_RESPONSE_SIZE) + " bytes";
    } else {
      error = errorBuffer[0] ? errorBuffer : curl_easy_strerror(code);
    }
  }
}

void HttpRequest::globalInit() {
  static std::once_flag once;
  static CURLcode result = CURLE_OK;
  std::call_once(once, [] { result = curl_global_init(CURL_GLOBAL_DEFAULT); });
  if (result != CURLE_OK) {
    throw std::runtime_error("curl_global_init error " + std::to_string(result) + " " + curl_easy_strerror(result));
  }
}

HttpRequest::HttpRequest(std::string url, UvLoop* loop) : HttpRequest(std::move(url), loop, Settings()) {}

HttpRequest::HttpRequest(std::string url, UvLoop* loop, Settings settings)
    : _url(std::move(url)), _loop(loop), _settings(std::move(settings)) {}

HttpRequest::~HttpRequest() {
  if (_transfer) _transfer->abandoned = true;
}

void HttpRequest::exec(Cb* cb) {
  if (_started) throw std::logic_error("HttpRequest: exec called twice");
  globalInit();
  auto transfer = std::make_unique<Transfer>();
  transfer->url = _url;
  transfer->settings = _settings;
  transfer->owner = Liveness::Ref<HttpRequest>(this, _liveness);
  transfer->poolReleased = _poolReleased;

  uv_work_t* work = allocUv<uv_work_t>();
  work->data = transfer.get();
  int status = uv_queue_work(_loop->uvLoop(), work, transferOnPool, afterTransfer);
  if (status != 0) {
    std::free(work);
    checkStatus("uv_queue_work", status);
  }
  _started = true;
  _cb = cb;
  _transfer = transfer.release();
}

void HttpRequest::transferOnPool(uv_work_t* work) {
  auto* transfer = static_cast<Transfer*>(work->data);
  if (transfer->abandoned) return;
  try {
    transfer->perform();
  } catch (const std::exception& e) {  // out of memory: still report, never unwind into libuv
    transfer->status = CURLE_OUT_OF_MEMORY;
    transfer->error = e.what();
  }
}

void HttpRequest::afterTransfer(uv_work_t* work, int) {
  std::unique_ptr<Transfer> transfer(static_cast<Transfer*>(work->data));
  uv_loop_t* loop = work->loop;
  std::free(work);
  UvLoop::guard(loop, [&] {
    if (transfer->poolReleased) transfer->poolReleased();
    // Read only now: the hook may have ended the owner.
    if (HttpRequest* owner = transfer->owner.get()) owner->complete(*transfer);
  });
}

void HttpRequest::complete(Transfer& transfer) {
  _transfer = nullptr;
  _status = transfer.status;
  _error = transfer.error;
  _response = transfer.response;
  _remoteIp = transfer.remoteIp;
  _localIp = transfer.localIp;
  _connectsMade = transfer.connectsMade;
  // This is the request's completion, and the call that owns it may end with it here: the
  // callback gets the transfer's copies, which outlive the call, and nothing below touches this.
  _cb->handleResponse(transfer.status, transfer.error, transfer.response);
}

// ---- kept connections ----

namespace {

struct IdleHandle {
  CURL* curl;
  curl_socket_t socket;  // of its kept connection; CURL_SOCKET_BAD when it kept none
  std::chrono::steady_clock::time_point since;
};

// An idle HTTP/1.1 connection has nothing to say: anything to read is the server's close (or
// garbage), and the connection is not used again.
bool stillOpen(curl_socket_t socket) {
  if (socket == CURL_SOCKET_BAD) return true;  // nothing kept: the handle will connect afresh
  pollfd p{socket, POLLIN, 0};
  return poll(&p, 1, 0) == 0;
}

}  // namespace

struct HttpRequest::Connections::State {
  CURLSH* share = nullptr;
  std::mutex sharedLocks[CURL_LOCK_DATA_LAST];  // one per kind of data shared
  std::mutex idleLock;
  std::vector<IdleHandle> idle;  // the most recently used last

  static void lock(CURL*, curl_lock_data data, curl_lock_access, void* self) {
    static_cast<State*>(self)->sharedLocks[data].lock();
  }
  static void unlock(CURL*, curl_lock_data data, void* self) {
    static_cast<State*>(self)->sharedLocks[data].unlock();
  }
};

HttpRequest::Connections::Connections() : _state(std::make_unique<State>()) {
  globalInit();
  CURLSH* share = curl_share_init();
  if (!share) return;  // each handle then keeps its own sessions
  // Only TLS sessions: libcurl cannot share a connection cache between threads that run at once.
  if (curl_share_setopt(share, CURLSHOPT_LOCKFUNC, State::lock) != CURLSHE_OK ||
      curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, State::unlock) != CURLSHE_OK ||
      curl_share_setopt(share, CURLSHOPT_USERDATA, _state.get()) != CURLSHE_OK ||
      curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION) != CURLSHE_OK) {
    curl_share_cleanup(share);
    return;
  }
  _state->share = share;
}

HttpRequest::Connections::~Connections() {
  // Every handle is back by now: a transfer holds its Connections until it has given its handle back.
  for (const IdleHandle& handle : _state->idle) curl_easy_cleanup(handle.curl);
  if (_state->share) curl_share_cleanup(_state->share);
}

void* HttpRequest::Connections::lend() {
  const auto oldest = std::chrono::steady_clock::now() - std::chrono::seconds(MAX_IDLE_SECONDS);
  std::vector<CURL*> dropped;
  CURL* lent = nullptr;
  {
    std::lock_guard<std::mutex> lock(_state->idleLock);
    while (!lent && !_state->idle.empty()) {
      const IdleHandle handle = _state->idle.back();  // its connection is the freshest
      _state->idle.pop_back();
      if (handle.since >= oldest && stillOpen(handle.socket)) {
        lent = handle.curl;
      } else {
        dropped.push_back(handle.curl);
      }
    }
  }
  for (CURL* curl : dropped) curl_easy_cleanup(curl);  // closes the connection it kept
  if (lent) return lent;
  CURL* curl = curl_easy_init();
  if (curl && _state->share) curl_easy_setopt(curl, CURLOPT_SHARE, _state->share);
  return curl;
}

void HttpRequest::Connections::giveBack(void* handle) {
  CURL* curl = static_cast<CURL*>(handle);
  curl_socket_t socket = CURL_SOCKET_BAD;
  if (curl_easy_getinfo(curl, CURLINFO_ACTIVESOCKET, &socket) != CURLE_OK) socket = CURL_SOCKET_BAD;
  // Drops the options, which point into the finished transfer; keeps the connection and the share.
  curl_easy_reset(curl);
  {
    std::lock_guard<std::mutex> lock(_state->idleLock);
    if (_state->idle.size() < MAX_IDLE) {
      _state->idle.push_back(IdleHandle{curl, socket, std::chrono::steady_clock::now()});
      return;
    }
  }
  curl_easy_cleanup(curl);
}

}  // namespace p2p
