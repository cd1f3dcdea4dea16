#include "p2p/uv/HttpServer.h"

#include <http_parser.h>
#include <unistd.h>

#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <utility>

#include "p2p/uv/SelfOwned.h"
#include "p2p/uv/UvLog.h"

namespace p2p {

// ---- HttpServerResponse ----

HttpServerResponse::HttpServerResponse() : std::ostream(nullptr), buffer(this) { rdbuf(&buffer); }

void HttpServerResponse::setStatus(int status) { this->status = status; }

void HttpServerResponse::setHeader(const std::string& name, const std::string& value) {
  headers.emplace(name, value);
}

void HttpServerResponse::onEnd(Callback callback) {
  this->callback = std::move(callback);
  hasCallback = true;
}

std::string HttpServerResponse::text() const {
  std::string body = buffer.str();
  // The reason phrase is "OK" whatever the status: the clients only look at the number.
  std::string out = "HTTP/1.1 " + std::to_string(status) + " OK\r\n";
  for (const auto& [name, value] : headers) out += name + ": " + value + "\r\n";
  out += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  out += body;
  return out;
}

int HttpServerResponse::Buffer::sync() {
  // A connection carries one response: later flushes go nowhere.
  if (res->sent || !res->hasCallback) return 0;
  res->sent = true;
  res->callback(res->text());
  return 0;
}

// ---- HttpServerClient: one accepted connection ----

// Owns its socket and idle timer, and itself until both have closed: their close callbacks are
// its completion (SelfOwned). The server keeps it in its set until then.
class HttpServerClient : public SelfOwned<HttpServerClient> {
 public:
  explicit HttpServerClient(HttpServer* server);
  ~HttpServerClient();
  HttpServerClient(const HttpServerClient&) = delete;
  HttpServerClient& operator=(const HttpServerClient&) = delete;

  // Accepts the pending connection of `listening` and starts reading; a failure is logged and
  // ends this client.
  void start(uv_stream_t* listening, int idleTimeoutMsec);
  void close();

 private:
  static void onAlloc(uv_handle_t* handle, size_t suggested, uv_buf_t* buf);
  static void onRead(uv_stream_t* stream, ssize_t nread, const uv_buf_t* buf);
  static void onWritten(uv_write_t* req, int status);
  static void onIdle(uv_timer_t* timer);
  static void onHandleClosed(uv_handle_t* handle);
  static int onUrl(http_parser* parser, const char* at, size_t length);
  static int onHeadersComplete(http_parser* parser);
  static int onMessageComplete(http_parser* parser);
  static const http_parser_settings& parserSettings();

  uv_stream_t* stream() { return reinterpret_cast<uv_stream_t*>(handle); }
  void fail(const char* step, int status);
  void received(ssize_t nread, const char* data);
  void ended();
  void parse(const char* data, size_t length);
  void dispatch();
  void send(std::string text);

