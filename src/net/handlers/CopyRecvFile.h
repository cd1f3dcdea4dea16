// One file of a copy receiver, from its announcement to its final ack: where it goes, what is
// held of it, the comparison, the data written behind and the rename. Its own file requests
// report to it; it tells its handler what to send and when it failed, and never ends the
// handler itself. At most one request of its own is in flight.
#pragma once

#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "net/handlers/CopyRecvHandler.h"
#include "net/handlers/CopyRules.h"
#include "net/messages/FileAck.h"
#include "net/messages/FileCreate.h"
#include "p2p/uv/UvLog.h"

class Checksum;

namespace net {

class CopyRecvHandler::File : private p2p::UvFile::FileCb {
 public:
  enum class Phase {
    Locating,          // the temporary name, then the final name, looked at
    Fingerprinting,    // the sender's comparison: the held steps read, one ack each
    Comparing,         // the receiver's comparison: the held steps against the sender's
    AwaitingDecision,  // the resume point is the sender's to give
    Preparing,         // the temporary file made ready at the resume point
    Receiving,         // data comes in and is written behind
    Finishing,         // flushed, renamed, its folder flushed
    Complete,          // whole under its final name: the final ack may go
  };

  File(CopyRecvHandler& owner, const FileCreate& announced, std::string finalPath, std::string tempPath);
  ~File() override;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  void start();
  Phase phase() const { return current; }
  const FileCreate& announcement() const { return announced; }
  bool receiverCompares() const { return announced.sync == SYNC_RECEIVER_COMPARES; }
  bool decided() const { return resumeAt >= 0; }
  // Every byte of its data has come (it may still be on its way to the disk).
  bool dataIn() const { return decided() && received == announced.size; }
  // A request of its own is in flight.
  bool busy() const { return io != Io::None; }
  // How long the sender may be silent while this file waits for it, beyond the usual.
  int64_t extraAllowance() const;

  void takePeerStep(const FileAck& step);
  void takeDecision(const FileCreate& decision);
  void takeData(const FileWrite& write);
  // What may go on by itself now: the next step, the next write.
  void proceed();
  // Ending: nothing new is started but the data already in goes to the disk, and a whole file
  // still gets its final name.
  void stop();
  void folderFlushed();
  void folderFlushFailed(const std::string& msg);
  std::unique_ptr<FileAck> finalAck() const;
  // The copy ended before this file did: its progress says why.
  void reportEnd(const std::string& reason) { progress.fileEnd(reason); }

 private:
  enum class Io { None, Exists, Remove, Open, Read, Write, Truncate, Mkdirs, Flush, Rename, FlushFolder };
  enum class Held { None, Temp, Final };
  enum class Opening { Held, PrefixSource, Target };
  enum class Looking { Temp, Final };

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
  void completion(F&& step);

  void takeExists(bool exists, const uv_stat_t& stats);
  void lookAtFinalName();
  void chooseHeld();
  void openHeld();
  void startFingerprints();
  void startComparing();
  void readStep();
  void takeStep(int len);
  void queueFingerprintAck();
  void compareSteps();
  void answerResume(int64_t resume);
  int64_t stepCount() const;
  int64_t stepEnd(size_t step) const;
  void releaseCompareBuffer();

  void prepareTarget();
  void openTarget();
  void copyPrefix();
  void takePrefixRead();
  void startReceiving();
  void writeBehind();
  void takeWritten(int len);
  void sendProgressAck();
  void finishFile();
  void renameWhole(const uv_stat_t& flushed);
  void becomeComplete();

  std::unique_ptr<FileAck> fileAck(int32_t status) const;
  void refuse(const std::string& reason);
  void fail(const std::string& reason);
  int64_t shownOffset(int64_t value) const;
  IContext* context() const { return owner.context; }

  CopyRecvHandler& owner;
  FileCreate announced;
  std::string finalPath;
  std::string tempPath;
  CopyProgress progress;
  Phase current = Phase::Locating;
  Io io = Io::None;
  bool stopped = false;  // ending: nothing new starts
  bool broken = false;   // a write failed: what is buffered is not written any more

  // What is held.
  Looking looking = Looking::Temp;
  int64_t tempLength = -1;   // of a regular file under the temporary name; -1: none
  int64_t finalLength = -1;  // the same under the final name
  uv_stat_t finalStats{};
  uv_stat_t flushedStats{};  // of the temporary file once its data was on the disk
  Held held = Held::None;
  int64_t heldLength = 0;   // bytes held under that name
  int64_t compareSize = 0;  // of them, the ones compared
  std::unique_ptr<FilePort::File> source;  // the held copy, read for fingerprints or its prefix
  std::unique_ptr<FilePort::File> target;  // the temporary file being written
  Opening opening = Opening::Held;
  bool awaitsBudget = false;  // its comparison waits for the handler's budget

  // Fingerprints.
  std::unique_ptr<Checksum> checksum;
  std::shared_ptr<std::vector<int8_t>> buffer;  // a step, or a piece of the prefix being copied
  int64_t budgeted = 0;                         // of the handler's comparison budget
  int64_t fingerprinted = 0;
  int64_t stepLength = 0;
  int64_t stepRead = 0;
  int64_t stepsReported = 0;
  size_t queuedFingerprintAcks = 0;
  std::vector<int64_t> ownSteps;
  std::vector<int64_t> peerSteps;
  size_t matched = 0;     // steps found equal
  int64_t answered = -1;  // the resume point this side answered; -1: none yet

  // Writing.
  int64_t resumeAt = -1;  // the sender's resume point; -1: not known yet
  int64_t copied = 0;     // of the prefix copied from the final name
  int32_t pieceLength = 0;
  int64_t received = 0;  // next byte of the file to come
  int64_t written = 0;   // next byte of the file to reach the disk
  bool targetReady = false;
  // Data in, not yet written: pieces of at most DISK_PIECE bytes, the front one written first.
  struct Piece {
    Piece(int32_t size, std::shared_ptr<PieceStore> store);
    ~Piece();
    std::unique_ptr<char[]> bytes;
    int32_t size;
    int32_t filled = 0;
    std::shared_ptr<PieceStore> store;  // where a whole piece's memory goes back to
  };
  std::deque<std::shared_ptr<Piece>> pieces;
  int32_t writing = 0;  // bytes of the write in flight
  bool acked = false;   // a progress ack went out for this file
  int64_t ackTime = 0;
};

// Whatever a step throws ends this copy with the text; then every file moves on by itself.
template <class F>
void CopyRecvHandler::guarded(F&& step) {
  try {
    step();
  } catch (const std::exception& e) {
    UV_LOG("WARN") << handlerName << ": " << e.what();
    fail(e.what());
  }
  advance();
  context->recvReadyAgain();  // a write that completed may have made room for the next frame
}

}  // namespace net
