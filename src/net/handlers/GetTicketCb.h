// One receive of a ticket code: looks the code up on the web server, exchanges the ticket with
// the sending computer (which yields the offered paths), then copies the paths one after
// another, one connection at a time. A failure that may pass is retried after 5000 ms: a web
// server that cannot be reached or fails from the lookup on, everything else from the exchange
// on (files already received are resumed, not fetched again). A sending computer that does not
// offer the code (yet: it may just have been started again) is asked again, from the lookup on,
// for NOT_FOUND_WINDOW_MS. A refusal is final, and every final end says why, in one console line
// and in the event. A pause ends the whole receive in any phase; receiving again is a new
// receive of the code.
//
// The sequence owns itself: it registers in the Manager under its code for as long as it runs
// and goes with deleteSoon when it ends. Loop thread only.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
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
  static constexpr int64_t NOT_FOUND_WINDOW_MS = 120000;
  // The window in force (tests shorten it).
  static inline int64_t notFoundWindowMs = NOT_FOUND_WINDOW_MS;

  // Starts a receive of `code`, or answers at once why it cannot.
  static void start(Manager* manager, int commandId, const std::string& code);

  // Ends the receive with "Paused", whatever it is doing.
  void pause();
  // Ends it without a word (the Manager is going, and flushes the deletions it causes).
  void abandon();

  void handleServerResponse(const p2p::Server::ServerResponse<p2p::TicketGetResponse>& r) override;
  void onNotify(PeerManager* pm, void* data) override;
  void onClose(PeerManager* pm, const std::string& reason) override;
  void handleTimer() override;

  ~GetTicketCb() override;

 private:
  enum class Phase { LookingUp, Exchanging, Copying, WaitingToRetry, Over };
  // Where a retry starts.
  enum class RetryFrom { Lookup, Exchange };

  GetTicketCb(Manager* manager, int commandId, const std::string& code);

  void lookUp();
  void startExchange();
  void takeTicketResponse(const class TicketResponse& response);
  void notOffered(const std::string& reason);
  void recvNextPath();
  void copyEnded(PeerManager* pm, const std::string& reason);
  void armRetry(const char* level, const std::string& why, RetryFrom from);
  // The end of the receive for a reason that trying again will not mend: one line (`logged`, or
  // the reason) and the event, then the sequence goes.
  void failForGood(const std::string& reason, const std::string& logged = "",
                   const std::vector<std::string>& offered = {});
  void emitTicketGet(const std::vector<std::string>& paths, const std::string& reason);
  void emitProgress(const std::string& reason);
  void logProgress();
  std::string logPrefix() const;
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
  RetryFrom retryFrom = RetryFrom::Exchange;
  std::optional<uint64_t> notOfferedSince;  // loop time of the first "not offered" of a row
  p2p::TicketGetResponse ticketGetResponse;
  std::shared_ptr<ReceiveMemory> memory = std::make_shared<ReceiveMemory>();  // shared with its copies
  CopyProgress progress;  // the last record of the running path
  // Where the current file's data began in this attempt: loop time and offset. None while no
  // record of it has shown data still to come.
  std::string lastCompleted;  // the file whose completion was logged last
  std::string firstRefusal;   // the first path refused for good, and why
  bool pathsKnown = false;
  bool pauseAsked = false;
};

}  // namespace net
