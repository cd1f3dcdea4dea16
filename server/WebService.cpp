#include "WebService.h"

#include <httplib.h>
#include <sys/socket.h>

#include <chrono>
#include <functional>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "Certificates.h"
#include "Checks.h"
#include "ServerLog.h"
#include "utils/Utils.h"
#include "ServerState.h"
#include "SignInPage.h"
#include "utils/Base64.h"

namespace {

// A request that does not have the shape of the call: answered 400.
class BadRequest : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

using Check = std::function<bool(const std::string&)>;

const std::string& required(const httplib::Request& req, const char* name, const Check& valid) {
  auto it = req.params.find(name);
  if (it == req.params.end() || !valid(it->second))
    throw BadRequest(std::string("Bad Request: ") + name);
  return it->second;
}

std::string optional(const httplib::Request& req, const char* name, const Check& valid) {
  auto it = req.params.find(name);
  if (it == req.params.end()) return std::string();
  if (!valid(it->second)) throw BadRequest(std::string("Bad Request: ") + name);
  return it->second;
}

bool isUuid(const std::string& s) { return Checks::isUuid(s); }
bool isName(const std::string& s) { return Checks::isName(s); }
bool isDigest(const std::string& s) { return Checks::isDigest(s); }
bool isShort(const std::string& s) { return Checks::isPlain(s, Checks::MAX_FIELD); }

bool isBase64(const std::string& s) {
  if (s.size() > 2 * Checks::MAX_TEXT) return false;
  for (char c : s)
    if (!isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '/' && c != '=') return false;
  return true;
}

// cpp-httplib's build listens with a backlog of 5: a burst of clients would lose SYNs and
// wait a second for the retry. The listening socket is the base class's to reach.
class TlsServer : public httplib::SSLServer {
 public:
  using httplib::SSLServer::SSLServer;
  bool raiseBacklog(int backlog) { return ::listen(svr_sock_, backlog) == 0; }
};

const int LISTEN_BACKLOG = 128;

// cpp-httplib hands each accepted connection to one pool thread for its whole life: the TLS
// handshake, then every keep-alive request, each wait bounded by a time-out. Its default pool
// has a thread per core, at least 8, so 8 silent connections held every other caller back by a
// full read time-out, and 16 by two. A pool well above the connections a trial makes, with
// short waits for what does not come, keeps idle connections from starving the rest; the pool
// is fixed, so a flood of connections waits in its queue instead of growing threads.
const size_t WORKERS = 64;
const time_t READ_TIMEOUT_SECONDS = 2;  // for the handshake and within a request
const time_t KEEP_ALIVE_SECONDS = 2;    // for the next request on an open connection

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string json(const nlohmann::json& value) {
  // Replacing bad UTF-8 keeps a stored name from making the answer fail.
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void text(httplib::Response& res, int status, const std::string& body) {
  res.status = status;
  res.set_content(body, "text/plain");
}

void html(httplib::Response& res, int status, const std::string& body) {
  res.status = status;
  res.set_header("Content-Security-Policy", SignInPage::CONTENT_SECURITY_POLICY);
  res.set_header("Cache-Control", "no-store");
  res.set_content(body, "text/html; charset=utf-8");
}

// What a log line may show of a request: never keys, signatures or passwords.
std::string describe(const httplib::Request& req) {
  std::string out;
  for (const char* name : {"uuid", "myuuid", "name", "username", "toUsername"}) {
    auto it = req.params.find(name);
    if (it != req.params.end() && req.method == "GET")
      out += std::string(" ") + name + "=" + Utils::printable(it->second, 64);
  }
  return out;
}

}  // namespace

WebService::WebService(ServerState& state, const Certificates& certificates)
    : state(state),
      server(std::make_unique<TlsServer>(certificates.certPath().c_str(),
                                         certificates.keyPath().c_str())) {
  if (!server->is_valid())
    throw std::runtime_error("cannot set up TLS with " + certificates.certPath());
  // Answers go out in several writes; waiting for ACKs between them would cost 40 ms each.
  server->set_tcp_nodelay(true);
  server->set_payload_max_length(MAX_BODY);
  server->new_task_queue = [] { return new httplib::ThreadPool(WORKERS); };
  server->set_read_timeout(READ_TIMEOUT_SECONDS, 0);
  server->set_write_timeout(5, 0);
  server->set_keep_alive_timeout(KEEP_ALIVE_SECONDS);
  server->set_keep_alive_max_count(20);
  server->set_logger([](const httplib::Request& req, const httplib::Response& res) {
    SERVER_LOG << "https " << req.remote_addr << " " << Utils::printable(req.method, 16) << " "
               << Utils::printable(req.path, 64) << " " << res.status << describe(req);
  });
  server->set_exception_handler(
      [](const httplib::Request&, httplib::Response& res, std::exception_ptr error) {
        std::string what = "unknown";
        try {
          std::rethrow_exception(error);
        } catch (const std::exception& e) {
          what = e.what();
        } catch (...) {
        }
        SERVER_LOG << "https error " << Utils::printable(what, 200);
        text(res, 500, "Internal Server Error");
      });
  routes();
}

WebService::~WebService() { stop(); }

void WebService::routes() {
  using Member = void (WebService::*)(const httplib::Request&, httplib::Response&);
  auto guarded = [this](Member member) {
    return [this, member](const httplib::Request& req, httplib::Response& res) {
      try {
        (this->*member)(req, res);
      } catch (const BadRequest& e) {
        text(res, 400, e.what());
      }
    };
  };
  server->Get("/Login", guarded(&WebService::login));
  server->Get("/Register", guarded(&WebService::registerAccount));
  server->Get("/Verify", guarded(&WebService::verify));
  server->Get("/ForgotPassword", guarded(&WebService::forgotPassword));
  server->Get("/Oauth2response", guarded(&WebService::oauth2Response));
  server->Get("/TicketCreate", guarded(&WebService::ticketCreate));
  server->Get("/TicketGet", guarded(&WebService::ticketGet));
  server->Get("/Oauth2", guarded(&WebService::signInPage));
  server->Post("/Oauth2", guarded(&WebService::signInForm));
}

void WebService::start(const std::string& host, int port) {
  if (!server->bind_to_port(host, port))
    throw std::runtime_error("cannot listen on https " + host + ":" + std::to_string(port));
  if (!static_cast<TlsServer&>(*server).raiseBacklog(LISTEN_BACKLOG))
    SERVER_LOG << "https listen backlog stays at cpp-httplib's default";
  thread = std::thread([this] { server->listen_after_bind(); });
  // cpp-httplib's stop() does nothing before its loop runs; a stop right after the start
  // would leave the thread serving forever.
  for (int waited = 0; !server->is_running(); ++waited) {
    if (waited == 5000) {
      stop();
      throw std::runtime_error("https did not start");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void WebService::stop() {
  if (!thread.joinable()) return;
  server->stop();
  thread.join();
}

void WebService::login(const httplib::Request& req, httplib::Response& res) {
  const std::string& uuid = required(req, "uuid", isUuid);
  // An empty name is no malformed request: no account has it.
  const std::string& name = required(
      req, "name", [](const std::string& s) { return Checks::isPlain(s, Checks::MAX_NAME); });
  const std::string& challenge =
      required(req, "challenge", [](const std::string& s) { return Checks::isDecimal(s); });
  const std::string& chkey = required(req, "chkey", isDigest);
  const bool hasKey = req.params.count("key") > 0;
  const std::string key = hasKey ? required(req, "key", isDigest) : std::string();
  optional(req, "grid", isShort);

  const ServerState::LoginResult result =
      state.login(uuid, name, hasKey ? &key : nullptr, challenge, chkey);
  switch (result.status) {
    case 200: text(res, 200, std::to_string(result.challenge)); break;
    case 401: text(res, 401, "Unauthorized"); break;
    case 404: text(res, 404, "Not Found"); break;
    default: text(res, 423, "Locked"); break;
  }
}

void WebService::registerAccount(const httplib::Request& req, httplib::Response& res) {
  required(req, "uuid", isUuid);
  const std::string& name = required(req, "name", isName);
  const std::string& key = required(req, "key", isDigest);
  optional(req, "email", isShort);
  optional(req, "verify", isShort);
  int64_t id = 0;
  if (state.registerAccount(name, key, id) == 200)
    text(res, 200, std::to_string(id));
  else
    text(res, 409, "Conflict");
}

void WebService::verify(const httplib::Request& req, httplib::Response& res) {
  const std::string& myUuid = required(req, "myuuid", isUuid);
  const std::string& uuid = required(req, "uuid", isUuid);
  const std::string& name = required(req, "name", isName);
  required(req, "ip", isShort);
  const std::string& sig = required(req, "sig", isShort);
  if (state.verify(myUuid, uuid, name, sig))
    text(res, 200, "OK");
  else
    text(res, 403, "Forbidden");
}

void WebService::forgotPassword(const httplib::Request& req, httplib::Response& res) {
  state.forgotPassword(required(req, "name", isName));
  text(res, 200, "OK");
}

void WebService::oauth2Response(const httplib::Request& req, httplib::Response& res) {
  const ServerState::SignIn signIn = state.takeSignIn(required(req, "uuid", isUuid), nowMs());
  res.set_header("Cache-Control", "no-store");
  res.set_content(
      json({{"name", signIn.name}, {"key", signIn.key}, {"challenge", signIn.challenge}}),
      "application/json");
}

void WebService::ticketCreate(const httplib::Request& req, httplib::Response& res) {
  const std::string& uuid = required(req, "uuid", isUuid);
  const std::string& userName = required(req, "username", isName);
  const std::string& toUserName = required(req, "toUsername", isName);
  const std::string sendEmail = optional(req, "sendEmail", isShort);
  const std::string message = base64_decode(optional(req, "text", isBase64));
  if (message.size() > Checks::MAX_TEXT) throw BadRequest("Bad Request: text");
  const std::optional<std::string> code =
      state.createTicket(uuid, userName, toUserName, message, sendEmail == "true");
  if (!code) return text(res, 401, "Unauthorized");
  res.set_content(json({{"name", *code}}), "application/json");
}

void WebService::ticketGet(const httplib::Request& req, httplib::Response& res) {
  const std::string& uuid = required(req, "uuid", isUuid);
  const std::string& userName = required(req, "username", isName);
  const std::string& code = required(req, "name", isShort);
  // A code of another shape cannot exist: as unknown as any other.
  const std::optional<ServerState::TicketAnswer> ticket =
      Checks::isTicketCode(code) ? state.getTicket(code, uuid, userName) : std::nullopt;
  if (!ticket) return text(res, 404, "Not Found");
  res.set_content(json({{"userName", ticket->userName},
                        {"computerName", ticket->computerName},
                        {"uuid", ticket->uuid},
                        {"ip", ticket->ip},
                        {"internalIp", ticket->internalIp},
                        {"port", ticket->port}}),
                  "application/json");
}

void WebService::signInPage(const httplib::Request& req, httplib::Response& res) {
  optional(req, "provider", isShort);
  html(res, 200, SignInPage::form(required(req, "uuid", isUuid), ""));
}

void WebService::signInForm(const httplib::Request& req, httplib::Response& res) {
  const std::string& uuid = required(req, "uuid", isUuid);
  const std::string& email = required(req, "email", isName);
  const std::string& password = required(req, "password", [](const std::string& s) {
    return !s.empty() && s.size() <= Checks::MAX_FIELD;
  });
  if (state.signIn(uuid, email, password, nowMs()))
    html(res, 200, SignInPage::done(email));
  else
    html(res, 401, SignInPage::form(uuid, "Wrong e-mail address or password."));
}
