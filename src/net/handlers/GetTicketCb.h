// One receive of a ticket code: looks the code up on the web server, exchanges the ticket with
// the sending computer (which yields the offered paths), then copies the paths one after
// another, one connection at a time. A failure that may pass is retried after 5000 ms, from
// the exchange on (files already received are resumed, not fetched again); a refusal is final.
// A pause ends the whole receive in any phase; receiving again is a new receive of the code.
//
// The sequence owns itself: it registers in the Manager under its code for as long as it runs
// and goes with deleteSoon when it ends. Loop thread only.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "net/handlers/CopyProgress.h"
#include "net/handlers/PeerManager.h"
#include "net/handlers/ReceiveMemory.h"
#include "p2p/processes/Server.h"
#include "p2p/requests/TicketGet.h"
#include "p2p/uv/UvTimer.h"

namespace net {

class Manager;

class GetTicketCb : public p2p::Server::ServerCb<p2p::TicketGetResponse>,
                    public PeerManager::Listener,
                    public p2p::UvTimer::Cb {
 public:
  static constexpr int RETRY_MS = 5000;

  // Starts a receive of `code`, or answers at once why it cannot.
  static void start(Manager* manager, int commandId, const std::string& code);

  // Ends the receive with "Paused", whatever it is doing.
  void pause();
  // Ends it without a word (the Manager is going).
  void abandon();

  void handleServerResponse(const p2p::Server::ServerResponse<p2p::TicketGetResponse>& r) override;
  void onNotify(PeerManager* pm, void* data) override;
  void onClose(PeerManager* pm, const std::string& reason) override;
  void handleTimer() override;

  ~GetTicketCb() override;

 private:
  enum class Phase { LookingUp, Exchanging, Copying, WaitingToRetry, Over };

  GetTicketCb(Manager* manager, int commandId, const std::string& code);

  void startExchange();
  void takeTicketResponse(const class TicketResponse& response);
  void recvNextPath();
  void copyEnded(PeerManager* pm, const std::string& reason);
  void armRetry(const std::string& reason);
  void emitTicketGet(const std::vector<std::string>& paths, const std::string& reason);
  void emitProgress(const std::string& reason);
  void logProgress();
  void releaseDestination();
  void finish();

  Manager* manager;
  int commandId;
  std::string code;
  Phase phase = Phase::LookingUp;
  std::deque<std::string> paths;            // still to copy in this round
  std::set<std::string> refusedPaths;       // refused for good: not asked again
  PeerManager* ticketRecvPm = nullptr;
  PeerManager* copyRecvPm = nullptr;
  std::string copyPath;     // the path copyRecvPm fetches
  std::string destination;  // its top-level destination, registered as busy
  std::unique_ptr<p2p::UvTimer> timer;
  p2p::TicketGetResponse ticketGetResponse;
  std::shared_ptr<ReceiveMemory> memory = std::make_shared<ReceiveMemory>();  // shared with its copies
  CopyProgress progress;  // the last record of the running path
  uint64_t fileStart = 0;   // loop time at which the current file's data began
  int64_t fileStartOffset = 0;
  std::string lastCompleted;  // the file whose completion was logged last
  bool pathsKnown = false;
  bool pauseAsked = false;
};

}  // namespace net
