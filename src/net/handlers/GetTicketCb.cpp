#include "net/handlers/GetTicketCb.h"

#include <exception>

#include "net/Api.h"
#include "net/handlers/CopyRecvHandler.h"
#include "net/handlers/CopyRules.h"
#include "net/handlers/Manager.h"
#include "net/handlers/TicketRecvHandler.h"
#include "net/messages/TicketResponse.h"
#include "p2p/uv/UvFile.h"
#include "p2p/uv/UvLog.h"
#include "p2p/uv/UvLoop.h"
#include "utils/Utils.h"

namespace net {

// ---- start and end ----

void GetTicketCb::start(Manager* manager, int commandId, const std::string& code) {
  if (code.empty()) {
    manager->emit(new Api::TicketGetEvent(commandId, code, {}, "Code is empty"));
    return;
  }
  if (manager->receives.count(code) != 0) {
    manager->emit(new Api::TicketGetEvent(commandId, code, {}, "already receiving " + code));
    return;
  }
  std::unique_ptr<p2p::TicketGetRequest> request;
  try {
    const Properties* p = manager->getProperties();
    request = std::make_unique<p2p::TicketGetRequest>(p->uuid, p->username, code);
  } catch (const std::exception& e) {
    manager->emit(new Api::TicketGetEvent(commandId, code, {}, e.what()));
    return;
  }
  auto* sequence = new GetTicketCb(manager, commandId, code);
  try {
    manager->getServer()->exec(request.release(), sequence);
  } catch (const std::exception& e) {
    sequence->emitTicketGet({}, e.what());
    delete sequence;
  }
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

void GetTicketCb::abandon() {
  phase = Phase::Over;
  delete this;
}

void GetTicketCb::pause() {
  if (phase == Phase::Over) return;
  pauseAsked = true;
  switch (phase) {
    case Phase::LookingUp:
      // The lookup in flight is dropped with this object.
      emitTicketGet({}, "Paused");
      finish();
      break;
    case Phase::Exchanging:
      ticketRecvPm->close(true, "Paused");  // onClose ends the sequence
      break;
    case Phase::Copying:
      copyRecvPm->pause();  // the receiver tells the sender; onClose ends the sequence
      break;
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

void GetTicketCb::handleServerResponse(const p2p::Server::ServerResponse<p2p::TicketGetResponse>& r) {
  if (phase != Phase::LookingUp) return;
  if (!r.isOk() || r.response.uuid.empty()) {
    const std::string reason = r.isOk() ? "ticket names no sending computer" : r.error;
    UV_LOG("ERROR") << "TicketGet error " << r.status << " " << reason;
    emitTicketGet({}, reason);
    finish();
    return;
  }
  ticketGetResponse = r.response;
  startExchange();
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
  if (response.status != Message::OK) {
    emitTicketGet(response.paths, response.reason.empty() ? "ticket refused" : response.reason);
    finish();
    return;
  }
  paths.assign(response.paths.begin(), response.paths.end());
  pathsKnown = true;
  emitTicketGet(response.paths, "");
  recvNextPath();
}

// ---- copies ----

void GetTicketCb::recvNextPath() {
  while (!paths.empty() && refusedPaths.count(paths.front()) != 0) paths.pop_front();
  if (paths.empty()) {
    if (refusedPaths.empty()) {
      UV_LOG("INFO") << "ticket " << code << ": every path received";
    } else {
      UV_LOG("ERROR") << "ticket " << code << ": " << refusedPaths.size() << " path(s) refused for good";
    }
    finish();
    return;
  }
  copyPath = paths.front();
  paths.pop_front();
  const std::string target = manager->getProperties()->recvPath + "/" + p2p::UvFile::getName(normalisedPath(copyPath));
  if (!manager->busyDestinations.insert(target).second) {
    UV_LOG("ERROR") << "destination busy: " << target;
    progress = CopyProgress();
    emitProgress("destination busy: " + target);
    finish();
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
  // The next copy of this path times its data afresh, from the offset it resumes at.
  fileStart = 0;
  fileStartOffset = 0;
  if (pauseAsked || reason == "Paused") {
    finish();
  } else if (reason.empty()) {
    recvNextPath();
  } else if (pm->failedForGood()) {
    UV_LOG("ERROR") << "Receive " << p2p::UvFile::getName(normalisedPath(copyPath)) << " failed for good: " << reason;
    refusedPaths.insert(copyPath);
    recvNextPath();
  } else {
    armRetry(reason);
  }
}

void GetTicketCb::releaseDestination() {
  if (destination.empty()) return;
  manager->busyDestinations.erase(destination);
  destination.clear();
}

void GetTicketCb::armRetry(const std::string& reason) {
  UV_LOG("ERROR") << reason;
  UV_LOG("INFO") << "retrying in 5sec";
  phase = Phase::WaitingToRetry;
  if (!timer) timer = std::make_unique<p2p::UvTimer>(manager->getLoop());
  timer->start(RETRY_MS, 0, this);
}

void GetTicketCb::handleTimer() {
  if (phase == Phase::WaitingToRetry) startExchange();
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
    armRetry(why);
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
  shown.fileInit("", code, "", "", progress.getFileName(), progress.getLocalPath(), progress.getSize(),
                 progress.getOffset());
  manager->emit(shown.event(commandId, ticketGetResponse.userName, manager->getProperties()->username, reason));
}

// One line per file that is complete, for whoever watches the console.
void GetTicketCb::logProgress() {
  const uint64_t now = manager->getLoop()->now();
  const bool receiving = progress.getState() == "Recv";
  if (receiving && progress.getOffset() < progress.getSize() && fileStart == 0) {
    fileStart = now;
    fileStartOffset = progress.getOffset();
  }
  UV_LOG("1") << progress.getFileName() << " " << progress.getState() << " " << progress.getOffset() << "/"
              << progress.getSize() << " " << progress.getRate() << " " << progress.getReason();
  if (!receiving || progress.getOffset() != progress.getSize() || !progress.getReason().empty()) return;
  if (progress.getLocalPath() == lastCompleted) return;
  lastCompleted = progress.getLocalPath();
  const int64_t moved = progress.getSize() - fileStartOffset;
  const double seconds = fileStart == 0 ? 0.0 : static_cast<double>(now - fileStart) / 1000.0;
  const double mbs = seconds > 0 ? static_cast<double>(moved) / 1e6 / seconds : 0.0;
  UV_LOG("INFO") << "received " << progress.getLocalPath() << " " << progress.getSize() << " bytes"
                 << (moved < progress.getSize() ? " (resumed)" : "") << " " << mbs << " MB/s";
  fileStart = 0;
  fileStartOffset = 0;
}

}  // namespace net
