#include "net/handlers/CopyRecvFile.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "net/messages/FileWrite.h"
#include "p2p/uv/UvLog.h"
#include "p2p/uv/UvLoop.h"
#include "utils/Checksums.h"

namespace net {

namespace {

// Failures of our own files that will still be there next time: a file where a folder is
// wanted, a folder nobody may write in.
bool isLasting(int status) {
  return status == UV_ENOTDIR || status == UV_EACCES || status == UV_EPERM || status == UV_EROFS;
}

}  // namespace

CopyRecvHandler::File::File(CopyRecvHandler& owner, const FileCreate& announced, std::string finalPath, std::string tempPath)
    : owner(owner),
      announced(announced),
      finalPath(std::move(finalPath)),
      tempPath(std::move(tempPath)),
      progress(owner.context) {
  progress.totalFiles = owner.totalFiles;
  progress.totalSize = owner.totalSize;
}

CopyRecvHandler::File::~File() { releaseCompareBuffer(); }

void CopyRecvHandler::File::start() {
  progress.fileInit("Sync", owner.ticket, owner.username, context()->username(), announced.fileName, finalPath,
                    announced.size, 0);
  looking = Looking::Temp;
  io = Io::Exists;
  context()->files()->exists(tempPath, this);
}

// Each completion first marks its request done; what follows by itself runs when the handler
// moves every file on (proceed) after it. A failure ends the whole copy.
template <class F>
void CopyRecvHandler::File::completion(F&& step) {
  io = Io::None;
  owner.waitForPeer();  // our own work does not count against the sender
  owner.guarded(std::forward<F>(step));
}

int64_t CopyRecvHandler::File::extraAllowance() const {
  if (current == Phase::Comparing)
    return STALL_PER_STEP_MS * (stepCount() - static_cast<int64_t>(peerSteps.size()));
  if (current == Phase::AwaitingDecision && !receiverCompares()) return STALL_PER_STEP_MS * stepsReported;
  return 0;
}

void CopyRecvHandler::File::stop() { stopped = true; }

void CopyRecvHandler::File::proceed() {
  if (io != Io::None) return;
  switch (current) {
    case Phase::Locating:
      if (awaitsBudget && !stopped) {
        awaitsBudget = false;
        openHeld();
      }
      break;
    case Phase::Fingerprinting:
      if (stopped) return;
      if (fingerprinted < compareSize || stepRead < stepLength) return readStep();
      // Every ack is out: the sender answers once it has read as much of its own file.
      source.reset();
      releaseCompareBuffer();
      current = Phase::AwaitingDecision;
      break;
    case Phase::Comparing:
      if (!stopped && answered < 0 && (fingerprinted < compareSize || stepRead < stepLength)) readStep();
      break;
    case Phase::AwaitingDecision:
      // Nothing held: the resume point can only be 0, so the temporary file is made meanwhile.
      if (!stopped && receiverCompares() && answered == 0 && held == Held::None && !target) prepareTarget();
      break;
    case Phase::Receiving:
      writeBehind();
      if (io == Io::None && !broken && written == announced.size && received == announced.size) finishFile();
      break;
    default:
      break;
  }
}

// ---- file results ----

void CopyRecvHandler::File::handleFileExists(bool exists, const uv_stat_t& stats) {
  completion([&] {
    if (!stopped) takeExists(exists, stats);
  });
}

void CopyRecvHandler::File::handleFileRemove() {
  completion([this] {
    if (!stopped) lookAtFinalName();
  });
}

void CopyRecvHandler::File::handleFileOpen() {
  completion([this] {
    if (stopped) return;
    switch (opening) {
      case Opening::Held:
        if (receiverCompares()) {
          startComparing();
        } else {
          startFingerprints();
        }
        break;
      case Opening::PrefixSource:
        openTarget();
        break;
      case Opening::Target:
        if (held == Held::Temp) {
          io = Io::Truncate;  // whatever lies beyond the resume point goes
          target->truncate(resumeAt);
        } else if (held == Held::Final && resumeAt > 0) {
          copyPrefix();
        } else {
          targetReady = true;
          if (decided()) startReceiving();
        }
        break;
    }
  });
}

void CopyRecvHandler::File::handleFileError(int status, const std::string& msg) {
  const Io failed = io;
  completion([&] {
    if (failed == Io::Write) broken = true;  // what is buffered stays in memory
    const std::string reason = msg + ": " + finalPath;
    if (isLasting(status) || (failed == Io::Mkdirs && status == UV_EEXIST)) {
      refuse(reason);
    } else {
      fail(reason);
    }
  });
}

void CopyRecvHandler::File::handleFileRead(char*, int len) {
  completion([&] {
    if (stopped) return;
    if (current == Phase::Fingerprinting || current == Phase::Comparing) {
      takeStep(len);
    } else if (current == Phase::Preparing) {
      if (len <= 0) return fail("the held file changed: " + finalPath);
      stepRead += len;
      takePrefixRead();
    }
  });
}

void CopyRecvHandler::File::handleFileWrite(char*, int len) {
  completion([&] {
    if (current == Phase::Preparing) {
      copied += len;
      if (!stopped) copyPrefix();
    } else {
      takeWritten(len);
    }
  });
}

void CopyRecvHandler::File::handleFileMkdirs() {
  completion([this] {
    owner.knownFolders.insert(p2p::UvFile::getDir(tempPath));
    if (!stopped) openTarget();
  });
}

void CopyRecvHandler::File::handleFileTruncate() {
  completion([this] {
    targetReady = true;
    if (!stopped) startReceiving();
  });
}

// A flush that completes: the data, then the rename, then its folder; the file is whole.
void CopyRecvHandler::File::handleFileFlush(const uv_stat_t& stats) {
  completion([&] { renameWhole(stats); });
}

void CopyRecvHandler::File::handleFileRename() {
  completion([this] {
    io = Io::FlushFolder;
    owner.flushFolder(p2p::UvFile::getDir(finalPath), this);
  });
}

void CopyRecvHandler::File::folderFlushed() {
  io = Io::None;
  owner.memory->complete(finalPath, flushedStats);
  becomeComplete();
}

void CopyRecvHandler::File::folderFlushFailed(const std::string& msg) {
  io = Io::None;
  fail(msg + ": " + p2p::UvFile::getDir(finalPath));
}

// ---- the sender's resume point ----

void CopyRecvHandler::File::takeDecision(const FileCreate& decision) {
  if (decision.path != announced.path || decision.fileName != announced.fileName || decision.size != announced.size)
    return refuse("FILE_CREATE sync 0 for another file");
  if (current == Phase::Locating || current == Phase::Comparing)
    return refuse("resume point before the comparison was answered");
  const int64_t resume = decision.append == 1 ? decision.appendLength : 0;
  if (resume < 0) return refuse("negative resume point");
  if (receiverCompares() && resume != answered) return refuse("resume point other than the one answered");
  if (!receiverCompares() && resume > fingerprinted) return refuse("resume point beyond what is held");
  // Acks not yet out are of no use to the sender any more; a step being read is dropped.
  owner.dropFingerprintsOf(this);
  if (io == Io::Read) io = Io::None;  // its buffer stays with the request on the pool
  source.reset();
  buffer.reset();
  releaseCompareBuffer();
  stepRead = stepLength = 0;
  resumeAt = received = written = resume;
  if (held == Held::Final && resume == announced.size && heldLength == announced.size) {
    // The final-name file is the whole file: nothing is written.
    owner.memory->complete(finalPath, finalStats);
    return becomeComplete();
  }
  if (targetReady) return startReceiving();
  current = Phase::Preparing;
  if (io == Io::None) prepareTarget();  // else the early preparation is under way
}

// The data always goes to the temporary name. A held temporary file is cut to the resume point;
// of a held final-name file the matching prefix is copied to a new temporary file first.
void CopyRecvHandler::File::prepareTarget() {
  switch (held) {
    case Held::None: {
      const std::string dir = p2p::UvFile::getDir(tempPath);
      if (owner.knownFolders.count(dir) != 0) return openTarget();
      io = Io::Mkdirs;
      context()->files()->mkdirs(dir, this);
      break;
    }
    case Held::Temp:
      openTarget();
      break;
    case Held::Final:
      if (resumeAt == 0) return openTarget();
      opening = Opening::PrefixSource;
      io = Io::Open;
      source = context()->files()->open(finalPath, p2p::UvFile::noFollow(p2p::UvFile::READ), this);
      break;
  }
}

void CopyRecvHandler::File::openTarget() {
  opening = Opening::Target;
  io = Io::Open;
  const p2p::UvFile::Access access = held == Held::Temp ? p2p::UvFile::WRITE : p2p::UvFile::WRITE_TRUNCATE;
  target = context()->files()->open(tempPath, p2p::UvFile::noFollow(access), this);
}

void CopyRecvHandler::File::copyPrefix() {
  if (copied == resumeAt) {
    source.reset();
    buffer.reset();
    targetReady = true;
    return startReceiving();
  }
  if (!buffer)
    buffer = std::make_shared<std::vector<int8_t>>(static_cast<size_t>(std::min<int64_t>(DISK_PIECE, resumeAt)));
  pieceLength = static_cast<int32_t>(std::min<int64_t>(static_cast<int64_t>(buffer->size()), resumeAt - copied));
  stepRead = 0;
  takePrefixRead();
}

// Reads the rest of the piece in hand, or writes it once it is whole.
void CopyRecvHandler::File::takePrefixRead() {
  char* bytes = reinterpret_cast<char*>(buffer->data());
  if (stepRead < pieceLength) {
    io = Io::Read;
    source->read(bytes + stepRead, static_cast<int>(pieceLength - stepRead), copied + stepRead, buffer);
    return;
  }
  io = Io::Write;
  target->write(bytes, pieceLength, copied, buffer);
}

// ---- the data ----

void CopyRecvHandler::File::startReceiving() {
  current = Phase::Receiving;
  if (written < announced.size)
    progress.fileInit("Recv", owner.ticket, owner.username, context()->username(), announced.fileName, finalPath,
                      announced.size, written);
}

CopyRecvHandler::File::Piece::Piece(int32_t size, std::shared_ptr<PieceStore> store) : size(size), store(std::move(store)) {
  if (size == DISK_PIECE && !this->store->free.empty()) {
    bytes = std::move(this->store->free.back());
    this->store->free.pop_back();
  } else {
    bytes.reset(new char[static_cast<size_t>(size)]);
  }
}

CopyRecvHandler::File::Piece::~Piece() {
  if (size == DISK_PIECE && store->free.size() < PieceStore::KEPT) store->free.push_back(std::move(bytes));
}

// Copied out of the frame, so that the stream goes on while the disk works.
void CopyRecvHandler::File::takeData(const FileWrite& write) {
  if (write.length <= 0) return refuse("empty FILE_WRITE");
  if (write.offset != received) return refuse("wrong offset");
  if (write.length > announced.size - received) return refuse("FILE_WRITE past the file's size");
  const auto* bytes = reinterpret_cast<const char*>(write.data);
  for (int32_t taken = 0; taken < write.length;) {
    if (pieces.empty() || pieces.back()->filled == pieces.back()->size) {
      const int64_t left = announced.size - received - taken;
      pieces.push_back(
          std::make_shared<Piece>(static_cast<int32_t>(std::min<int64_t>(DISK_PIECE, left)), owner.pieceStore));
    }
    Piece& piece = *pieces.back();
    const int32_t n = std::min(piece.size - piece.filled, write.length - taken);
    std::memcpy(piece.bytes.get() + piece.filled, bytes + taken, static_cast<size_t>(n));
    piece.filled += n;
    taken += n;
  }
  received += write.length;
  owner.buffered += write.length;
}

// One piece at a time, whole pieces first; the last one when all data is in, or at the end.
void CopyRecvHandler::File::writeBehind() {
  if (!targetReady || io != Io::None || broken || pieces.empty()) return;
  const Piece& piece = *pieces.front();
  if (piece.filled < piece.size && received < announced.size && !stopped) return;
  writing = piece.filled;
  io = Io::Write;
  target->write(piece.bytes.get(), writing, written, pieces.front());
}

void CopyRecvHandler::File::takeWritten(int len) {
  owner.movedHere = true;  // the sender sends, it does not only ask
  pieces.pop_front();
  owner.buffered -= writing;
  writing = 0;
  written += len;
  progress.fileOffset(shownOffset(written));
  if (written < announced.size) sendProgressAck();
}

// The first write that leaves the file incomplete is acknowledged at once, later ones at most
// every ACK_PERIOD_MS; an ack that finds the send buffer busy is skipped.
void CopyRecvHandler::File::sendProgressAck() {
  const int64_t t = owner.now();
  if (acked && t - ackTime <= ACK_PERIOD_MS) return;
  std::unique_ptr<FileAck> ack = fileAck(Message::CONTINUE);
  ack->bytesWritten = written;
  ack->fingerprintLength = announced.size;
  if (!owner.sendIfIdle(*ack)) return;
  acked = true;
  ackTime = t;
}

// The data reaches the disk before the name does: a power loss leaves the old file or the whole
// new one, never an empty file under the final name.
void CopyRecvHandler::File::finishFile() {
  current = Phase::Finishing;
  io = Io::Flush;
  target->flush();
}

void CopyRecvHandler::File::renameWhole(const uv_stat_t& flushed) {
  flushedStats = flushed;
  target.reset();
  io = Io::Rename;
  UV_LOG("1") << "Recv::handleFileRename " << tempPath << " " << finalPath;
  context()->files()->rename(tempPath, finalPath, this);
}

void CopyRecvHandler::File::becomeComplete() {
  owner.movedHere = true;
  current = Phase::Complete;
  if (progress.getState() == "Recv") {
    progress.fileOffset(announced.size);
  } else {
    progress.fileInit("Recv", owner.ticket, owner.username, context()->username(), announced.fileName, finalPath,
                      announced.size, announced.size);
  }
}

std::unique_ptr<FileAck> CopyRecvHandler::File::finalAck() const {
  std::unique_ptr<FileAck> ack = fileAck(announced.remainingFiles != 0 ? Message::CONTINUE : Message::END);
  ack->bytesWritten = announced.size;
  ack->fingerprintLength = announced.size;
  return ack;
}

// ---- helpers ----

std::unique_ptr<FileAck> CopyRecvHandler::File::fileAck(int32_t status) const {
  auto ack = std::make_unique<FileAck>();
  ack->status = status;
  ack->filePath = announced.path;
  ack->fileName = announced.fileName;
  ack->totalSize = announced.size;
  ack->appendMode = announced.appendMode;
  ack->fingerprintMode = announced.fingerprintMode;
  return ack;
}

void CopyRecvHandler::File::refuse(const std::string& reason) { owner.refuse(reason); }

void CopyRecvHandler::File::fail(const std::string& reason) { owner.fail(reason); }

// A file shows complete only once it is.
int64_t CopyRecvHandler::File::shownOffset(int64_t value) const {
  return announced.size > 0 ? std::min(value, announced.size - 1) : value;
}

}  // namespace net
