// One file of a copy sender, from its announcement to the receiver's final ack: the comparison
// that finds its resume point, its data read ahead in pieces, its chunks. Its own file requests
// report to it; it tells its handler what to send and when it failed, and never ends the
// handler itself. At most one request of its own is in flight.
#pragma once

#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "net/handlers/CopyRequestHandler.h"
#include "net/handlers/CopyRules.h"
#include "p2p/uv/UvLog.h"

class Checksum;

namespace net {

class CopyRequestHandler::File : private p2p::UvFile::FileCb {
 public:
  enum class Phase {
    Opening,    // opened before it is announced (one file at a time)
    Announced,  // waits for the receiver's first word on it
    Comparing,  // finds how much of it the receiver holds
    Decided,    // the resume point is known; its data is read ahead
    Sending,    // its resume point went out, its chunks go
    Sent,       // every chunk went out; the receiver's final ack is awaited
    Done,
  };

  File(CopyRequestHandler& owner, Entry entry, int32_t remainingFiles);
  ~File() override;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  void start();
  Phase phase() const { return current; }
  bool busy() const { return io != Io::None; }
  bool readsPlainStep() const { return io == Io::Read && current == Phase::Comparing && !owner.receiverCompares(); }
  bool named(const std::string& path, const std::string& name) const;
  int64_t extraAllowance() const;
  bool isLast() const { return remainingFiles == 0; }

  void takeAck(const FileAck& ack);
  void proceed();
  void stop() { stopped = true; }
  // The data path, in the order of the files: the resume point, then the chunks.
  bool decisionDue() const;
  void sendDecision();
  bool sendChunk();
  void receiverHasIt();
  bool isFinal(const FileAck& ack) const {
    return current == Phase::Sent && ack.bytesWritten == entry.size && ack.fingerprintLength == entry.size &&
           ack.fingerprint == 0;
  }
  // The copy ended before this file did: its progress says why.
  void reportEnd(const std::string& reason) { progress.fileEnd(reason); }

 private:
  enum class Io { None, Open, Read, Load, Stat };
  struct Piece {
    explicit Piece(int32_t size) : bytes(new char[static_cast<size_t>(size)]), size(size) {}
    std::unique_ptr<char[]> bytes;
    int32_t size;
    int32_t filled = 0;
  };

  void handleFileOpen() override;
  void handleFileError(int status, const std::string& msg) override;
  void handleFileRead(char* bytes, int len) override;
  void handleFileStats(const uv_stat_t& stats) override;

  template <class F>
  void completion(F&& step);
  void open();
  void announce();
  std::unique_ptr<FileCreate> announcement(int32_t sync) const;

  void takeFingerprintAck(const FileAck& ack);
  void readStep();
  void compareStep(int len);
  void takeComparisonAck(const FileAck& ack);
  void readOwnStep();
  void sendOwnStep(int len);
  void releaseCompareBuffer();
  void decide(int64_t resume);

  void load();
  void takeLoaded(int len);
  void checkUnchanged(const uv_stat_t& stats);

  void fail(int32_t status, const std::string& reason);
  int64_t shownOffset(int64_t value) const;
  IContext* context() const { return owner.context; }
  std::string name() const;

  CopyRequestHandler& owner;
  Entry entry;
  int32_t remainingFiles;
  CopyProgress progress;
  Phase current = Phase::Opening;
  Io io = Io::None;
  bool stopped = false;
  std::unique_ptr<FilePort::File> file;
  bool opened = false;

  // Comparing.
  FileAck syncAck;  // the receiver's fingerprint ack being checked
  std::unique_ptr<Checksum> checksum;
  std::shared_ptr<std::vector<int8_t>> compareBuffer;
  int64_t budgeted = 0;
  int64_t compared = 0;  // the prefix compared so far
  int64_t stepStart = 0;
  int64_t stepLength = 0;
  int64_t stepRead = 0;
  int64_t heldByReceiver = -1;  // what it said it holds; -1 until it has
  int64_t answer = -1;          // the receiver's resume point, taken once the step read ends

  // Sending.
  int64_t resumeAt = -1;
  bool decisionSent = false;
  int64_t loadedEnd = 0;  // the data read ahead reaches here
  int64_t sentEnd = 0;    // the chunks sent reach here
  std::deque<std::shared_ptr<Piece>> pieces;
  size_t frontUsed = 0;   // bytes of the front piece already sent
  bool unchanged = false;  // the file was found as the scan left it, after its last piece was read
};

// Whatever a step throws ends this copy with the text, as a failure the receiver is told of;
// then every file moves on by itself.
template <class F>
void CopyRequestHandler::guarded(F&& step) {
  try {
    step();
  } catch (const std::exception& e) {
    UV_LOG("WARN") << handlerName << ": " << e.what();
    fail(Message::UNEXPECTED_ERROR, e.what());
  }
  advance();
  context->recvReadyAgain();  // a completed request may have made room for the next frame
}

}  // namespace net
