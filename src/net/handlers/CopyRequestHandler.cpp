#include "net/handlers/CopyRequestHandler.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "net/handlers/CopyRules.h"
#include "net/handlers/VerifyVerdict.h"
#include "net/messages/CopyResponse.h"
#include "net/messages/FileCreate.h"
#include "net/messages/FileWrite.h"
#include "p2p/uv/UvLog.h"
#include "p2p/uv/UvLoop.h"
#include "utils/ByteBuffer.h"
#include "utils/Checksums.h"

namespace net {

namespace {

const char* const kNotFound = "Ticket not found";
const char* const kFileChanged = "file changed";

bool isPermissionError(int status) { return status == UV_EACCES || status == UV_EPERM; }

bool sameTime(const uv_timespec_t& a, const uv_timespec_t& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

std::string statusText(int32_t status) { return "status " + std::to_string(status); }

}  // namespace

CopyRequestHandler::CopyRequestHandler(IContext* context, const CopyRequest& request)
    : IHandler(context), request(request), progress(context) {
  handlerName = "CopyRequestHandler";
}

CopyRequestHandler::~CopyRequestHandler() = default;

int32_t CopyRequestHandler::fingerprintMode() const {
  return (request.print & PRINT_SHA256) != 0 ? FINGERPRINT_SHA256 : FINGERPRINT_FLETCHER64;
}

bool CopyRequestHandler::receiverCompares() const { return (request.print & PRINT_RECEIVER_COMPARES) != 0; }

bool CopyRequestHandler::recvReady() const { return !(state == State::Comparing && io == Io::Read); }

// Whatever a step throws ends this copy with the text, as a failure the receiver is told of.
template <class F>
void CopyRequestHandler::guarded(F&& step) {
  try {
    step();
  } catch (const std::exception& e) {
    UV_LOG("WARN") << handlerName << ": " << e.what();
    io = Io::None;  // a request that threw was never started: no completion will come
    fail(Message::UNEXPECTED_ERROR, e.what());
  }
  context->recvReadyAgain();  // a completed request may have made room for the next frame
}

// ---- events ----

void CopyRequestHandler::handleSend() {
  guarded([this] {
    if (state == State::Created) start();
    flushOutbox();
    if (state == State::Closing) {
      closeWhenIdle();
    } else if (state == State::Sending) {
      sendNextChunk();
    }
  });
}

void CopyRequestHandler::handleRecv(const Message* m) {
  guarded([&] {
    if (state == State::Closing || state == State::Done) return;
    heard();
    switch (m->getOpcode()) {
      case Message::COPY_PAUSE:
        fail(Message::PAUSED, "Paused");
        return;
      case Message::FILE_ACK:
        takeAck(*static_cast<const FileAck*>(m));
        return;
      default:
        // Before the files are known the receiver has nothing to say; what it says is let be.
        if (state == State::Created || state == State::Verifying || state == State::Scanning) return;
        fail(Message::UNEXPECTED_ERROR, state == State::Sending ? "send: wrong message type" : "sync: wrong message type");
    }
  });
}

void CopyRequestHandler::handleServerResponse(const p2p::Server::ServerResponse<bool>& response) {
  guarded([&] {
    if (state != State::Verifying) return;
    switch (verifyVerdict(response)) {
      case VerifyVerdict::Confirmed:
        UV_LOG("1") << "verify ok";
        scanRequestedPath();
        break;
      case VerifyVerdict::Refused:
        UV_LOG("1") << "verify error " << response.status << " " << response.error;
        fail(Message::NOT_FOUND, kNotFound);
        break;
      case VerifyVerdict::Unreachable: {
        // Nobody refused the receiver: it tries again once the web server is back.
        const std::string why = verifyFailure(response);
        UV_LOG("WARN") << "copy of " << request.fromPath << ": verify " << response.status << ", " << why;
        fail(Message::TIMEOUT, why);
        break;
      }
    }
  });
}

// Each file result first marks its request done; a handler that is closing was waiting only
// for that (None is returned then).
CopyRequestHandler::Io CopyRequestHandler::completed() {
  const Io done = io;
  io = Io::None;
  heard(stallAllowance);  // our own work does not count against the receiver
  if (state != State::Closing) return done;
  closeWhenIdle();
  return Io::None;
}

void CopyRequestHandler::handleFileError(int status, const std::string& msg) {
  guarded([&] {
    switch (completed()) {
      case Io::None:
        return;
      case Io::PathStat:
        if (status == UV_ENOENT) {
          fail(Message::NOT_FOUND, msg);
        } else if (isPermissionError(status)) {
          fail(Message::PERMISSION_DENIED_READ, msg);
        } else {
          fail(Message::UNEXPECTED_ERROR, msg);
        }
        return;
      case Io::Scan:
        fail(isPermissionError(status) ? Message::PERMISSION_DENIED_READ : Message::UNEXPECTED_ERROR, msg);
        return;
      default:
        // A file that went away after the scan is worth another try, which scans again.
        fail(isPermissionError(status) ? Message::PERMISSION_DENIED_READ : Message::FILE_READ_ERROR, msg);
    }
  });
}

void CopyRequestHandler::handleFileStats(const uv_stat_t& stats) {
  guarded([&] {
    const Io done = completed();
    if (done == Io::PathStat) {
      takePathStats(stats);
    } else if (done == Io::FileStat) {
      checkUnchanged(stats);
    }
  });
}

void CopyRequestHandler::handleFileScan(std::deque<std::string> names, std::deque<uv_stat_t> stats) {
  guarded([&] {
    if (completed() == Io::None) return;
    // Folders are not sent: an empty folder has no message of its own.
    for (size_t i = 0; i < names.size() && i < stats.size(); ++i) {
      if (p2p::UvFile::isDir(stats[i])) continue;
      // A name no receiver may write (a partial download, a control character) would cost the
      // whole folder: it stays behind, said once in the log.
      const std::string unwritable = unwritableBelowRoot(names[i]);
      if (!unwritable.empty()) {
        UV_LOG("WARN") << "not sent: " << names[i] << ": " << unwritable;
        continue;
      }
      files.push_back(Entry{names[i], p2p::UvFile::size(stats[i]), stats[i].st_mtim});
      totalSize += p2p::UvFile::size(stats[i]);
    }
    if (files.empty()) {
      fail(Message::END, "No Files Found");
      return;
    }
    announceFiles();
  });
}

void CopyRequestHandler::handleFileOpen() {
  guarded([this] {
    if (completed() == Io::None) return;
    state = State::Comparing;
    offset = 0;
    heldByReceiver = -1;
    checksum = newFingerprint(fingerprintMode());
    queue(announcement(receiverCompares() ? SYNC_RECEIVER_COMPARES : 1));
    progress.fileInit("Sync", ticket.code, context->username(), ticket.toUsername, p2p::UvFile::getName(current.path),
                      current.path, current.size, 0);
  });
}

void CopyRequestHandler::handleFileRead(char*, int len) {
  guarded([&] {
    const Io done = completed();
    if (done == Io::Read && receiverCompares()) {
      sendOwnStep(len);
    } else if (done == Io::Read) {
      compareStep(len);
    } else if (done == Io::ChunkRead) {
      takeChunk(len);
    }
  });
}

// ---- request, verification, scan ----

void CopyRequestHandler::start() {
  UV_LOG("1") << request;
  // Without a name or a computer there is nobody the web server could vouch for.
  if (request.uuid.empty() || request.myUserName.empty()) {
    fail(Message::NOT_FOUND, kNotFound);
    return;
  }
  ticket = context->findTicket(request.ticket, request.myUserName);
  const bool offered = std::find(ticket.files.begin(), ticket.files.end(), request.fromPath) != ticket.files.end();
  if (ticket.code.empty() || !offered) {
    fail(Message::NOT_FOUND, kNotFound);
    return;
  }
  state = State::Verifying;
  context->verify(request.uuid, request.myUserName, request.mySignature, this);
}

void CopyRequestHandler::scanRequestedPath() {
  state = State::Scanning;
  io = Io::PathStat;
  context->files()->stats(normalisedPath(request.fromPath), this);
}

void CopyRequestHandler::takePathStats(const uv_stat_t& stats) {
  const std::string path = normalisedPath(request.fromPath);
  if (!p2p::UvFile::isDir(stats)) {
    files.push_back(Entry{path, p2p::UvFile::size(stats), stats.st_mtim});
    totalSize = p2p::UvFile::size(stats);
    announceFiles();
    return;
  }
  root = path;
  io = Io::Scan;
  context->files()->scan(root, this);
}

void CopyRequestHandler::announceFiles() {
  auto response = std::make_unique<CopyResponse>();
  response->status = Message::CONTINUE;
  response->totalFiles = static_cast<int32_t>(files.size());
  response->totalBytes = totalSize;
  progress.totalFiles = response->totalFiles;
  progress.totalSize = totalSize;
  UV_LOG("1") << "sendCopyResponse " << *response;
  filesAnnounced = true;
  stallTimer = std::make_unique<p2p::UvTimer>(context->loop());
  stallTimer->start(STALL_CHECK_MS, STALL_CHECK_MS, this);
  heard();
  queue(std::move(response));
  openNextFile();
}

void CopyRequestHandler::openNextFile() {
  if (files.empty()) {
    endOk = true;
    endReason.clear();
    state = State::Closing;
    closeWhenIdle();
    return;
  }
  current = files.front();
  files.pop_front();
  allSent = false;
  lastChunkWaits = false;
  state = State::Opening;
  io = Io::Open;
  file = context->files()->open(current.path, p2p::UvFile::READ, this);
}

// ---- the receiver's acknowledgements ----

void CopyRequestHandler::takeAck(const FileAck& ack) {
  if (ack.status == Message::END && state == State::Sending && files.empty() && isFinalAck(ack)) {
    // The receiver's end after the last file: answered in kind, as it expects.
    fileDone(true);
    return;
  }
  if (ack.status != Message::CONTINUE) {
    fail(ack.status, ack.reason.empty() ? "receiver stopped (" + statusText(ack.status) + ")" : ack.reason);
    return;
  }
  if (state == State::Comparing && receiverCompares()) {
    takeComparisonAck(ack);
  } else if (state == State::Comparing) {
    takeFingerprintAck(ack);
  } else if (state == State::Sending) {
    if (isFinalAck(ack)) fileDone(false);
    // Anything else is a progress ack, or a fingerprint ack sent before the receiver heard of
    // the resume point: neither changes anything here.
  } else if (state != State::Created && state != State::Verifying && state != State::Scanning) {
    fail(Message::UNEXPECTED_ERROR, "sync: wrong message type");
  }
}

void CopyRequestHandler::takeFingerprintAck(const FileAck& ack) {
  // The step is taken apart only once both ends are known to lie within the file.
  if (ack.fingerprintLength < offset || ack.fingerprintLength > current.size ||
      ack.fingerprintLength - offset > MAX_FINGERPRINT_LENGTH || ack.bytesWritten < ack.fingerprintLength ||
      ack.bytesWritten > current.size) {
    fail(Message::UNEXPECTED_ERROR, "sync: wrong fingerprintLength");
    return;
  }
  syncAck = ack;
  stepStart = offset;
  stepLength = ack.fingerprintLength - offset;
  stepRead = 0;
  if (stepLength == 0) {
    compareStep(0);
    return;
  }
  if (!compareBuffer)
    compareBuffer = std::make_shared<std::vector<int8_t>>(static_cast<size_t>(std::min(MAX_FINGERPRINT_LENGTH, current.size)));
  readFingerprintStep();
}

void CopyRequestHandler::readFingerprintStep() {
  io = Io::Read;
  file->read(reinterpret_cast<char*>(compareBuffer->data()) + stepRead, static_cast<int>(stepLength - stepRead),
             stepStart + stepRead, compareBuffer);
}

// One step of the receiver's copy against the same bytes of the file. A step is checksummed in
// one piece, as the receiver does, since Fletcher64 groups its words from the start of each call.
void CopyRequestHandler::compareStep(int len) {
  if (stepLength > 0) {
    if (len <= 0) {
      fail(Message::FILE_READ_ERROR, kFileChanged);
      return;
    }
    stepRead += len;
    if (stepRead < stepLength) {
      readFingerprintStep();  // a short read is no end of file
      return;
    }
    checksum->update(compareBuffer->data(), 0, static_cast<int32_t>(stepLength));
  }
  offset = stepStart + stepLength;
  progress.fileOffset(shownOffset(offset));
  const bool match = stepLength > 0 && syncAck.fingerprintMode == fingerprintMode() &&
                     syncAck.fingerprint == checksum->getValue();
  if (match && syncAck.fingerprintLength != syncAck.bytesWritten) return;  // more of the copy to compare
  if (match) {
    startSending(offset);
  } else {
    startSending(syncAck.appendMode == 1 ? stepStart : 0);
  }
}

// The receiver's comparison: first what it holds, then, once it has seen this side's
// fingerprints of that prefix, where to resume.
void CopyRequestHandler::takeComparisonAck(const FileAck& ack) {
  if (heldByReceiver < 0) {
    if (ack.fingerprintLength != 0 || ack.bytesWritten < 0 || ack.bytesWritten > current.size) {
      fail(Message::UNEXPECTED_ERROR, "sync: wrong held length");
      return;
    }
    heldByReceiver = ack.bytesWritten;
    if (heldByReceiver == 0) {
      startSending(0);
      return;
    }
    compareBuffer = std::make_shared<std::vector<int8_t>>(
        static_cast<size_t>(std::min(MAX_FINGERPRINT_LENGTH, heldByReceiver)));
    readOwnStep();
    return;
  }
  // Only a point this side has sent the fingerprints up to can be the receiver's answer.
  const int64_t resume = ack.bytesWritten;
  if (ack.fingerprintLength != resume || resume < 0 || resume > offset) {
    fail(Message::UNEXPECTED_ERROR, "sync: wrong resume point");
    return;
  }
  startSending(resume);
}

void CopyRequestHandler::readOwnStep() {
  stepStart = offset;
  stepLength = std::min(MAX_FINGERPRINT_LENGTH, heldByReceiver - offset);
  stepRead = 0;
  readFingerprintStep();
}

// One step of this side's prefix goes out as its fingerprint; the next is read at once, so the
// receiver compares while this side reads.
void CopyRequestHandler::sendOwnStep(int len) {
  if (len <= 0) {
    fail(Message::FILE_READ_ERROR, kFileChanged);
    return;
  }
  stepRead += len;
  if (stepRead < stepLength) {
    readFingerprintStep();
    return;
  }
  checksum->update(compareBuffer->data(), 0, static_cast<int32_t>(stepLength));
  offset = stepStart + stepLength;
  progress.fileOffset(shownOffset(offset));
  auto step = std::make_unique<FileAck>();
  step->status = Message::CONTINUE;
  step->filePath = relativePath(current.path);
  step->fileName = p2p::UvFile::getName(current.path);
  step->bytesWritten = heldByReceiver;
  step->totalSize = current.size;
  step->fingerprint = checksum->getValue();
  step->fingerprintLength = offset;
  step->appendMode = 1;
  step->fingerprintMode = fingerprintMode();
  queue(std::move(step));
  if (offset < heldByReceiver) {
    readOwnStep();
  } else {
    // The receiver reads as much of its copy before it answers.
    const int64_t steps = (heldByReceiver + MAX_FINGERPRINT_LENGTH - 1) / MAX_FINGERPRINT_LENGTH;
    heard(STALL_MS + STALL_PER_STEP_MS * steps);
  }
}

bool CopyRequestHandler::isFinalAck(const FileAck& ack) const {
  return allSent && ack.bytesWritten == current.size && ack.fingerprintLength == current.size && ack.fingerprint == 0;
}

// ---- sending ----

void CopyRequestHandler::startSending(int64_t resumeAt) {
  state = State::Sending;
  offset = resumeAt;
  compareBuffer.reset();
  checksum.reset();
  stallAllowance = STALL_MS;
  // Fingerprints the receiver no longer needs stay here.
  for (auto it = outbox.begin(); it != outbox.end();)
    it = (*it)->getOpcode() == Message::FILE_ACK ? outbox.erase(it) : std::next(it);
  if (offset == current.size) {
    // Nothing to send: the file must still be the one that was compared.
    io = Io::FileStat;
    file->stats();
    return;
  }
  announceData();
}

// The current file, for comparison (sync 1, in the fingerprint mode asked for) or with the
// resume point of its data (sync 0).
std::unique_ptr<FileCreate> CopyRequestHandler::announcement(int32_t sync) const {
  auto create = std::make_unique<FileCreate>();
  create->uuid = context->uuid();
  create->fileName = p2p::UvFile::getName(current.path);
  create->path = relativePath(current.path);
  create->size = current.size;
  create->remainingFiles = static_cast<int32_t>(files.size());
  create->sync = sync;
  create->append = sync == 0 && offset > 0 ? 1 : 0;
  create->appendLength = sync == 0 ? offset : 0;
  create->appendMode = 1;
  create->fingerprintMode = sync == 0 ? 0 : fingerprintMode();
  return create;
}

void CopyRequestHandler::announceData() {
  queue(announcement(0));
  progress.fileInit("Send", ticket.code, context->username(), ticket.toUsername, p2p::UvFile::getName(current.path),
                    current.path, current.size, shownOffset(offset));
  if (offset == current.size) {
    allSent = true;
    return;
  }
  sendNextChunk();
}

void CopyRequestHandler::sendNextChunk() {
  if (state != State::Sending || io != Io::None || lastChunkWaits || allSent || !outbox.empty()) return;
  if (offset >= current.size || !context->canSend()) return;
  const int32_t room = context->getSendBuffer()->capacity() - FileWrite::getDataOffset();
  chunkStart = offset;
  chunkLength = static_cast<int32_t>(std::min<int64_t>(current.size - offset, room));
  chunkRead = 0;
  UV_LOG("1") << "CopyRequestHandler::readNext len=" << chunkLength;
  readChunk();
}

// Straight into the send buffer, where the FILE_WRITE frame's data belongs.
void CopyRequestHandler::readChunk() {
  char* data = reinterpret_cast<char*>(context->getSendBuffer()->array()) + FileWrite::getDataOffset();
  io = Io::ChunkRead;
  file->read(data + chunkRead, chunkLength - chunkRead, chunkStart + chunkRead, context->holdBuffers());
}

void CopyRequestHandler::takeChunk(int len) {
  if (len <= 0) {
    fail(Message::FILE_READ_ERROR, kFileChanged);
    return;
  }
  chunkRead += len;
  if (chunkRead < chunkLength) {
    readChunk();
    return;
  }
  offset = chunkStart + chunkLength;
  if (offset == current.size) {
    // The last chunk goes out only for a file that did not change while it was being sent.
    lastChunkWaits = true;
    io = Io::FileStat;
    file->stats();
    return;
  }
  sendChunk();
}

void CopyRequestHandler::sendChunk() {
  FileWrite write;
  write.offset = chunkStart;
  write.length = chunkLength;
  context->send(&write);
  progress.fileOffset(shownOffset(offset));
  if (offset == current.size) allSent = true;
}

void CopyRequestHandler::checkUnchanged(const uv_stat_t& stats) {
  if (p2p::UvFile::size(stats) != current.size || !sameTime(stats.st_mtim, current.mtime)) {
    lastChunkWaits = false;
    fail(Message::FILE_READ_ERROR, kFileChanged);
    return;
  }
  if (lastChunkWaits) {
    lastChunkWaits = false;
    sendChunk();
  } else {
    announceData();
  }
}

void CopyRequestHandler::fileDone(bool answerEnd) {
  progress.fileOffset(current.size);
  file.reset();
  if (answerEnd) {
    auto reply = std::make_unique<FileAck>();
    reply->status = Message::END;
    queue(std::move(reply));
  }
  openNextFile();
}

// ---- the end ----

void CopyRequestHandler::queue(std::unique_ptr<Message> m) {
  outbox.push_back(std::move(m));
  flushOutbox();
}

void CopyRequestHandler::flushOutbox() {
  // A chunk being read into the send buffer, or held there for the last check, owns it.
  if (io == Io::ChunkRead || lastChunkWaits) return;
  while (!outbox.empty() && context->canSend()) {
    if (!context->send(outbox.front().get())) return;
    outbox.pop_front();
  }
}

// Ends the copy with a reason the receiver is told first, in the message it expects now.
void CopyRequestHandler::fail(int32_t status, const std::string& reason) {
  if (state == State::Closing || state == State::Done) return;
  UV_LOG("1") << "sendFileAck " << status << " " << reason;
  state = State::Closing;
  endOk = false;
  endReason = reason.empty() ? statusText(status) : reason;
  outbox.clear();  // what has not gone out yet no longer matters
  if (filesAnnounced) {
    auto ack = std::make_unique<FileAck>();
    ack->status = status;
    ack->reason = endReason;
    outbox.push_back(std::move(ack));
  } else {
    auto response = std::make_unique<CopyResponse>();
    response->status = status;
    response->reason = endReason;
    outbox.push_back(std::move(response));
  }
  closeWhenIdle();
}

// Ends once no file request is in flight and everything queued has been handed to the stream.
void CopyRequestHandler::closeWhenIdle() {
  if (state != State::Closing || io != Io::None) return;
  lastChunkWaits = false;  // a chunk still held back is not sent any more
  flushOutbox();
  if (!outbox.empty()) return;
  finish();
}

void CopyRequestHandler::finish() {
  state = State::Done;
  stallTimer.reset();
  file.reset();
  if (!endOk) progress.fileEnd(endReason);
  context->close(false, endOk ? "" : endReason);
}

// ---- helpers ----

// Where the receiver puts the file: the requested folder's own name, then the file's folders
// below it; empty for a single file.
std::string CopyRequestHandler::unwritableBelowRoot(const std::string& path) const {
  if (path.size() <= root.size()) return "";
  const std::string below = path.substr(path.find_first_not_of("/\\", root.size()));
  const std::vector<std::string> parts = splitPath(below);
  for (size_t i = 0; i < parts.size(); ++i) {
    const std::string refused = i + 1 < parts.size() ? refusedName(parts[i]) : refusedFileName(parts[i]);
    if (!refused.empty()) return refused;
  }
  return "";
}

std::string CopyRequestHandler::relativePath(const std::string& path) const {
  if (root.empty()) return "";
  return p2p::UvFile::getName(root) + p2p::UvFile::getDir(path).substr(root.size());
}

// The receiver is waited for from now on, for `allowance` ms.
void CopyRequestHandler::heard(int64_t allowance) {
  heardAt = now();
  stallAllowance = allowance;
}

int64_t CopyRequestHandler::now() const { return static_cast<int64_t>(context->loop()->now()); }

// A receiver that says nothing while this side waits for it is gone: the copy ends, so that it
// holds neither the connection nor the file for good.
void CopyRequestHandler::handleTimer() {
  guarded([this] {
    if (io != Io::None || now() - heardAt <= stallAllowance) return;
    if (state == State::Closing) {
      outbox.clear();  // nobody takes it; end with the reason already given
      closeWhenIdle();
      return;
    }
    if (state == State::Comparing || state == State::Opening || state == State::Sending)
      fail(Message::TIMEOUT, "transfer stalled");
  });
}

// A file shows complete only when the receiver has confirmed it.
int64_t CopyRequestHandler::shownOffset(int64_t value) const {
  return current.size > 0 ? std::min(value, current.size - 1) : value;
}

}  // namespace net
