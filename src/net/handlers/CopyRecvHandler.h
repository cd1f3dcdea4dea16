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
// Pipeline (PRINT_PIPELINE): a sender in the receiver's comparison may announce up to
// PIPELINE_FILES files ahead of the one whose data flows. Each announced file is a File of its
// own, from its announcement to its final ack: it looks for its held copy, answers and gets
// ready while earlier files are still written. Resume points come in the order of the
// announcements, the data of one file after its resume point; data is copied out of the
// frames and written behind (at most RECEIVE_BUFFERED_BYTES waiting for the disk), so the
// stream never waits for a write. Final acks go out in the order of the announcements. A
// sender in the plain exchange announces the next file only after the final ack of the last.
//
// Everything from the sender is checked before use: names must stay under the receive folder
// and below the requested path's own name, numbers must be sane, the pipeline's order and
// bounds kept. A refusal is final (failedForGood), as are the sender's refusals (NOT_FOUND,
// END before any file, permission) and a receive folder that cannot be written. A copy that
// waits for the sender and hears nothing for 60 s (plus 10 s per fingerprint step while the
// sender compares) ends with "transfer stalled". Ending waits for every file request in
// flight: data already in is written, and a whole file still gets its final name.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
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

namespace net {

class CopyResponse;
class FileAck;
class FileWrite;

class CopyRecvHandler : public IHandler, public p2p::UvTimer::Cb {
 public:
  // What the connection does; while files are under way, what the oldest of them does.
  enum class State {
    Created,         // waiting for the connection
    Requesting,      // COPY_REQUEST sent; waiting for COPY_RESPONSE
    AwaitingFile,    // waiting for the next FILE_CREATE
    Locating,        // looking for a copy held under the temporary or the final name
    Fingerprinting,  // reading the held copy step by step, one ack per step
    Comparing,       // reading the held copy against the sender's fingerprints of its steps
    AwaitingData,    // waiting for the sender's resume point (FILE_CREATE sync 0)
    Preparing,       // the temporary file is made ready at the resume point
    Receiving,       // FILE_WRITE data is written at the next offset
    Finishing,       // the whole file gets its final name
    Closing,         // ending: waits for the file requests in flight and for what is queued
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

  State getState() const;
  // Files announced and not yet acknowledged whole.
  size_t filesUnderWay() const { return window.size(); }

 private:
  class File;
  class FolderFlush;
  // Memory of whole pieces given back, so that a big file does not fault in fresh pages for
  // every piece. Shared with the pieces, which may outlive the handler in a request's hold.
  struct PieceStore {
    static constexpr size_t KEPT = 24;
    std::vector<std::unique_ptr<char[]>> free;
  };
  enum class Phase { Created, Requesting, Copying, Closing, Done };
  // What the outbox holds: a fingerprint ack is dropped when its file's resume point comes.
  struct Outgoing {
    std::unique_ptr<Message> message;
    const File* fingerprintOf = nullptr;
  };

  template <class F>
  void guarded(F&& step);
  void advance();
  void finishCompleteFiles();

  void sendRequest();
  void takeCopyResponse(const CopyResponse& response);
  void takeSenderAck(const FileAck& ack);
  void takeStepOrAck(const FileAck& ack);
  void takeAnnouncement(const FileCreate& create);
  void takeDecision(const FileCreate& decision);
  void takeData(const FileWrite& write);
  std::string checkNames(const FileCreate& create, std::string& finalPath, std::string& tempPath) const;
  File* fileNamed(const std::string& path, const std::string& name) const;

  // For the files.
  void queue(std::unique_ptr<Message> m, const File* fingerprintOf = nullptr);
  void dropFingerprintsOf(const File* file);
  bool sendIfIdle(const Message& m);
  void flushOutbox();
  void flushFolder(const std::string& dir, File* file);
  bool takeCompareBudget(int64_t bytes);
  void returnCompareBudget(int64_t bytes);
  void refuse(const std::string& reason);
  void fail(const std::string& reason);
  void close(const std::string& reason, bool ok);
  void closeWhenIdle();
  bool anyFileBusy() const;
  void waitForPeer();
  bool waitingForPeer() const;
  int64_t now() const;

  // Who and what.
  std::string ticket;
  std::string username;  // the sender's user name
  std::string uuid;      // the sender's computer
  std::string path;      // the path on the sending computer
  std::string requestedName;
  std::string receiveFolder;
  std::shared_ptr<ReceiveMemory> memory;
  int32_t totalFiles = 0;
  int64_t totalSize = 0;

  Phase phase = Phase::Created;
  std::unique_ptr<p2p::UvTimer> stallTimer;
  int64_t waitSince = 0;

  std::deque<std::unique_ptr<File>> window;  // announced and not yet acknowledged whole, in order
  File* dataFile = nullptr;                  // the last file whose resume point came
  std::set<std::string> announcedHere;      // final names announced on this connection
  bool lastAnnounced = false;                // the file with no more to come was announced
  std::set<std::string> knownFolders;        // made or seen on this connection
  std::map<std::string, std::unique_ptr<FolderFlush>> folderFlushes;
  int64_t buffered = 0;      // bytes received and not yet written
  std::shared_ptr<PieceStore> pieceStore = std::make_shared<PieceStore>();
  int64_t compareBytes = 0;  // buffers of the comparisons under way

  std::deque<Outgoing> outbox;  // in order, each when the send buffer is free
  // For the bound on guessing: a connection that ends after an answer of the comparison with
  // no file moved is one more in a row.
  bool answeredHere = false;
  bool movedHere = false;
  bool pauseAsked = false;
  std::string endReason;
  bool endOk = false;
};

}  // namespace net
