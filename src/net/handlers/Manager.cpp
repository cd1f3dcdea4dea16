#include "net/handlers/Manager.h"

#include <http_parser.h>

#include <cctype>
#include <ctime>
#include <exception>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "net/handlers/CopyProgress.h"
#include "net/handlers/GetTicketCb.h"
#include "net/handlers/TicketRequestHandler.h"
#include "net/messages/TicketResponse.h"
#include "p2p/messages/Connect.h"
#include "p2p/processes/Server.h"
#include "p2p/processes/UdpRouter.h"
#include "p2p/requests/ForgotPassword.h"
#include "p2p/requests/Oauth2.h"
#include "p2p/requests/Register.h"
#include "p2p/requests/TicketCreate.h"
#include "p2p/uv/HttpServer.h"
#include "p2p/uv/SelfOwned.h"
#include "p2p/uv/UvLog.h"
#include "p2p/uv/UvLoop.h"
#include "utils/Sha1.h"
#include "utils/Utils.h"

namespace net {

namespace {

const char* const kTooManyPaths = "too many paths for one offer";

// The answer to a ticket request carries every path of the offer in one frame.
bool offerFitsOneFrame(const std::vector<std::string>& files) {
  TicketResponse answer;
  answer.ticket = std::string(64, 'c');  // longer than any code
  answer.paths = files;
  return TicketRequestHandler::fitsOneFrame(answer);
}

std::string userKey(const std::string& username, const std::string& password) {
  std::string key;
  Sha1::getInstance().encodePassword(username, password, key);
  return key;
}

// A code comes from a user or a web page; one with blanks or control characters is a mistake.
bool isPlainCode(const std::string& code) {
  for (unsigned char c : code)
    if (c <= ' ' || c == 0x7f) return false;
  return true;
}

}  // namespace

// One web-server call of the Manager: holds what the answer needs. It owns itself until the
// answer; the Manager's end cancels it.
template <class T, class Answer>
class Manager::OneCall : public Manager::PendingCall,
                         public p2p::Server::ServerCb<T>,
                         public p2p::SelfOwned<OneCall<T, Answer>> {
 public:
  OneCall(Manager* manager, Answer answer) : manager(manager), answer(std::move(answer)) {}
  void handleServerResponse(const p2p::Server::ServerResponse<T>& response) override {
    manager->calls.erase(this);
    std::unique_ptr<OneCall> self = this->owned();
    answer(response);
  }

 private:
  Manager* manager;
  Answer answer;
};

template <class T, class Answer>
void Manager::call(p2p::Server::ServerRequest<T>* request, Answer answer) {
  std::unique_ptr<p2p::Server::ServerRequest<T>> owned(request);  // built first: it checks its input
  auto cb = std::make_unique<OneCall<T, Answer>>(this, std::move(answer));
  calls.insert(cb.get());
  try {
    server->exec(owned.release(), cb.get());
  } catch (...) {
    calls.erase(cb.get());
    throw;
  }
  cb.release();  // owns itself until its answer
}

// ---- construction ----

Manager::Manager(const Properties& properties, p2p::UvLoop* loop)
    : properties(properties),
      loop(loop),
      wallClock([] { return static_cast<int64_t>(std::time(nullptr)); }),
      acceptedHandlerFactory(net::newAcceptedHandler) {
  router = std::make_unique<p2p::UdpRouter>(loop);
  server = std::make_unique<p2p::Server>(properties.serverUrl, properties.serverUdpPort, loop);
  acceptor = std::make_unique<p2p::PeerAcceptor>(properties.uuid, server.get(), router.get(), this);
  httpServer = std::make_unique<p2p::HttpServer>(
      loop, [this](p2p::HttpServerRequest& request, p2p::HttpServerResponse& response) {
        handleHttpServer(request, response);
      });
  listenHttpServer();
  login = std::make_unique<p2p::LoginEcho>(server.get(), router.get(), this);
  restartLogin();
  _isConnected = false;
}

Manager::~Manager() {
  // Receives first, so that the connections closed below start nothing new.
  while (!receives.empty()) receives.begin()->second->abandon();
  for (PeerManager* pm : std::forward_list<PeerManager*>(peers)) {
    pm->setListener(nullptr);
    pm->close(true, "shutting down");
  }
  loop->flushDeletions();  // the connections and holes still point at the router and server
  // Cancels the web calls still waiting for an answer.
  for (PendingCall* pending : std::exchange(calls, {})) delete pending;
  served.clear();
  login.reset();
  acceptor.reset();
  loop->flushDeletions();
  server.reset();
  router.reset();
  httpServer.reset();
}

void Manager::setListener(Api* api) { apiListener = api; }

void Manager::emit(Api::Event* event) {
  if (apiListener) {
    apiListener->notify(event);
  } else {
    delete event;
  }
}

void Manager::restartLogin() {
  login->doLogin(properties.uuid, properties.username, properties.userkey, properties.computerName,
                 properties.tcpPort);
}

std::string Manager::storeAccount(const std::string& username, const std::string& userkey) {
  Properties changed = properties;
  try {
    changed.setUsername(username);
    changed.setUserkey(userkey);
    changed.save();
  } catch (const std::exception& e) {
    UV_LOG("ERROR") << "settings not saved: " << e.what();
    return e.what();
  }
  properties = changed;
  return "";
}

// ---- local HTTP server ----

void Manager::listenHttpServer() {
  std::string failure;
  for (int attempt = 0; attempt < HTTP_LISTEN_ATTEMPTS; ++attempt) {
    try {
      httpServer->listen("0.0.0.0", properties.tcpPort);
      UV_LOG("INFO") << "listening http " << properties.tcpPort;
      return;
    } catch (const std::exception& e) {
      failure = e.what();
    }
  }
  UV_LOG("WARN") << "Can't listen http " << failure;
  httpServer.reset();
}

void Manager::handleHttpServer(p2p::HttpServerRequest& request, p2p::HttpServerResponse& response) {
  try {
    answerHttp(request, response);
  } catch (const std::exception& e) {
    UV_LOG("WARN") << "local request " << request.url << ": " << e.what();
    response.setStatus(500);
    response << "error" << std::endl;
  }
}

void Manager::answerHttp(const p2p::HttpServerRequest& request, p2p::HttpServerResponse& response) {
  response.setHeader("Connection", "close");
  http_parser_url url;
  http_parser_url_init(&url);
  if (http_parser_parse_url(request.url.data(), request.url.size(), 0, &url) != 0) {
    response.setStatus(400);
    response << "error parsing url" << std::endl;
    return;
  }
  auto part = [&](int field) {
    if (!(url.field_set & (1 << field))) return std::string();
    return request.url.substr(url.field_data[field].off, url.field_data[field].len);
  };
  const std::string path = part(UF_PATH);
  std::map<std::string, std::string> query = Utils::urlQuery(part(UF_QUERY));
  const std::string code = query["code"];
  if (path == "/RECV" && !code.empty()) {
    if (!isPlainCode(code)) {
      response.setStatus(400);
      response << "bad code" << std::endl;
      return;
    }
    response.setStatus(200);
    if (query["callback"].empty()) {
      response.setHeader("Content-Type", "application/json");
      response << R"({"message":"Ok","status":200})" << std::endl;
    } else {
      response.setHeader("Content-Type", "application/javascript");
      response << R"(__link_callback_({"message":"Ok","status":200}))" << std::endl;
    }
    emit(new Api::CommandRecvEvent(0, code));
  } else if (path == "/RAISE") {
    response.setStatus(200);
    response << std::endl;
    emit(new Api::Event(Api::COMMAND_RAISE));
  } else {
    response.setStatus(404);
    response << "not found " << path << std::endl;
  }
}

// ---- accounts ----

void Manager::doLogin(int, const std::string& username, const std::string& password) {
  const std::string failure = storeAccount(username, userKey(username, password));
  if (!failure.empty()) throw std::runtime_error(failure);
  restartLogin();
}

void Manager::newUser(int commandId, const std::string& username, const std::string& password) {
  const std::string key = userKey(username, password);
  call(new p2p::Register(properties.uuid, username, key), [this, commandId, username,
                                                          key](const p2p::Server::ServerResponse<long long>& r) {
    if (!r.isOk()) {
      UV_LOG("ERROR") << "Register error " << r.status << " " << r.error;
      emit(new Api::NewUserEvent(commandId, username, 0, r.error));
      return;
    }
    const std::string failure = storeAccount(username, key);
    if (!failure.empty()) {
      emit(new Api::NewUserEvent(commandId, username, 0, failure));
      return;
    }
    restartLogin();
    emit(new Api::NewUserEvent(commandId, username, 1, ""));
  });
}

void Manager::forgotPassword(int commandId, const std::string& username) {
  call(new p2p::ForgotPassword(username), [this, commandId, username](const p2p::Server::ServerResponse<bool>& r) {
    emit(new Api::ForgotPasswordEvent(commandId, username, r.isOk() ? 1 : 0, r.isOk() ? "" : r.error));
  });
}

void Manager::oauth2(int commandId) {
  call(new p2p::Oauth2(properties.uuid), [this, commandId](const p2p::Server::ServerResponse<p2p::Oauth2Response>& r) {
    if (!r.isOk() || r.response.name.empty()) {
      if (!r.error.empty()) UV_LOG("ERROR") << "Oauth2 error " << r.error;
      emit(new Api::Oauth2ResponseEvent(commandId, "", r.error));
      return;
    }
    UV_LOG("INFO") << "Oauth2 ok " << r.response.name;
    const std::string failure = storeAccount(r.response.name, r.response.key);
    if (!failure.empty()) {
      emit(new Api::Oauth2ResponseEvent(commandId, "", failure));
      return;
    }
    restartLogin();
    emit(new Api::Oauth2ResponseEvent(commandId, r.response.name, ""));
  });
}

void Manager::handleLoginStatus(p2p::LoginEcho::ResponseStatus status, const std::string& reason) {
  _isConnected = status == p2p::LoginEcho::OK;
  UV_LOG("INFO") << (_isConnected ? "Connected to server." : "Disconnected from server") << " Status=" << status;
  emit(new Api::LoginEvent(0, properties.username, status, reason));
}

// ---- offers ----

void Manager::ticketSend(int commandId, const std::string& toUsername, const std::vector<std::string>& files,
                         const std::string& text, bool sendMail) {
  if (!offerFitsOneFrame(files)) {
    emit(new Api::TicketCreateEvent(commandId, "", kTooManyPaths));
    return;
  }
  call(new p2p::TicketCreateRequest(properties.uuid, properties.username, toUsername, text, sendMail),
       [this, commandId, toUsername, files](const p2p::Server::ServerResponse<std::string>& r) {
         if (!r.isOk()) {
           UV_LOG("ERROR") << "TicketCreate error " << r.status << " " << r.error;
           emit(new Api::TicketCreateEvent(commandId, "", r.error));
           return;
         }
         UV_LOG("INFO") << "Ticket " << r.response;
         ticketSendCode(commandId, toUsername, files, r.response, wallTime());
         emit(new Api::TicketCreateEvent(commandId, r.response, ""));
       });
}

void Manager::ticketSendCode(int, const std::string& toUsername, const std::vector<std::string>& files,
                             const std::string& code, int64_t createdAt) {
  if (!offerFitsOneFrame(files)) {
    UV_LOG("ERROR") << "Ticket " << code << " not offered: " << kTooManyPaths;
    return;
  }
  tickets.emplace_front(toUsername, std::forward_list<std::string>(files.begin(), files.end()), code, createdAt);
}

IContext::Ticket Manager::findTicket(const std::string& code, const std::string& username) const {
  const int64_t now = wallTime();
  for (const IContext::Ticket& ticket : tickets) {
    // An offer dated in the future (a clock set back) still counts.
    if (ticket.code == code && ticket.toUsername == username && now - ticket.createdAt < IContext::TICKET_LIFETIME)
      return ticket;
  }
  return IContext::Ticket();
}

// ---- receives ----

void Manager::ticketRecv(int commandId, const std::string& code) { GetTicketCb::start(this, commandId, code); }

void Manager::ticketPause(int, const std::string& code) {
  auto it = receives.find(code);
  if (it != receives.end()) it->second->pause();
}

// ---- the connections this side serves ----

size_t Manager::pendingAccepts() const {
  size_t pending = 0;
  for (const PeerManager* pm : peers)
    if (pm->isAccepting() && !pm->hasHandler() && !pm->isClosing()) ++pending;
  return pending;
}

bool Manager::knownStream(const p2p::Connect& connect, const p2p::SocketAddress& address) const {
  for (const PeerManager* pm : peers)
    if (pm->carries(connect.channelId, address)) return true;
  return false;
}

void Manager::logStranger(const std::function<void(std::ostream&)>& line) {
  uint64_t suppressed = 0;
  if (!strangerLines.take(suppressed)) return;
  std::ostringstream text;
  line(text);
  UV_LOG("WARN") << text.str() << (suppressed ? " (suppressed " + std::to_string(suppressed) + ")" : std::string());
}

void Manager::handleAccept(p2p::Connect* connect, const p2p::SocketAddress& address) {
  if (!address.isValid()) return;
  // The opening datagram is sent again until answered; its stream already runs.
  if (knownStream(*connect, address)) return;
  // A refusal sends nothing and is decided before any key agreement: it must cost next to nothing.
  if (pendingAccepts() >= MAX_PENDING_ACCEPTS) {
    logStranger([&](std::ostream& log) {
      log << "connect from " << address << " refused: " << MAX_PENDING_ACCEPTS << " connections wait";
    });
    return;
  }
  const AcceptGate::Verdict verdict = gate.admit(address, loop->now());
  if (verdict != AcceptGate::Admitted) {
    logStranger([&](std::ostream& log) {
      log << "connect from " << address << " refused: " << AcceptGate::describe(verdict);
    });
    return;
  }
  PeerManager* pm = PeerManager::accept(this, connect, address);
  if (!pm || pm->isClosing()) {
    // Refused by the stream, or its key agreement failed and it already ended: nobody else will
    // tell the gate.
    gate.onEnd(address, false, loop->now());
    return;
  }
  pm->setListener(this);
  // Files never travel in clear: a stream without a key agreement is closed at once.
  if (connect->pk.empty() || connect->p.empty() || connect->g.empty()) pm->close(true, "encryption required");
}

void Manager::onNotify(PeerManager* pm, void* data) {
  auto* progress = static_cast<CopyProgress*>(data);
  std::unique_ptr<CopyProgress>& last = served[pm];
  if (!last) last = std::make_unique<CopyProgress>();
  *last = *progress;
  UV_LOG("INFO") << progress->getFileName() << " " << progress->getState() << " " << progress->getOffset() << "/"
                 << progress->getSize() << " " << progress->getRate() << " " << progress->getReason();
  emit(new Api::SendRecvEvent(0, progress->getCode(), progress->getFileName(), progress->getLocalPath(),
                              progress->getFromUsername(), progress->getToUsername(), progress->getSize(),
                              progress->getOffset(), progress->getRate(), progress->getReason()));
}

void Manager::onClose(PeerManager* pm, const std::string& reason) {
  if (pm->isAccepting() && !pm->hasHandler()) {
    // A connection that never said what it wanted: a stranger's, as far as this side knows.
    gate.onEnd(pm->address(), false, loop->now());
    logStranger([&](std::ostream& log) {
      log << "connection from " << pm->address() << " ended before its request: " << reason;
    });
    pm->setListener(nullptr);
    return;
  }
  if (reason.empty()) {
    UV_LOG("INFO") << pm->handlerName() << " Done";
  } else {
    UV_LOG("ERROR") << reason;
  }
  pm->setListener(nullptr);
  reportServedEnd(pm, reason);
}

// A copy that ends without its handler saying so (the stream failed, the peer vanished) is
// still shown as ended, with the reason.
void Manager::reportServedEnd(PeerManager* pm, const std::string& reason) {
  auto it = served.find(pm);
  if (it == served.end()) return;
  std::unique_ptr<CopyProgress> last = std::move(it->second);
  served.erase(it);
  if (reason.empty() || !last->getReason().empty()) return;
  emit(new Api::SendRecvEvent(0, last->getCode(), last->getFileName(), last->getLocalPath(), last->getFromUsername(),
                              last->getToUsername(), last->getSize(), last->getOffset(), last->getRate(), reason));
}

}  // namespace net
