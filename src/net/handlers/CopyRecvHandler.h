// The receiving side of one copy connection: fetches one offered path (a file or a folder tree)
// into the receive folder, resuming what an earlier attempt left.
//
// Per file: the sender announces it (FILE_CREATE sync 1); this side looks for a copy it holds
// (the temporary name ".tmp.<name>" first, then the final name) and reports fingerprints of its
// growing prefix, one FILE_ACK per step of at most 10,000,000 bytes; the sender answers with
// the resume point (FILE_CREATE sync 0) and the data from there. Data is always written under
// the temporary name, which replaces the final name by a rename once the file is whole: a
// final-name file is never half-written (a matching prefix of it is copied to the temporary
// name first), and an interrupted file leaves at most its temporary file, resumed next time.
//
// Everything from the sender is checked before use: names must stay under the receive folder
// and below the requested path's own name, numbers must be sane. A refusal is final
// (failedForGood), as are the sender's refusals (NOT_FOUND, END before any file, permission).
// A copy that waits for the sender and hears nothing for 60 s (plus 10 s per fingerprint step
// while the sender compares) ends with "transfer stalled".
//
// A state machine driven by one function per event: a frame arrived, the connection can send,
// a file request completed, the stall timer fired, pause. It reaches the world only through
// its IContext, the context's FilePort and the loop's clock. At most one file request is in
// flight; a pause or failure that comes meanwhile takes effect when it completes.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "net/handlers/CopyProgress.h"
#include "net/handlers/FilePort.h"
#include "net/handlers/IHandler.h"
#include "net/messages/FileCreate.h"
#include "net/messages/Message.h"
#include "p2p/uv/UvTimer.h"

class Checksum;

namespace net {

class CopyResponse;
class FileAck;
class FileWrite;

class CopyRecvHandler : public IHandler, private p2p::UvFile::FileCb, public p2p::UvTimer::Cb {
 public:
  enum class State {
    Created,         // waiting for the connection
    Requesting,      // COPY_REQUEST sent; waiting for COPY_RESPONSE
    AwaitingFile,    // waiting for the next FILE_CREATE (sync 1)
    Locating,        // looking for a copy held under the temporary or the final name
    Fingerprinting,  // reading the held copy step by step, one ack per step
    AwaitingData,    // every ack is out; waiting for the sender's resume point (FILE_CREATE sync 0)
    Preparing,       // the temporary file is made ready at the resume point
    Receiving,       // FILE_WRITE data is written at the next offset
    Finishing,       // the whole file gets its final name
    Closing,         // ending: waits for the file request in flight and for what is queued
    Done,
  };

  static constexpr int64_t STALL_MS = 60000;
  static constexpr int64_t STALL_PER_STEP_MS = 10000;  // the sender reads each step before it answers
  static constexpr int64_t ACK_PERIOD_MS = 2000;
  static constexpr int STALL_CHECK_MS = 1000;

  CopyRecvHandler(IContext* context, const std::string& ticket, const std::string& username, const std::string& uuid,
                  const std::string& path);
  ~CopyRecvHandler() override;

  bool recvReady() const override;
  void handleRecv(const Message* m) override;
  void handleSend() override;
  void pause() override;
  // The stall check, every STALL_CHECK_MS while the copy runs.
  void handleTimer() override;

  State getState() const { return state; }

 private:
  enum class Io { None, Exists, Open, Read, Write, Truncate, Mkdirs, Rename };
  enum class Held { None, Temp, Final };
  enum class Opening { Held, PrefixSource, Target };
  enum class Looking { Temp, Final };

  // File results.
  void handleFileOpen() override;
  void handleFileError(int status, const std::string& msg) override;
  void handleFileRead(char* bytes, int len) override;
  void handleFileWrite(char* bytes, int len) override;
  void handleFileExists(bool exists, const uv_stat_t& stats) override;
  void handleFileMkdirs() override;
  void handleFileTruncate() override;
  void handleFileRename() override;

  template <class F>
  void guarded(F&& step);
  bool completed();
  void advance();

  void sendRequest();
  void takeCopyResponse(const CopyResponse& response);
  void takeSenderAck(const FileAck& ack);
  void takeAnnouncement(const FileCreate& create);
  std::string checkNames(const FileCreate& create);
  void takeExists(bool exists, const uv_stat_t& stats);
  void openHeld();
  void startFingerprints();
  void readStep();
  void takeStep(int len);
  void queueFingerprintAck();
  void takeDecision(const FileCreate& decision);
  void prepareTarget();
  void openTarget();
  void copyPrefix();
  void takePrefixRead();
  void startReceiving();
  void takeFileWrite(const FileWrite& write);
  void takeWritten(int len);
  void sendProgressAck();
  void finishFile();
  void fileComplete();

  std::unique_ptr<FileAck> fileAck(int32_t status) const;
  void queue(std::unique_ptr<Message> m, bool fingerprint = false);
  void flushOutbox();
  void refuse(const std::string& reason);
  void fail(const std::string& reason);
  void close(const std::string& reason, bool ok);
  void closeWhenIdle();
  bool waitingForPeer() const;
  void waitForPeer(int64_t allowanceMs = STALL_MS);
  int64_t now() const;
  int64_t shownOffset(int64_t value) const;

  // Who and what.
  std::string ticket;
  std::string username;  // the sender's user name
  std::string uuid;      // the sender's computer
  std::string path;      // the path on the sending computer
  std::string requestedName;
  std::string receiveFolder;
  CopyProgress progress;

  State state = State::Created;
  Io io = Io::None;
  std::unique_ptr<p2p::UvTimer> stallTimer;
  int64_t waitSince = 0;
  int64_t waitAllowance = STALL_MS;

  // The current file.
  FileCreate announced;  // its FILE_CREATE sync 1
  std::string finalPath;
  std::string tempPath;
  Looking looking = Looking::Temp;
  Held held = Held::None;
  int64_t heldLength = 0;   // bytes held under that name
  int64_t compareSize = 0;  // of them, the ones compared: at most the file's size
  std::unique_ptr<FilePort::File> source;  // the held copy, read for fingerprints or its prefix
  std::unique_ptr<FilePort::File> target;  // the temporary file being written
  Opening opening = Opening::Held;

  // Fingerprints.
  std::unique_ptr<Checksum> checksum;
  std::shared_ptr<std::vector<int8_t>> buffer;  // a step, or a piece of the prefix being copied
  int64_t fingerprinted = 0;
  int64_t stepLength = 0;
  int64_t stepRead = 0;
  int64_t stepsReported = 0;

  // Writing.
  int64_t resumeAt = 0;
  int64_t copied = 0;        // of the prefix copied from the final name
  int32_t pieceLength = 0;   // of the prefix piece in hand
  int64_t written = 0;       // next byte of the file to write
  bool acked = false;        // a progress ack went out for this file
  int64_t ackTime = 0;
  bool finished = false;     // finishing the file happens once

  // In order, each when the send buffer is free; fingerprint acks are marked.
  std::deque<std::pair<std::unique_ptr<Message>, bool>> outbox;
  size_t queuedFingerprintAcks = 0;
  bool pauseAsked = false;
  std::string endReason;
  bool endOk = false;
};

}  // namespace net
