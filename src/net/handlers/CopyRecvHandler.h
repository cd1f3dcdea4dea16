// The receiving side of one copy connection: fetches one offered path (a file or a folder tree)
// into the receive folder, resuming what an earlier attempt left.
//
// Per file the sender announces it, this side looks for a copy it holds (the temporary name
// ".tmp.<name>" first, then the final name), the two sides agree on how much of it is the
// file's own prefix, and the sender sends the rest. What a sender learns of the files here is
// bounded, since it may name any file of the receive folder:
//  - In the plain exchange (FILE_CREATE sync 1) this side reports fingerprints, one FILE_ACK per
//    step of 10,000,000 bytes, and the sender answers with the resume point. Only whole steps
//    of a temporary file are reported (a file under one step gives nothing), and a final-name
//    file only when this receive completed it itself; anything else counts as not held.
//  - In the receiver's comparison (sync 2, for a sender that saw PRINT_RECEIVER_COMPARES) this
//    side says how much it holds, the sender sends its own fingerprints of that prefix and this
//    side answers with the resume point alone. It is the only exchange that compares any
//    final-name file; a path whose sender keeps ending after the answer without sending data
//    is refused for good (ReceiveMemory).
// A held copy longer than the announced file, or a symbolic link, is not held. Data always
// goes to the temporary name (opened without following a link: a link there is removed), is
// flushed to the disk and then replaces the final name by a rename, whose folder is flushed
// before the file is acknowledged: a final-name file is never half-written, also not after a
// power loss (a matching prefix of a final-name file is copied to the temporary name first).
//
// Everything from the sender is checked before use: names must stay under the receive folder
// and below the requested path's own name, numbers must be sane. A refusal is final
// (failedForGood), as are the sender's refusals (NOT_FOUND, END before any file, permission)
// and a receive folder that cannot be written (permission, read-only). A copy that waits for
// the sender and hears nothing for 60 s (plus 10 s per fingerprint step while the sender
// compares) ends with "transfer stalled".
//
// A state machine driven by one function per event: a frame arrived, the connection can send,
// a file request completed, the stall timer fired, pause. It reaches the world only through
// its IContext, the context's FilePort and the loop's clock. At most one file request is in
// flight; a pause or failure that comes meanwhile takes effect when it completes.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "net/handlers/CopyProgress.h"
#include "net/handlers/FilePort.h"
#include "net/handlers/IHandler.h"
#include "net/handlers/ReceiveMemory.h"
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
    Comparing,       // reading the held copy against the sender's fingerprints of its steps
    AwaitingData,    // waiting for the sender's resume point (FILE_CREATE sync 0)
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

  // `memory` is the receive's, shared by the connections of its paths (a fresh one when null).
  CopyRecvHandler(IContext* context, const std::string& ticket, const std::string& username, const std::string& uuid,
                  const std::string& path, std::shared_ptr<ReceiveMemory> memory = nullptr);
  ~CopyRecvHandler() override;

  bool recvReady() const override;
  void handleRecv(const Message* m) override;
  void handleSend() override;
  void pause() override;
  // The stall check, every STALL_CHECK_MS while the copy runs.
  void handleTimer() override;

  State getState() const { return state; }

 private:
  enum class Io { None, Exists, Remove, Open, Read, Write, Truncate, Mkdirs, Flush, Rename, FlushFolder };
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
  void handleFileFlush(const uv_stat_t& stats) override;
  void handleFileRemove() override;

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
  void lookAtFinalName();
  void chooseHeld();
  void openHeld();
  void startFingerprints();
  void startComparing();
  void readStep();
  void takeStep(int len);
  void queueFingerprintAck();
  void takePeerStep(const FileAck& step);
  void compareSteps();
  void answerResume(int64_t resume);
  int64_t stepCount() const;
  int64_t stepEnd(size_t step) const;
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
  void renameWhole(const uv_stat_t& flushed);
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
  std::shared_ptr<ReceiveMemory> memory;
  std::set<std::string> announcedHere;  // final names announced on this connection
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
  int64_t tempLength = -1;   // of a regular file under the temporary name; -1: none
  int64_t finalLength = -1;  // the same under the final name
  uv_stat_t finalStats{};
  uv_stat_t flushedStats{};  // of the temporary file once its data was on the disk
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
  // The receiver's comparison: the held copy's step values and the sender's, in step order.
  bool receiverCompares = false;
  std::vector<int64_t> ownSteps;
  std::vector<int64_t> peerSteps;
  size_t matched = 0;     // steps found equal
  int64_t answered = -1;  // the resume point this side answered; -1: none yet

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
