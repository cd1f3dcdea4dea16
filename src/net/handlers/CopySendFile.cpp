#include "net/handlers/CopySendFile.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "net/messages/FileWrite.h"
#include "utils/ByteBuffer.h"
#include "utils/Checksums.h"

namespace net {

namespace {

const char* const kFileChanged = "file changed";

bool isPermissionError(int status) { return status == UV_EACCES || status == UV_EPERM; }

bool sameTime(const uv_timespec_t& a, const uv_timespec_t& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

}  // namespace

CopyRequestHandler::File::File(CopyRequestHandler& owner, Entry entry, int32_t remainingFiles)
    : owner(owner), entry(std::move(entry)), remainingFiles(remainingFiles), progress(owner.context) {
  progress.totalFiles = owner.totalFiles;
  progress.totalSize = owner.totalSize;
}

// A file that is done holds nothing of its handler and may outlive it (deleteSoon).
CopyRequestHandler::File::~File() {
  releaseCompareBuffer();
  if (loadedEnd != sentEnd) owner.loadedBytes -= loadedEnd - sentEnd;
}

// A file announced one at a time is opened first, as a receiver of the plain exchange expects
// (a file that cannot be read fails before it is named); in the pipeline it is named at once
// and opened when it is compared or read.
void CopyRequestHandler::File::start() {
  if (owner.pipelined()) return announce();
  current = Phase::Opening;
  open();
}

bool CopyRequestHandler::File::named(const std::string& path, const std::string& fileName) const {
  return fileName == name() && path == owner.relativePath(entry.path);
}

std::string CopyRequestHandler::File::name() const { return p2p::UvFile::getName(entry.path); }

int64_t CopyRequestHandler::File::extraAllowance() const {
  if (current != Phase::Comparing || !owner.receiverCompares() || heldByReceiver <= 0 || compared < heldByReceiver)
    return 0;
  return STALL_PER_STEP_MS * ((heldByReceiver + MAX_FINGERPRINT_LENGTH - 1) / MAX_FINGERPRINT_LENGTH);
}

template <class F>
void CopyRequestHandler::File::completion(F&& step) {
  io = Io::None;
  owner.heard();  // our own work does not count against the receiver
  owner.guarded(std::forward<F>(step));
}

void CopyRequestHandler::File::open() {
  io = Io::Open;
  file = context()->files()->open(entry.path, p2p::UvFile::READ, this);
}

void CopyRequestHandler::File::handleFileOpen() {
  completion([this] {
    opened = true;
    if (current == Phase::Opening) announce();
  });
}

void CopyRequestHandler::File::handleFileError(int status, const std::string& msg) {
  completion([&] {
    // A file that went away after the scan is worth another try, which scans again.
    fail(isPermissionError(status) ? Message::PERMISSION_DENIED_READ : Message::FILE_READ_ERROR, msg);
  });
}

void CopyRequestHandler::File::handleFileRead(char*, int len) {
  const Io done = io;
  completion([&] {
    if (stopped) return;
    if (done == Io::Load) return takeLoaded(len);
    if (owner.receiverCompares()) return sendOwnStep(len);
    compareStep(len);
  });
}

void CopyRequestHandler::File::handleFileStats(const uv_stat_t& stats) {
  completion([&] {
    if (!stopped) checkUnchanged(stats);
  });
}

// The current file, for comparison (sync 1, or 2 for the receiver's own) or with the resume
// point of its data (sync 0).
std::unique_ptr<FileCreate> CopyRequestHandler::File::announcement(int32_t sync) const {
  auto create = std::make_unique<FileCreate>();
  create->uuid = context()->uuid();
  create->fileName = name();
  create->path = owner.relativePath(entry.path);
  create->size = entry.size;
  create->remainingFiles = remainingFiles;
  create->sync = sync;
  create->append = sync == 0 && resumeAt > 0 ? 1 : 0;
  create->appendLength = sync == 0 ? resumeAt : 0;
  create->appendMode = 1;
  create->fingerprintMode = sync == 0 ? 0 : owner.fingerprintMode();
  return create;
}

void CopyRequestHandler::File::announce() {
  current = Phase::Announced;
  checksum = newFingerprint(owner.fingerprintMode());
  owner.queue(announcement(owner.receiverCompares() ? SYNC_RECEIVER_COMPARES : 1));
  progress.fileInit("Sync", owner.ticket.code, context()->username(), owner.ticket.toUsername, name(), entry.path,
                    entry.size, 0);
}

// What may go on by itself now: the first step of its own comparison, or reading ahead.
void CopyRequestHandler::File::proceed() {
  if (io != Io::None || stopped) return;
  if (current == Phase::Comparing && owner.receiverCompares() && heldByReceiver > 0 && answer < 0 &&
      compared == 0 && stepLength == 0) {
    if (!opened) return open();
    if (!compareBuffer) {
      const int64_t bytes = std::min(MAX_FINGERPRINT_LENGTH, heldByReceiver);
      if (!owner.takeCompareBudget(bytes)) return;  // another comparison first
      budgeted = bytes;
      compareBuffer = std::make_shared<std::vector<int8_t>>(static_cast<size_t>(bytes));
    }
    return readOwnStep();
  }
  if (current == Phase::Decided || current == Phase::Sending) load();
}

// ---- the plain exchange: the receiver's fingerprints ----

void CopyRequestHandler::File::takeAck(const FileAck& ack) {
  switch (current) {
    case Phase::Announced:
      current = Phase::Comparing;
      [[fallthrough]];
    case Phase::Comparing:
      if (owner.receiverCompares()) return takeComparisonAck(ack);
      return takeFingerprintAck(ack);
    default:
      // A progress ack, or a fingerprint ack sent before the receiver heard of the resume
      // point: neither changes anything here.
      return;
  }
}

void CopyRequestHandler::File::takeFingerprintAck(const FileAck& ack) {
  // The step is taken apart only once both ends are known to lie within the file.
  if (ack.fingerprintLength < compared || ack.fingerprintLength > entry.size ||
      ack.fingerprintLength - compared > MAX_FINGERPRINT_LENGTH || ack.bytesWritten < ack.fingerprintLength ||
      ack.bytesWritten > entry.size)
    return fail(Message::UNEXPECTED_ERROR, "sync: wrong fingerprintLength");
  syncAck = ack;
  stepStart = compared;
  stepLength = ack.fingerprintLength - compared;
  stepRead = 0;
  if (stepLength == 0) return compareStep(0);
  if (!compareBuffer) {
    budgeted = std::min(MAX_FINGERPRINT_LENGTH, entry.size);
    owner.takeCompareBudget(budgeted);  // one file at a time in the plain exchange
    compareBuffer = std::make_shared<std::vector<int8_t>>(static_cast<size_t>(budgeted));
  }
  readStep();
}

void CopyRequestHandler::File::readStep() {
  io = Io::Read;
  file->read(reinterpret_cast<char*>(compareBuffer->data()) + stepRead, static_cast<int>(stepLength - stepRead),
             stepStart + stepRead, compareBuffer);
}

// One step of the receiver's copy against the same bytes of the file. A step is checksummed in
// one piece, as the receiver does, since Fletcher64 groups its words from the start of each call.
void CopyRequestHandler::File::compareStep(int len) {
  if (stepLength > 0) {
    if (len <= 0) return fail(Message::FILE_READ_ERROR, kFileChanged);
    stepRead += len;
    if (stepRead < stepLength) return readStep();  // a short read is no end of file
    checksum->update(compareBuffer->data(), 0, static_cast<int32_t>(stepLength));
  }
  compared = stepStart + stepLength;
  stepLength = 0;
  progress.fileOffset(shownOffset(compared));
  const bool match = compared > stepStart && syncAck.fingerprintMode == owner.fingerprintMode() &&
                     syncAck.fingerprint == checksum->getValue();
  if (match && syncAck.fingerprintLength != syncAck.bytesWritten) return;  // more of the copy to compare
  decide(match ? compared : syncAck.appendMode == 1 ? stepStart : 0);
}

// ---- the receiver's own comparison ----

// First what it holds, then, once it has seen this side's fingerprints of that prefix, where to
// resume.
void CopyRequestHandler::File::takeComparisonAck(const FileAck& ack) {
  if (heldByReceiver < 0) {
    if (ack.fingerprintLength != 0 || ack.bytesWritten < 0 || ack.bytesWritten > entry.size)
      return fail(Message::UNEXPECTED_ERROR, "sync: wrong held length");
    heldByReceiver = ack.bytesWritten;
    if (heldByReceiver == 0) decide(0);
    return;  // else the steps are read from proceed
  }
  // Only a point this side has sent the fingerprints up to can be the receiver's answer.
  const int64_t resume = ack.bytesWritten;
  if (ack.fingerprintLength != resume || resume < 0 || resume > compared)
    return fail(Message::UNEXPECTED_ERROR, "sync: wrong resume point");
  if (io == Io::Read) {
    answer = resume;  // taken once the step being read is in
    return;
  }
  decide(resume);
}

void CopyRequestHandler::File::readOwnStep() {
  stepStart = compared;
  stepLength = std::min(MAX_FINGERPRINT_LENGTH, heldByReceiver - compared);
  stepRead = 0;
  readStep();
}

// One step of this side's prefix goes out as its fingerprint; the next is read at once, so the
// receiver compares while this side reads.
void CopyRequestHandler::File::sendOwnStep(int len) {
  if (answer >= 0) return decide(answer);
  if (len <= 0) return fail(Message::FILE_READ_ERROR, kFileChanged);
  stepRead += len;
  if (stepRead < stepLength) return readStep();
  checksum->update(compareBuffer->data(), 0, static_cast<int32_t>(stepLength));
  compared = stepStart + stepLength;
  progress.fileOffset(shownOffset(compared));
  auto step = std::make_unique<FileAck>();
  step->status = Message::CONTINUE;
  step->filePath = owner.relativePath(entry.path);
  step->fileName = name();
  step->bytesWritten = heldByReceiver;
  step->totalSize = entry.size;
  step->fingerprint = checksum->getValue();
  step->fingerprintLength = compared;
  step->appendMode = 1;
  step->fingerprintMode = owner.fingerprintMode();
  owner.queue(std::move(step), this);
  if (compared < heldByReceiver) readOwnStep();
}

void CopyRequestHandler::File::releaseCompareBuffer() {
  compareBuffer.reset();
  if (budgeted == 0) return;
  owner.returnCompareBudget(budgeted);
  budgeted = 0;
}

void CopyRequestHandler::File::decide(int64_t resume) {
  owner.dropFingerprintsOf(this);  // fingerprints the receiver no longer needs stay here
  releaseCompareBuffer();
  checksum.reset();
  current = Phase::Decided;
  resumeAt = loadedEnd = sentEnd = resume;
  progress.fileInit("Send", owner.ticket.code, context()->username(), owner.ticket.toUsername, name(), entry.path,
                    entry.size, shownOffset(resume));
}

// ---- the data ----

// Read ahead in pieces while the budget allows; the file whose chunks go out now may always
// hold two. After the last piece, the file must still be as the scan found it.
void CopyRequestHandler::File::load() {
  if (!opened) return open();
  if (loadedEnd == entry.size) {
    if (unchanged) return;
    io = Io::Stat;
    file->stats();
    return;
  }
  const auto size = static_cast<int32_t>(std::min<int64_t>(DISK_PIECE, entry.size - loadedEnd));
  const bool turn = current == Phase::Sending && pieces.size() < 2;
  if (!turn && owner.loadedBytes + size > SEND_LOADED_BYTES) return;
  pieces.push_back(std::make_shared<Piece>(size));
  owner.loadedBytes += size;
  io = Io::Load;
  file->read(pieces.back()->bytes.get(), size, loadedEnd, pieces.back());
}

void CopyRequestHandler::File::takeLoaded(int len) {
  if (len <= 0) return fail(Message::FILE_READ_ERROR, kFileChanged);
  Piece& piece = *pieces.back();
  piece.filled += len;
  if (piece.filled < piece.size) {  // a short read is no end of file
    io = Io::Load;
    file->read(piece.bytes.get() + piece.filled, piece.size - piece.filled, loadedEnd + piece.filled, pieces.back());
    return;
  }
  loadedEnd += piece.size;
}

void CopyRequestHandler::File::checkUnchanged(const uv_stat_t& stats) {
  if (p2p::UvFile::size(stats) != entry.size || !sameTime(stats.st_mtim, entry.mtime))
    return fail(Message::FILE_READ_ERROR, kFileChanged);
  unchanged = true;
}

// Nothing to send needs the file unchanged before its resume point can say so.
bool CopyRequestHandler::File::decisionDue() const {
  return current == Phase::Decided && !decisionSent && (resumeAt < entry.size || unchanged);
}

void CopyRequestHandler::File::sendDecision() {
  std::unique_ptr<FileCreate> decision = announcement(0);
  if (!context()->send(decision.get())) throw std::runtime_error("can't send to peer");
  decisionSent = true;
  current = resumeAt == entry.size ? Phase::Sent : Phase::Sending;
}

// One FILE_WRITE from the data read ahead, written straight into the send buffer after the
// frame's header; false when nothing is ready. The last chunk waits for the file's check.
bool CopyRequestHandler::File::sendChunk() {
  if (current != Phase::Sending || loadedEnd == sentEnd) return false;
  ByteBuffer* buffer = context()->getSendBuffer();
  const int64_t room = buffer->capacity() - FileWrite::getDataOffset();
  const auto length = static_cast<int32_t>(std::min(loadedEnd - sentEnd, room));
  if (sentEnd + length == entry.size && !unchanged) return false;
  char* to = reinterpret_cast<char*>(buffer->array()) + FileWrite::getDataOffset();
  for (int32_t done = 0; done < length;) {
    Piece& piece = *pieces.front();
    const auto n = static_cast<int32_t>(std::min<size_t>(piece.size - frontUsed, length - done));
    std::memcpy(to + done, piece.bytes.get() + frontUsed, static_cast<size_t>(n));
    done += n;
    frontUsed += static_cast<size_t>(n);
    if (frontUsed == static_cast<size_t>(piece.size)) {
      pieces.pop_front();
      frontUsed = 0;
    }
  }
  FileWrite write;
  write.offset = sentEnd;
  write.length = length;
  if (!context()->send(&write)) throw std::runtime_error("can't send to peer");
  sentEnd += length;
  owner.loadedBytes -= length;
  progress.fileOffset(shownOffset(sentEnd));
  if (sentEnd == entry.size) current = Phase::Sent;
  return true;
}

void CopyRequestHandler::File::receiverHasIt() {
  progress.fileOffset(entry.size);
  current = Phase::Done;
  file.reset();
}

void CopyRequestHandler::File::fail(int32_t status, const std::string& reason) { owner.fail(status, reason); }

// A file shows complete only when the receiver has confirmed it.
int64_t CopyRequestHandler::File::shownOffset(int64_t value) const {
  return entry.size > 0 ? std::min(value, entry.size - 1) : value;
}

}  // namespace net
