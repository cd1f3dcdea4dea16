#include "p2p/uv/HttpRequest.h"

#include <curl/curl.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <stdexcept>

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
  transfer->response.append(data, n);
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

}  // namespace

void HttpRequest::Transfer::perform() {
  CURL* curl = curl_easy_init();
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

  if (code == CURLE_OK) code = curl_easy_perform(curl);
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
  curl_easy_cleanup(curl);
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
  // The callback may delete this request: it gets the transfer's copies, which outlive the call.
  _cb->handleResponse(transfer.status, transfer.error, transfer.response);
}

}  // namespace p2p
