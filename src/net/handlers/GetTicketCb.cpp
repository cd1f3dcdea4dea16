#include "net/handlers/GetTicketCb.h"

#include <algorithm>
#include <exception>

#include "net/Api.h"
#include "net/handlers/CopyRecvHandler.h"
#include "net/handlers/CopyRules.h"
#include "net/handlers/Manager.h"
#include "net/handlers/TicketRecvHandler.h"
#include "net/handlers/VerifyVerdict.h"
#include "net/messages/TicketResponse.h"
#include "p2p/uv/UvFile.h"
#include "p2p/uv/UvLog.h"
#include "p2p/uv/UvLoop.h"
#include "utils/Utils.h"

namespace net {

// ---- start and end ----

void GetTicketCb::start(Manager* manager, int commandId, const std::string& code) {
  std::string refusal;
  if (code.empty()) {
    refusal = "Code is empty";
  } else if (manager->receives.count(code) != 0) {
    refusal = "already receiving " + code;
  }
  if (!refusal.empty()) {
    UV_LOG("ERROR") << "ticket " << Utils::printable(code) << ": receive failed for good: " << Utils::printable(refusal);
    manager->emit(new Api::TicketGetEvent(commandId, code, {}, refusal));
    return;
  }
  (new GetTicketCb(manager, commandId, code))->lookUp();
}

GetTicketCb::GetTicketCb(Manager* manager, int commandId, const std::string& code)
    : manager(manager), commandId(commandId), code(code) {
  manager->receives[code] = this;
}

GetTicketCb::~GetTicketCb() {
  // Whatever still runs reports to nobody from now on.
  if (ticketRecvPm) ticketRecvPm->setListener(nullptr);
  if (copyRecvPm) copyRecvPm->setListener(nullptr);
  releaseDestination();
  auto it = manager->receives.find(code);
  if (it != manager->receives.end() && it->second == this) manager->receives.erase(it);
}

void GetTicketCb::finish() {
  if (phase == Phase::Over) return;
  phase = Phase::Over;
  if (timer) timer->stop();
  auto it = manager->receives.find(code);
  if (it != manager->receives.end() && it->second == this) manager->receives.erase(it);
  manager->getLoop()->deleteSoon(std::unique_ptr<GetTicketCb>(this));
}

void GetTicketCb::failForGood(const std::string& reason, const std::string& logged,
                              const std::vector<std::string>& offered) {
  UV_LOG("ERROR") << logPrefix() << "receive failed for good: " << Utils::printable(logged.empty() ? reason : logged);
  // Once paths are known the front end follows the receive by its copies.
  if (pathsKnown) {
    emitProgress(reason);
  } else {
    emitTicketGet(offered, reason);
  }
  finish();
}

void GetTicketCb::abandon() { finish(); }

void GetTicketCb::pause() {
  if (phase == Phase::Over) return;
  pauseAsked = true;
  switch (phase) {
    case Phase::Exchanging:
      ticketRecvPm->close(true, "Paused");  // onClose ends the sequence
      break;
    case Phase::Copying:
      copyRecvPm->pause();  // the receiver tells the sender; onClose ends the sequence
      break;
    case Phase::LookingUp:  // the lookup in flight is dropped with this object
    case Phase::WaitingToRetry:
      if (pathsKnown) {
        emitProgress("Paused");
      } else {
        emitTicketGet({}, "Paused");
      }
      finish();
      break;
    case Phase::Over:
      break;
  }
}

// ---- lookup and exchange ----

void GetTicketCb::lookUp() {
  phase = Phase::LookingUp;
  std::unique_ptr<p2p::TicketGetRequest> request;
  try {
    const Properties* p = manager->getProperties();
    request = std::make_unique<p2p::TicketGetRequest>(p->uuid, p->username, code);
    manager->getServer()->exec(request.release(), this);
  } catch (const std::exception& e) {
    failForGood(e.what());
  }
}

void GetTicketCb::handleServerResponse(const p2p::Server::ServerResponse<p2p::TicketGetResponse>& r) {
  if (phase != Phase::LookingUp) return;
  if (r.isOk() && !r.response.uuid.empty()) {
    ticketGetResponse = r.response;
    startExchange();
    return;
  }
  const std::string reason = r.isOk() ? "ticket names no sending computer" : r.error;
  const std::string logged = "TicketGet error " + std::to_string(r.status) + " " + reason;
  if (!r.isOk() && serverVerdict(r.status, r.error) == VerifyVerdict::Unreachable) {
    // Nobody said no: the web server is away or in trouble, and may be back.
    emitTicketGet({}, reason);
    armRetry("WARN", logged, RetryFrom::Lookup);
    return;
  }
  failForGood(reason, logged);
}

void GetTicketCb::startExchange() {
  const std::string ticket = code;
  const p2p::TicketGetResponse sender = ticketGetResponse;
  ticketRecvPm = new PeerManager(manager, sender.uuid, [ticket, sender](IContext* context) {
    return new TicketRecvHandler(context, ticket, sender);
  });
  ticketRecvPm->setListener(this);
  phase = Phase::Exchanging;  // only now: a pause in this phase closes the connection
}

void GetTicketCb::takeTicketResponse(const TicketResponse& response) {
  for (const std::string& path : response.paths)
    UV_LOG("INFO") << "Receive " << Utils::printable(p2p::UvFile::getName(normalisedPath(path)));
  const std::string reason = response.reason.empty() ? "ticket refused" : Utils::printable(response.reason);
  switch (response.status) {
    case Message::OK:
      notOfferedSince.reset();
      paths.assign(response.paths.begin(), response.paths.end());
      pathsKnown = true;
      emitTicketGet(response.paths, "");
      recvNextPath();
      return;
    case Message::TIMEOUT:  // the sender could not ask the web server about us
      emitTicketGet({}, reason);
      armRetry("WARN", reason, RetryFrom::Exchange);
      return;
    case Message::NOT_FOUND:
      notOffered(reason);
      return;
    default:
      failForGood(reason, "", response.paths);
  }
}

// A sending computer started again knows its offers only once they are given back to it: it is
// asked again for a while, the web server first (which still knows whether the ticket exists).
void GetTicketCb::notOffered(const std::string& reason) {
  const uint64_t now = manager->getLoop()->now();
  if (!notOfferedSince) notOfferedSince = now;
  const uint64_t asking = now - *notOfferedSince;
  if (asking >= static_cast<uint64_t>(std::max<int64_t>(notFoundWindowMs, 0))) {
    failForGood(reason, reason + ", asked for " + std::to_string(asking / 1000) + " s");
    return;
  }
  emitTicketGet({}, reason);
  armRetry("INFO", "the sending computer does not offer it (yet)", RetryFrom::Lookup);
}

// ---- copies ----

void GetTicketCb::recvNextPath() {
  while (!paths.empty() && refusedPaths.count(paths.front()) != 0) paths.pop_front();
  if (paths.empty()) {
    if (refusedPaths.empty()) {
      UV_LOG("INFO") << logPrefix() << "every path received";
    } else {
      // Each refused path had its event; this line says why the receive is incomplete.
      UV_LOG("ERROR") << logPrefix() << refusedPaths.size() << " path(s) refused for good: " << firstRefusal
                      << (refusedPaths.size() > 1 ? " (and others)" : "");
    }
    finish();
    return;
  }
  copyPath = paths.front();
  paths.pop_front();
  const std::string target = manager->getProperties()->recvPath + "/" + p2p::UvFile::getName(normalisedPath(copyPath));
  if (!manager->busyDestinations.insert(target).second) {
    progress = CopyProgress();
    failForGood("destination busy: " + target);
    return;
  }
  destination = target;
  progress = CopyProgress();
  const std::string ticket = code;
  const std::string path = copyPath;
  const p2p::TicketGetResponse sender = ticketGetResponse;
  copyRecvPm = new PeerManager(manager, sender.uuid, [ticket, sender, path, memory = memory](IContext* context) {
    return new CopyRecvHandler(context, ticket, sender.userName, sender.uuid, path, memory);
  });
  copyRecvPm->setListener(this);
  phase = Phase::Copying;
}

void GetTicketCb::copyEnded(PeerManager* pm, const std::string& reason) {
  pm->setListener(nullptr);
  copyRecvPm = nullptr;
  releaseDestination();
  emitProgress(reason);
  // The next copy of this path is a new attempt: it says of each file whether it came or was
  // there already.
  lastCompleted.clear();
  if (pauseAsked || reason == "Paused") {
    finish();
  } else if (reason.empty()) {
    recvNextPath();
  } else if (pm->failedForGood()) {
    const std::string name = Utils::printable(p2p::UvFile::getName(normalisedPath(copyPath)));
    UV_LOG("ERROR") << "Receive " << name << " failed for good: " << Utils::printable(reason);
    if (refusedPaths.empty()) firstRefusal = name + ": " + Utils::printable(reason);
    refusedPaths.insert(copyPath);
    recvNextPath();
  } else {
    armRetry("WARN", reason, RetryFrom::Exchange);
  }
}

void GetTicketCb::releaseDestination() {
  if (destination.empty()) return;
  manager->busyDestinations.erase(destination);
  destination.clear();
}

void GetTicketCb::armRetry(const char* level, const std::string& why, RetryFrom from) {
  UV_LOG(level) << logPrefix() << Utils::printable(why)
                << (from == RetryFrom::Lookup ? ", asking the web server again in " : ", trying again in ")
                << RETRY_MS / 1000 << " s";
  retryFrom = from;
  phase = Phase::WaitingToRetry;
  if (!timer) timer = std::make_unique<p2p::UvTimer>(manager->getLoop());
  timer->start(RETRY_MS, 0, this);
}

void GetTicketCb::handleTimer() {
  if (phase != Phase::WaitingToRetry) return;
  if (retryFrom == RetryFrom::Lookup) {
    lookUp();
  } else {
    startExchange();
  }
}

// ---- what the connections report ----

void GetTicketCb::onNotify(PeerManager* pm, void* data) {
  if (pm == ticketRecvPm) {
    pm->setListener(nullptr);
    ticketRecvPm = nullptr;
    takeTicketResponse(*static_cast<const TicketResponse*>(data));
  } else if (pm == copyRecvPm) {
    progress = static_cast<const CopyProgress*>(data)->snapshot();
    logProgress();
    emitProgress(progress.getReason());
  }
}

void GetTicketCb::onClose(PeerManager* pm, const std::string& reason) {
  UV_LOG("INFO") << "onClose " << reason;
  if (pm == ticketRecvPm) {
    pm->setListener(nullptr);
    ticketRecvPm = nullptr;
    if (pauseAsked) {
      emitTicketGet({}, "Paused");
      finish();
      return;
    }
    const std::string why = reason.empty() ? "ticket exchange ended without an answer" : reason;
    emitTicketGet({}, why);
    armRetry("WARN", why, RetryFrom::Exchange);
  } else if (pm == copyRecvPm) {
    copyEnded(pm, reason);
  }
}

// ---- events and log ----

void GetTicketCb::emitTicketGet(const std::vector<std::string>& paths, const std::string& reason) {
  manager->emit(new Api::TicketGetEvent(commandId, code, paths, reason));
}

void GetTicketCb::emitProgress(const std::string& reason) {
  // The code of the receive, also before the first record of a path names it.
  CopyProgress shown = progress;
  shown.setCode(code);
  manager->emit(shown.event(commandId, ticketGetResponse.userName, manager->getProperties()->username, reason));
}

std::string GetTicketCb::logPrefix() const { return "ticket " + Utils::printable(code) + ": "; }

// One line per file that is complete, for whoever watches the console: received in this
// attempt (with its rate, from the record's own start of data: several files may be under way
// at once), or already there before it.
void GetTicketCb::logProgress() {
  const uint64_t now = manager->getLoop()->now();
  const bool receiving = progress.getState() == "Recv";
  UV_LOG("1") << progress.getFileName() << " " << progress.getState() << " " << progress.getOffset() << "/"
              << progress.getSize() << " " << progress.getRate() << " " << progress.getReason();
  if (!receiving || progress.getOffset() != progress.getSize() || !progress.getReason().empty()) return;
  if (progress.getLocalPath() == lastCompleted) return;
  lastCompleted = progress.getLocalPath();
  if (progress.getDataStart() < 0 && progress.getSize() != 0) {
    UV_LOG("INFO") << "already received " << progress.getLocalPath() << " " << progress.getSize() << " bytes";
    return;
  }
  const int64_t moved = progress.getSize() - progress.getDataStartOffset();
  const double seconds =
      progress.getDataStart() < 0 ? 0.0 : static_cast<double>(static_cast<int64_t>(now) - progress.getDataStart()) / 1000.0;
  const double mbs = seconds > 0 ? static_cast<double>(moved) / 1e6 / seconds : 0.0;
  UV_LOG("INFO") << "received " << progress.getLocalPath() << " " << progress.getSize() << " bytes"
                 << (moved < progress.getSize() ? " (resumed)" : "") << " " << mbs << " MB/s";
}

}  // namespace net
