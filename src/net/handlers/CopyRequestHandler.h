// The sending side of one copy connection, created by the first COPY_REQUEST of an accepted
// connection. It checks the request against this computer's offers and with the web server,
// lists the requested file or folder, then moves each file in two steps: the two sides agree
// on how much of it the receiver already holds (resume), and the rest goes out in FILE_WRITE
// chunks.
//
// A receiver that announces PRINT_RECEIVER_COMPARES compares by itself: it says how much it
// holds, this side sends its fingerprints of that prefix, one FILE_ACK per step, and the
// receiver answers with the resume point. Otherwise this side compares the receiver's
// fingerprints (in SHA-256 when the receiver announced PRINT_SHA256, else Fletcher64). One that
// also announces PRINT_PIPELINE gets up to PIPELINE_FILES files announced ahead of the one
// whose data flows; any other receiver gets the next file only after the final ack of the
// last. Each file in flight is a File of its own; its data is read ahead from the disk in
// pieces (at most SEND_LOADED_BYTES for all files), so that the stream never waits for a read,
// and its last chunk goes out only once the file is known unchanged since the scan.
//
// A state machine driven by one function per event: a frame arrived (handleRecv), the
// connection can send (handleSend), the web server answered, a file request completed, the
// stall timer fired. It reaches the world only through its IContext and the context's
// FilePort. An end that comes while a request is in flight (a failure, the receiver's pause)
// waits in Closing for it, then tells the receiver why and closes. Once the files are
// announced, 60 s without a word from the receiver while this side waits for it (plus 10 s per
// fingerprint step it compares) end the copy with "transfer stalled".
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "net/handlers/CopyProgress.h"
#include "net/handlers/FilePort.h"
#include "net/handlers/IHandler.h"
#include "net/messages/CopyRequest.h"
#include "net/messages/FileAck.h"
#include "net/messages/FileCreate.h"
#include "net/messages/Message.h"
#include "p2p/processes/Server.h"
#include "p2p/uv/UvTimer.h"

namespace net {

class CopyRequestHandler : public IHandler,
                           private p2p::UvFile::FileCb,
                           public p2p::Server::ServerCb<bool>,
                           private p2p::UvTimer::Cb {
 public:
  // What the connection does; while files are under way, what the oldest of them does.
  enum class State {
    Created,    // the request is served from the first pump on
    Verifying,  // the web server is asked who the receiver is
    Scanning,   // the requested path is listed
    Opening,    // the next file is being opened
    Comparing,  // the two sides find how much of the file the receiver holds
    Sending,    // chunks go out from the resume point; then the receiver's final ack
    Closing,    // ending: waits for the file requests in flight and for the reply to go out
    Done,
  };

  static constexpr int64_t STALL_MS = 60000;
  static constexpr int64_t STALL_PER_STEP_MS = 10000;
  static constexpr int STALL_CHECK_MS = 1000;

  CopyRequestHandler(IContext* context, const CopyRequest& request);
  ~CopyRequestHandler() override;

  // False while a file reads a step of the plain exchange: the receiver's next ack waits in the
  // stream.
  bool recvReady() const override;
  void handleRecv(const Message* m) override;
  void handleSend() override;
  void handleServerResponse(const p2p::Server::ServerResponse<bool>& response) override;

  State getState() const;
  // The fingerprint mode this side asks for: 2 when the receiver announced it, else 1.
  int32_t fingerprintMode() const;
  // The receiver compares by itself.
  bool receiverCompares() const;
  // Files may be announced ahead.
  bool pipelined() const;

 private:
  class File;
  struct Entry {
    std::string path;
    int64_t size = 0;
    uv_timespec_t mtime{};
  };
  enum class Phase { Created, Verifying, Scanning, Copying, Closing, Done };
  enum class Io { None, PathStat, Scan };
  struct Outgoing {
    std::unique_ptr<Message> message;
    const File* fingerprintOf = nullptr;  // dropped when that file's resume point is known
  };

  // Path results.
  void handleFileError(int status, const std::string& msg) override;
  void handleFileStats(const uv_stat_t& stats) override;
  void handleFileScan(std::deque<std::string> names, std::deque<uv_stat_t> stats) override;
  void handleTimer() override;

  template <class F>
  void guarded(F&& step);
  void advance();

  void start();
  void scanRequestedPath();
  void takePathStats(const uv_stat_t& stats);
  void announceFiles();
  void openWindow();

  void takeAck(const FileAck& ack);
  File* fileFor(const FileAck& ack) const;
  void fileDone(bool answerEnd);
  void sendData();

  // For the files.
  void queue(std::unique_ptr<Message> m, const File* fingerprintOf = nullptr);
  void dropFingerprintsOf(const File* file);
  void flushOutbox();
  bool takeCompareBudget(int64_t bytes);
  void returnCompareBudget(int64_t bytes);
  void fail(int32_t status, const std::string& reason);
  void finish();
  void closeWhenIdle();
  bool anyFileBusy() const;
  std::string relativePath(const std::string& file) const;
  // Why the receiver would refuse a name of `path` below the offered folder, or "".
  std::string unwritableBelowRoot(const std::string& path) const;
  int64_t now() const;
  void heard();

  CopyRequest request;
  IContext::Ticket ticket;
  CopyProgress progress;  // before any file: the end of a copy that found none
  Phase phase = Phase::Created;
  Io io = Io::None;

  std::string root;  // the requested folder; empty for a single file
  std::deque<Entry> files;  // listed, not yet announced
  int64_t totalSize = 0;
  int32_t totalFiles = 0;
  bool filesAnnounced = false;  // COPY_RESPONSE CONTINUE has been queued

  std::deque<std::unique_ptr<File>> window;  // announced, until their final ack, in order
  int64_t loadedBytes = 0;   // read ahead and not yet sent, for all files
  int64_t compareBytes = 0;  // buffers of the comparisons under way

  std::deque<Outgoing> outbox;  // in order, each when the send buffer is free
  std::unique_ptr<p2p::UvTimer> stallTimer;
  int64_t heardAt = 0;  // the loop's time of the last word from the receiver, or of our own work
  std::string endReason;
  bool endOk = false;
};

}  // namespace net
