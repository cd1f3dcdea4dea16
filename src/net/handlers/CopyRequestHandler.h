// The sending side of one copy connection, created by the first COPY_REQUEST of an accepted
// connection. It checks the request against this computer's offers and with the web server,
// lists the requested file or folder, then moves each file in two steps: the receiver's
// fingerprints of what it already holds are compared with the file's own prefix (resume), and
// the rest goes out in FILE_WRITE chunks read straight into the connection's send buffer.
//
// A receiver that announces PRINT_RECEIVER_COMPARES compares by itself: it says how much it
// holds, this side sends its fingerprints of that prefix, one FILE_ACK per step, and the
// receiver answers with the resume point. Otherwise this side compares the receiver's
// fingerprints (in SHA-256 when the receiver announced PRINT_SHA256, else Fletcher64).
//
// A state machine driven by one function per event: a frame arrived (handleRecv), the
// connection can send (handleSend), the web server answered, a file request completed, the
// stall timer fired. It reaches the world only through its IContext and the context's
// FilePort. At most one file request is in flight; an end that comes while one is (a failure,
// the receiver's pause) waits in Closing for it, then tells the receiver why and closes. Once
// the files are announced, 60 s without a word from the receiver while this side waits for it
// (plus 10 s per fingerprint step it compares) end the copy with "transfer stalled".
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "net/handlers/CopyProgress.h"
#include "net/handlers/FilePort.h"
#include "net/handlers/IHandler.h"
#include "net/messages/CopyRequest.h"
#include "net/messages/FileAck.h"
#include "net/messages/FileCreate.h"
#include "net/messages/Message.h"
#include "p2p/processes/Server.h"
#include "p2p/uv/UvTimer.h"

class Checksum;

namespace net {

class CopyRequestHandler : public IHandler,
                           private p2p::UvFile::FileCb,
                           public p2p::Server::ServerCb<bool>,
                           private p2p::UvTimer::Cb {
 public:
  enum class State {
    Created,    // the request is served from the first pump on
    Verifying,  // the web server is asked who the receiver is
    Scanning,   // the requested path is listed
    Opening,    // the next file is being opened
    Comparing,  // the receiver's fingerprints are checked against the file's prefix
    Sending,    // chunks go out from the resume point; then the receiver's final ack
    Closing,    // ending: waits for the file request in flight and for the reply to go out
    Done,
  };

  static constexpr int64_t STALL_MS = 60000;
  static constexpr int64_t STALL_PER_STEP_MS = 10000;
  static constexpr int STALL_CHECK_MS = 1000;

  CopyRequestHandler(IContext* context, const CopyRequest& request);
  ~CopyRequestHandler() override;

  // False while a fingerprint step is being read: the receiver's next ack waits in the stream.
  bool recvReady() const override;
  void handleRecv(const Message* m) override;
  void handleSend() override;
  void handleServerResponse(const p2p::Server::ServerResponse<bool>& response) override;

  State getState() const { return state; }
  // The fingerprint mode this side asks for: 2 when the receiver announced it, else 1.
  int32_t fingerprintMode() const;
  // The receiver compares by itself.
  bool receiverCompares() const;

 private:
  struct Entry {
    std::string path;
    int64_t size = 0;
    uv_timespec_t mtime{};
  };
  // A chunk read fills the send buffer itself, which nothing else may touch meanwhile.
  enum class Io { None, PathStat, Scan, Open, Read, ChunkRead, FileStat };

  // File results.
  void handleFileOpen() override;
  void handleFileError(int status, const std::string& msg) override;
  void handleFileRead(char* bytes, int len) override;
  void handleFileStats(const uv_stat_t& stats) override;
  void handleFileScan(std::deque<std::string> names, std::deque<uv_stat_t> stats) override;
  void handleTimer() override;

  template <class F>
  void guarded(F&& step);
  Io completed();
  std::unique_ptr<FileCreate> announcement(int32_t sync) const;

  void start();
  void scanRequestedPath();
  void takePathStats(const uv_stat_t& stats);
  void announceFiles();
  void openNextFile();

  void takeAck(const FileAck& ack);
  void takeFingerprintAck(const FileAck& ack);
  void takeComparisonAck(const FileAck& ack);
  void readOwnStep();
  void sendOwnStep(int len);
  void readFingerprintStep();
  void compareStep(int len);
  void startSending(int64_t resumeAt);
  void announceData();
  void sendNextChunk();
  void readChunk();
  void takeChunk(int len);
  void sendChunk();
  void checkUnchanged(const uv_stat_t& stats);
  bool isFinalAck(const FileAck& ack) const;
  // The receiver has the whole file; its END after the last file is answered with an END.
  void fileDone(bool answerEnd);

  void queue(std::unique_ptr<Message> m);
  void flushOutbox();
  void fail(int32_t status, const std::string& reason);
  void finish();
  void closeWhenIdle();
  std::string relativePath(const std::string& file) const;
  // Why the receiver would refuse a name of `path` below the offered folder, or "".
  std::string unwritableBelowRoot(const std::string& path) const;
  int64_t shownOffset(int64_t offset) const;
  int64_t now() const;
  void heard(int64_t allowance = STALL_MS);

  CopyRequest request;
  IContext::Ticket ticket;
  CopyProgress progress;
  State state = State::Created;
  Io io = Io::None;

  std::string root;  // the requested folder; empty for a single file
  std::deque<Entry> files;
  int64_t totalSize = 0;
  bool filesAnnounced = false;  // COPY_RESPONSE CONTINUE has been queued

  // The current file.
  Entry current;
  std::unique_ptr<FilePort::File> file;
  int64_t offset = 0;  // compared so far, then the next byte to send

  // Comparing.
  FileAck syncAck;  // the fingerprint ack being checked
  std::unique_ptr<Checksum> checksum;
  std::shared_ptr<std::vector<int8_t>> compareBuffer;
  int64_t stepStart = 0;
  int64_t stepLength = 0;
  int64_t stepRead = 0;

  // Sending.
  int64_t chunkStart = 0;
  int32_t chunkLength = 0;
  int32_t chunkRead = 0;

  // The receiver's comparison.
  int64_t heldByReceiver = -1;  // what it said it holds; -1 until it has
  bool lastChunkWaits = false;  // read, held back until the file is known unchanged
  bool allSent = false;         // the whole file is out; only the final ack is missing

  std::deque<std::unique_ptr<Message>> outbox;  // in order, each when the send buffer is free
  std::unique_ptr<p2p::UvTimer> stallTimer;
  int64_t heardAt = 0;  // the loop's time of the last word from the receiver, or of our own work
  int64_t stallAllowance = STALL_MS;
  std::string endReason;
  bool endOk = false;
};

}  // namespace net