  Liveness::Ref<HttpServer> server;
  const HttpServerListener listener;  // a copy: the server may be deleted by the handler itself
  uv_loop_t* loop;
  int idleTimeoutMsec = 0;
  uv_tcp_t* handle = nullptr;
  uv_timer_t* idleTimer = nullptr;
  int openHandles = 0;
  http_parser parser;
  std::string url;
  std::string method;
  std::string response;  // kept until its write has completed
  size_t receivedBytes = 0;
  bool dispatched = false;
  bool responded = false;
  bool writing = false;
  bool closing = false;
  std::exception_ptr handlerFailure;
  char readBuffer[4096];
};

HttpServerClient::HttpServerClient(HttpServer* server)
    : server(server, server->liveness), listener(server->listener), loop(server->loop->uvLoop()) {
  http_parser_init(&parser, HTTP_REQUEST);
  parser.data = this;
}

HttpServerClient::~HttpServerClient() {
  if (HttpServer* alive = server.get()) alive->forget(this);
}

void HttpServerClient::start(uv_stream_t* listening, int timeoutMsec) {
  idleTimeoutMsec = timeoutMsec;
  handle = allocUv<uv_tcp_t>();
  int status = uv_tcp_init(loop, handle);
  if (status != 0) {
    std::free(handle);
    handle = nullptr;
    return fail("uv_tcp_init", status);
  }
  handle->data = this;
  ++openHandles;
  idleTimer = allocUv<uv_timer_t>();
  status = uv_timer_init(loop, idleTimer);
  if (status != 0) {
    std::free(idleTimer);
    idleTimer = nullptr;
    return fail("uv_timer_init", status);
  }
  idleTimer->data = this;
  ++openHandles;
  status = uv_accept(listening, stream());
  if (status != 0) return fail("uv_accept", status);
  status = uv_read_start(stream(), onAlloc, onRead);
  if (status != 0) return fail("uv_read_start", status);
  status = uv_timer_start(idleTimer, onIdle, idleTimeoutMsec, 0);
  if (status != 0) return fail("uv_timer_start", status);
}

void HttpServerClient::fail(const char* step, int status) {
  UV_LOG("WARN") << "http connection: " << step << " error " << status << " " << uv_strerror(status);
  close();
}

void HttpServerClient::close() {
  if (closing) return;
  closing = true;
  if (handle) uv_close(reinterpret_cast<uv_handle_t*>(handle), onHandleClosed);
  if (idleTimer) uv_close(reinterpret_cast<uv_handle_t*>(idleTimer), onHandleClosed);
  // Only when setting up failed before any handle was open: nothing will call back, and the
  // call that set it up is still on the stack.
  if (openHandles == 0) UvLoop::from(loop)->deleteSoon(owned());
}

void HttpServerClient::onHandleClosed(uv_handle_t* h) {
  auto* client = static_cast<HttpServerClient*>(h->data);
  uv_loop_t* loop = h->loop;
  std::free(h);
  UvLoop::guard(loop, [&] {
    if (--client->openHandles == 0) client->owned().reset();
  });
}

void HttpServerClient::onAlloc(uv_handle_t* h, size_t, uv_buf_t* buf) {
  auto* client = static_cast<HttpServerClient*>(h->data);
  *buf = uv_buf_init(client->readBuffer, sizeof client->readBuffer);
}

void HttpServerClient::onRead(uv_stream_t* stream, ssize_t nread, const uv_buf_t* buf) {
  UvLoop::guard(stream->loop, [&] { static_cast<HttpServerClient*>(stream->data)->received(nread, buf->base); });
}

void HttpServerClient::received(ssize_t nread, const char* data) {
  if (closing || nread == 0) return;  // 0 is libuv's "nothing this time", not the end
  if (nread == UV_EOF) return ended();
  if (nread < 0) {
    UV_LOG("WARN") << "http connection: read error " << nread << " " << uv_strerror(static_cast<int>(nread));
    return close();
  }
  receivedBytes += static_cast<size_t>(nread);
  if (receivedBytes > HttpServer::kMaxRequestBytes) {
    UV_LOG("WARN") << "http connection: request larger than " << HttpServer::kMaxRequestBytes << " bytes, closed";
    return close();
  }
  int status = uv_timer_start(idleTimer, onIdle, idleTimeoutMsec, 0);
  if (status != 0) return fail("uv_timer_start", status);
  // Whatever follows the one request is read (so the close is orderly) and dropped.
  if (!dispatched) parse(data, static_cast<size_t>(nread));
}

void HttpServerClient::ended() {
  // A client that half-closes after its request still gets the response being written.
  if (writing) {
    uv_read_stop(stream());
    return;
  }
  close();
}

void HttpServerClient::parse(const char* data, size_t length) {
  http_parser_execute(&parser, &parserSettings(), data, length);
  if (handlerFailure) {
    std::exception_ptr failure = std::exchange(handlerFailure, nullptr);
    if (!writing) close();
    std::rethrow_exception(failure);  // the loop keeps it, as for any callback
  }
  if (closing) return;
  auto error = HTTP_PARSER_ERRNO(&parser);
  if (error != HPE_OK && error != HPE_PAUSED) {  // paused: stopped after the one request
    UV_LOG("WARN") << "http connection: bad request, " << http_errno_name(error);
    close();
  }
}

const http_parser_settings& HttpServerClient::parserSettings() {
  static const http_parser_settings settings = [] {
    http_parser_settings s{};
    s.on_url = onUrl;
    s.on_headers_complete = onHeadersComplete;
    s.on_message_complete = onMessageComplete;
    return s;
  }();
  return settings;
}

int HttpServerClient::onUrl(http_parser* parser, const char* at, size_t length) {
  static_cast<HttpServerClient*>(parser->data)->url.append(at, length);
  return 0;
}

int HttpServerClient::onHeadersComplete(http_parser* parser) {
  static_cast<HttpServerClient*>(parser->data)->method =
      http_method_str(static_cast<http_method>(parser->method));
  return 0;
}

int HttpServerClient::onMessageComplete(http_parser* parser) {
  static_cast<HttpServerClient*>(parser->data)->dispatch();
  // One request per connection: a pipelined second one is never parsed.
  http_parser_pause(parser, 1);
  return 0;
}

void HttpServerClient::dispatch() {
  dispatched = true;
  HttpServerRequest request;
  request.url = url;
  request.method = method;
  HttpServerResponse res;
  res.onEnd([this](std::string text) { send(std::move(text)); });
  // Nothing may unwind through http-parser: the failure is rethrown once it has returned.
  try {
    listener(request, res);
  } catch (...) {
    handlerFailure = std::current_exception();
  }
}

void HttpServerClient::send(std::string text) {
  if (responded || closing) return;
  responded = true;
  response = std::move(text);
  auto* req = allocUv<uv_write_t>();
  req->data = this;
  uv_buf_t buf = uv_buf_init(response.data(), static_cast<unsigned int>(response.size()));
  int status = uv_write(req, stream(), &buf, 1, onWritten);
  if (status != 0) {
    std::free(req);
    return fail("uv_write", status);
  }
  writing = true;
}

void HttpServerClient::onWritten(uv_write_t* req, int status) {
  // A write still in flight when the socket closes completes with UV_ECANCELED before the
  // close callback, so the client is still there.
  auto* client = static_cast<HttpServerClient*>(req->data);
  uv_loop_t* loop = req->handle->loop;
  std::free(req);
  UvLoop::guard(loop, [&] {
    client->writing = false;
    if (status < 0 && status != UV_ECANCELED) {
      UV_LOG("WARN") << "http connection: write error " << status << " " << uv_strerror(status);
    }
    client->close();
  });
}

void HttpServerClient::onIdle(uv_timer_t* timer) {
  UvLoop::guard(timer->loop, [&] {
    UV_LOG("1") << "http connection: idle, closed";
    static_cast<HttpServerClient*>(timer->data)->close();
  });
}

// ---- HttpServer ----

HttpServer::HttpServer(UvLoop* loop, HttpServerListener listener, int idleTimeoutMsec)
    : Resident(loop), loop(loop), listener(std::move(listener)), idleTimeoutMsec(idleTimeoutMsec) {}

HttpServer::~HttpServer() {
  if (residentLoop()) onLoopClosing();
}

void HttpServer::onLoopClosing() {
  closeAndFree(reinterpret_cast<uv_handle_t*>(server));
  server = nullptr;
  closeAll();
}

void HttpServer::closeAll() {
  std::unordered_set<HttpServerClient*> open;
  open.swap(clients);
  for (HttpServerClient* client : open) client->close();
}

int HttpServer::listen(const char* ip, int port) {
  // The libuv pool is sized once, before the first loop exists (UvLoop), not here: by now
  // the log has already started the pool.
  if (server) throw std::runtime_error("HttpServer::listen: already listening");
  // Each attempt starts from a fresh handle and closes it on failure, so a caller that retries
  // finds nothing half-open.
  auto* handle = allocUv<uv_tcp_t>();
  int status = uv_tcp_init(loop->uvLoop(), handle);
  if (status != 0) {
    std::free(handle);
    checkStatus("uv_tcp_init", status);
  }
  handle->data = this;
  auto failed = [&](const char* step, int code) {
    closeAndFree(reinterpret_cast<uv_handle_t*>(handle));
    checkStatus(step, code);
  };
  sockaddr_in requested{};
  status = (ip && port >= 0 && port <= 65535) ? uv_ip4_addr(ip, port, &requested) : UV_EINVAL;
  if (status != 0) failed("uv_ip4_addr", status);
  // The address asked for is checked but not used: see listen() in the header.
  sockaddr_in loopback{};
  uv_ip4_addr("127.0.0.1", port, &loopback);
  status = uv_tcp_bind(handle, reinterpret_cast<const sockaddr*>(&loopback), 0);
  if (status != 0) failed("uv_tcp_bind", status);
  status = uv_listen(reinterpret_cast<uv_stream_t*>(handle), 1000, onConnection);
  if (status != 0) failed("uv_listen", status);
  server = handle;
  return 0;
}

void HttpServer::onConnection(uv_stream_t* listening, int status) {
  UvLoop::guard(listening->loop, [&] {
    if (status < 0) {
      UV_LOG("WARN") << "http server: accept error " << status << " " << uv_strerror(status);
      return;
    }
    static_cast<HttpServer*>(listening->data)->accept();
  });
}

void HttpServer::accept() {
  auto* client = new HttpServerClient(this);
  clients.insert(client);
  client->start(reinterpret_cast<uv_stream_t*>(server), idleTimeoutMsec);
}

}  // namespace p2p
