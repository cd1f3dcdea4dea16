#include "net/handlers/CopyRecvHandler.h"

#include <algorithm>
#include <exception>
#include <functional>
#include <utility>

#include "net/handlers/CopyRules.h"
#include "net/messages/CopyPause.h"
#include "net/messages/CopyRequest.h"
#include "net/messages/CopyResponse.h"
#include "net/messages/FileAck.h"
#include "net/messages/FileWrite.h"
#include "p2p/uv/UvLog.h"
#include "p2p/uv/UvLoop.h"
#include "utils/Checksums.h"
#include "utils/Utils.h"

namespace net {

namespace {

// The sender's answers that trying again cannot change.
bool isRefusal(int32_t status) {
  return status == Message::NOT_FOUND || status == Message::END || status == Message::PERMISSION_DENIED_READ ||
         status == Message::PERMISSION_DENIED_WRITE;
}

// Failures of our own files that will still be there next time: a file where a folder is
// wanted, a folder nobody may write in.
bool isLasting(int status) {
  return status == UV_ENOTDIR || status == UV_EACCES || status == UV_EPERM || status == UV_EROFS;
}

}  // namespace

CopyRecvHandler::CopyRecvHandler(IContext* context, const std::string& ticket, const std::string& username,
                                 const std::string& uuid, const std::string& path,
                                 std::shared_ptr<ReceiveMemory> memory)
    : IHandler(context),
      ticket(ticket),
      username(username),
      uuid(uuid),
      path(path),
      requestedName(p2p::UvFile::getName(normalisedPath(path))),
      receiveFolder(normalisedPath(context->recvPath())),
      memory(memory ? std::move(memory) : std::make_shared<ReceiveMemory>()),
      progress(context) {
  handlerName = "CopyRecvHandler";
}

CopyRecvHandler::~CopyRecvHandler() = default;

bool CopyRecvHandler::recvReady() const {
  switch (state) {
    case State::Locating:
    case State::Preparing:
    case State::Finishing:
      return false;
    case State::Receiving:
    case State::Closing:
      return io != Io::Write;  // the frame being written is still in the receive buffer
    default:
      return true;
  }
}

// Whatever a step throws ends this copy with the text.
template <class F>
void CopyRecvHandler::guarded(F&& step) {
  try {
    step();
  } catch (const std::exception& e) {
    UV_LOG("WARN") << handlerName << ": " << e.what();
    io = Io::None;  // a request that threw was never started: no completion will come
    fail(e.what());
  }
  context->recvReadyAgain();  // a completed request may have made room for the next frame
}

// ---- events ----

void CopyRecvHandler::handleSend() {
  guarded([this] {
    if (state == State::Created) sendRequest();
    flushOutbox();
    advance();
  });
}

void CopyRecvHandler::handleRecv(const Message* m) {
  guarded([&] {
    if (state == State::Closing || state == State::Done) return;
    waitForPeer();
    const int32_t opcode = m->getOpcode();
    auto unexpected = [opcode] { return Utils::format("unexpected message opcode %d", opcode); };
    if (opcode == Message::FILE_ACK) {
      const auto& ack = *static_cast<const FileAck*>(m);
      const bool step = receiverCompares && ack.status == Message::CONTINUE && ack.reason.empty();
      if (step && state == State::Comparing) {
        takePeerStep(ack);
        advance();
      } else if (!(step && state == State::AwaitingData)) {  // a step sent before our answer came
        takeSenderAck(ack);
      }
      return;
    }
    switch (state) {
      case State::Requesting:
        if (opcode != Message::COPY_RESPONSE) return fail(unexpected());
        takeCopyResponse(*static_cast<const CopyResponse*>(m));
        break;
      case State::AwaitingFile: {
        if (opcode != Message::FILE_CREATE) return fail(unexpected());
        const auto& create = *static_cast<const FileCreate*>(m);
        if (create.sync < 1) return refuse("FILE_CREATE sync 0 without sync 1");
        if (create.sync > SYNC_RECEIVER_COMPARES) return refuse("FILE_CREATE sync " + std::to_string(create.sync));
        takeAnnouncement(create);
        break;
      }
      case State::Comparing:
        return refuse("resume point before the comparison was answered");
      case State::Fingerprinting:
      case State::AwaitingData: {
        const auto* create = opcode == Message::FILE_CREATE ? static_cast<const FileCreate*>(m) : nullptr;
        if (!create || create->sync >= 1) return fail("sync: wrong message type");
        takeDecision(*create);
        break;
      }
      case State::Receiving:
        if (opcode == Message::FILE_WRITE) {
          takeFileWrite(*static_cast<const FileWrite*>(m));
        } else if (opcode == Message::COPY_PAUSE) {
          fail("Paused");
        } else {
          fail(unexpected());
        }
        break;
      default:
        fail(unexpected());
    }
    advance();
  });
}

void CopyRecvHandler::pause() {
  guarded([this] {
    if (state == State::Closing || state == State::Done) return;
    pauseAsked = true;
    if (state == State::Created) {
      close("Paused", false);
      return;
    }
    advance();
  });
}

void CopyRecvHandler::handleTimer() {
  guarded([this] {
    if (!waitingForPeer() || now() - waitSince <= waitAllowance) return;
    if (state == State::Closing) {
      outbox.clear();  // nobody takes it; end with the reason already given
      closeWhenIdle();
      return;
    }
    fail("transfer stalled");
  });
}

// Each completion first records what it brought; a pause asked meanwhile then takes effect
// before anything new is started.

void CopyRecvHandler::handleFileOpen() {
  guarded([this] {
    if (completed()) return;
    if (pauseAsked) return advance();
    switch (opening) {
      case Opening::Held:
        if (receiverCompares) {
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
        } else {
          copyPrefix();
        }
        break;
    }
    advance();
  });
}

void CopyRecvHandler::handleFileError(int status, const std::string& msg) {
  guarded([&] {
    const Io failed = io;
    if (completed()) return;
    const bool lasting = isLasting(status) || (failed == Io::Mkdirs && status == UV_EEXIST);
    const std::string reason = msg + ": " + finalPath;
    if (lasting) {
      refuse(reason);
    } else {
      fail(reason);
    }
  });
}

void CopyRecvHandler::handleFileRead(char*, int len) {
  guarded([&] {
    if (completed()) return;
    if (state == State::Fingerprinting || state == State::Comparing) {
      takeStep(len);
    } else if (state == State::Preparing) {
      if (len <= 0) return fail("the held file changed: " + finalPath);
      stepRead += len;
      if (pauseAsked) return advance();
      takePrefixRead();
    }
    advance();
  });
}

void CopyRecvHandler::handleFileWrite(char*, int len) {
  guarded([&] {
    if (completed()) return;
    if (state == State::Preparing) {
      copied += len;
      if (pauseAsked) return advance();
      copyPrefix();
    } else if (state == State::Receiving) {
      takeWritten(len);
    }
    advance();
  });
}

void CopyRecvHandler::handleFileExists(bool exists, const uv_stat_t& stats) {
  guarded([&] {
    if (completed()) return;
    if (pauseAsked) return advance();
    takeExists(exists, stats);
    advance();
  });
}

void CopyRecvHandler::handleFileMkdirs() {
  guarded([this] {
    if (completed()) return;
    if (pauseAsked) return advance();
    openTarget();
  });
}

void CopyRecvHandler::handleFileTruncate() {
  guarded([this] {
    if (completed()) return;
    startReceiving();
    advance();
  });
}

// A rename that completes has made the file whole, pause or not: once its folder is on the
// disk too, its final ack goes out first.
void CopyRecvHandler::handleFileRename() {
  guarded([this] {
    if (completed()) return;
    io = Io::FlushFolder;
    context->files()->flushFolder(p2p::UvFile::getDir(finalPath), this);
  });
}

void CopyRecvHandler::handleFileFlush(const uv_stat_t& stats) {
  guarded([&] {
    const Io done = io;
    if (completed()) return;
    if (done == Io::Flush) {
      renameWhole(stats);
      return;
    }
    memory->complete(finalPath, flushedStats);
    fileComplete();
    advance();
  });
}

void CopyRecvHandler::handleFileRemove() {
  guarded([this] {
    if (completed()) return;
    if (pauseAsked) return advance();
    lookAtFinalName();
  });
}

// Each file result first marks its request done (our own work does not count against the
// sender); true when the handler is closing and was waiting only for that.
bool CopyRecvHandler::completed() {
  io = Io::None;
  waitForPeer();
  if (state != State::Closing) return false;
  closeWhenIdle();
  return true;
}

// What follows by itself once nothing is in flight: a pause, the next fingerprint step, the end
// of the acks, the end of a file.
void CopyRecvHandler::advance() {
  if (state == State::Closing) return closeWhenIdle();
  if (state == State::Done || state == State::Created) return;
  if (pauseAsked) {
    if (io != Io::None) return;  // takes effect when the request completes
    queue(std::make_unique<CopyPause>());
    close("Paused", false);
    return;
  }
  if (state == State::Fingerprinting && io == Io::None && queuedFingerprintAcks == 0) {
    if (fingerprinted < compareSize || stepRead < stepLength) return readStep();
    // Every ack is out. The sender answers once it has read as much of its own file.
    source.reset();
    state = State::AwaitingData;
    waitForPeer(STALL_MS + STALL_PER_STEP_MS * stepsReported);
  } else if (state == State::Comparing && io == Io::None) {
    if (fingerprinted < compareSize || stepRead < stepLength) readStep();
  } else if (state == State::Receiving && io == Io::None && written == announced.size && !finished) {
    finishFile();
  }
}

// ---- the request ----

void CopyRecvHandler::sendRequest() {
  state = State::Requesting;
  stallTimer = std::make_unique<p2p::UvTimer>(context->loop());
  stallTimer->start(STALL_CHECK_MS, STALL_CHECK_MS, this);
  waitForPeer();
  if (receiveFolder.empty()) return refuse("no receive folder");
  const std::string why = refusedName(requestedName);
  if (!why.empty()) return refuse("requested path: " + why);

  auto request = std::make_unique<CopyRequest>();
  request->uuid = context->uuid();
  request->fromUuid = uuid;
  request->toUuid = context->uuid();
  request->id = static_cast<int64_t>(std::hash<std::string>{}(context->username() + path));
  request->fromPath = path;
  request->serverPort = 0;
  request->direction = 1;
  request->sync = 1;
  request->print = PRINT_SHA256 | PRINT_RECEIVER_COMPARES;
  request->myUserName = context->username();
  context->makeSignature(uuid, request->mySignature);
  request->myComputerName = context->computerName();
  request->ticket = ticket;
  UV_LOG("1") << *request;
  queue(std::move(request));
}

void CopyRecvHandler::takeCopyResponse(const CopyResponse& response) {
  if (response.status == Message::CONTINUE) {
    if (response.totalFiles < 0 || response.totalBytes < 0) return refuse("negative size in COPY_RESPONSE");
    progress.totalFiles = response.totalFiles;
    progress.totalSize = response.totalBytes;
    state = State::AwaitingFile;
    return;
  }
  const std::string reason =
      response.reason.empty() ? "refused by the sender (status " + std::to_string(response.status) + ")" : response.reason;
  if (isRefusal(response.status)) {
    refuse(reason);
  } else {
    fail(reason);
  }
}

// The sender stopped: its reason, never an empty one (that would read as success).
void CopyRecvHandler::takeSenderAck(const FileAck& ack) {
  const std::string reason =
      ack.reason.empty() ? "sender stopped (status " + std::to_string(ack.status) + ")" : ack.reason;
  if (ack.status != Message::END && isRefusal(ack.status)) {
    refuse(reason);
  } else {
    fail(reason);
  }
}

// ---- one file: where it goes and what is held of it ----

void CopyRecvHandler::takeAnnouncement(const FileCreate& create) {
  if (create.size < 0 || create.remainingFiles < 0) return refuse("negative number in FILE_CREATE");
  const std::string why = checkNames(create);
  if (!why.empty()) return refuse(why);
  // A second comparison of the same file on one connection would be a second guess at it.
  if (!announcedHere.insert(finalPath).second) return refuse("the same file announced twice: " + finalPath);
  announced = create;
  receiverCompares = create.sync == SYNC_RECEIVER_COMPARES;
  held = Held::None;
  heldLength = compareSize = 0;
  tempLength = finalLength = -1;
  fingerprinted = stepsReported = 0;
  ownSteps.clear();
  peerSteps.clear();
  answered = -1;
  resumeAt = copied = written = 0;
  acked = finished = false;
  source.reset();
  target.reset();
  checksum.reset();
  buffer.reset();
  progress.fileInit("Sync", ticket, username, context->username(), announced.fileName, finalPath, announced.size, 0);
  state = State::Locating;
  looking = Looking::Temp;
  io = Io::Exists;
  context->files()->exists(tempPath, this);
}

// Sets finalPath and tempPath, or says why the names cannot be written: every name is one plain
// component, and the file lies below the requested path's own name in the receive folder.
std::string CopyRecvHandler::checkNames(const FileCreate& create) {
  std::string why = refusedFileName(create.fileName);
  if (!why.empty()) return "refused file name: " + why;
  std::string folder = receiveFolder == "/" ? "" : receiveFolder;
  if (create.path.empty()) {
    if (create.fileName != requestedName) return "refused file name: not the requested file";
  } else {
    const std::vector<std::string> parts = splitPath(create.path);
    for (const std::string& part : parts) {
      why = refusedName(part);
      if (!why.empty()) return "refused folder name: " + why;
    }
    if (parts.front() != requestedName) return "refused folder: not under the requested folder";
    for (const std::string& part : parts) folder += "/" + part;
  }
  finalPath = folder + "/" + create.fileName;
  tempPath = folder + "/" + TEMP_PREFIX + create.fileName;
  return "";
}

// Neither a folder nor a link is a copy of the file. A folder stops the file for good; a link
// under the final name is replaced by the rename like any other file there; a link under the
// temporary name would be written through, so it goes first.
void CopyRecvHandler::takeExists(bool exists, const uv_stat_t& stats) {
  const std::string& looked = looking == Looking::Temp ? tempPath : finalPath;
  if (exists && p2p::UvFile::isDir(stats)) return refuse("a folder stands where the file goes: " + looked);
  const bool regular = exists && !p2p::UvFile::isLink(stats);
  if (looking == Looking::Final) {
    if (regular) {
      finalLength = p2p::UvFile::size(stats);
      finalStats = stats;
    }
    chooseHeld();
    return openHeld();
  }
  if (regular) tempLength = p2p::UvFile::size(stats);
  if (exists && !regular) {
    UV_LOG("WARN") << "removing the link " << tempPath;
    io = Io::Remove;
    context->files()->remove(tempPath, this);
    return;
  }
  lookAtFinalName();
}

// Looked at too: a folder there would stop the rename.
void CopyRecvHandler::lookAtFinalName() {
  looking = Looking::Final;
  io = Io::Exists;
  context->files()->exists(finalPath, this);
}

// What may be compared, and how much of it. A copy longer than the file is none of it.
void CopyRecvHandler::chooseHeld() {
  const int64_t size = announced.size;
  held = Held::None;
  heldLength = 0;
  if (tempLength >= 0 && tempLength <= size) {
    held = Held::Temp;
    heldLength = tempLength;
  } else if (finalLength >= 0 && finalLength <= size &&
             (receiverCompares || (finalLength == size && memory->completedHere(finalPath, finalStats)))) {
    held = Held::Final;
    heldLength = finalLength;
  }
  compareSize = heldLength;
  // The sender's comparison sees only whole steps of what is still being received.
  if (!receiverCompares && held == Held::Temp) compareSize = heldLength / MAX_FINGERPRINT_LENGTH * MAX_FINGERPRINT_LENGTH;
}

void CopyRecvHandler::openHeld() {
  if (compareSize == 0) return receiverCompares ? startComparing() : startFingerprints();
  opening = Opening::Held;
  io = Io::Open;
  source = context->files()->open(held == Held::Temp ? tempPath : finalPath,
                                  p2p::UvFile::noFollow(p2p::UvFile::READ), this);
}

// ---- fingerprints of the held copy ----

void CopyRecvHandler::startFingerprints() {
  state = State::Fingerprinting;
  checksum = newFingerprint(announced.fingerprintMode);
  fingerprinted = 0;
  stepRead = stepLength = 0;  // nothing left over from the previous file
  if (compareSize == 0) {
    queueFingerprintAck();  // nothing held: one ack says so
    return;
  }
  buffer = std::make_shared<std::vector<int8_t>>(static_cast<size_t>(std::min(MAX_FINGERPRINT_LENGTH, compareSize)));
}

void CopyRecvHandler::readStep() {
  if (stepRead == stepLength) {
    stepLength = std::min(MAX_FINGERPRINT_LENGTH, compareSize - fingerprinted);
    stepRead = 0;
  }
  io = Io::Read;
  source->read(reinterpret_cast<char*>(buffer->data()) + stepRead, static_cast<int>(stepLength - stepRead),
               fingerprinted + stepRead, buffer);
}

// A step is checksummed in one piece, as the sender does, since Fletcher64 groups its words
// from the start of each call. A copy that turns out shorter than it was (it shrank meanwhile)
// holds only the steps read whole: the last ack says so, or the comparison ends there.
void CopyRecvHandler::takeStep(int len) {
  if (len > 0) {
    stepRead += len;
    if (stepRead < stepLength) return;  // a short read is no end of file: the rest is read next
  } else {
    stepRead = stepLength = 0;
    compareSize = heldLength = fingerprinted;
    if (state == State::Comparing) return answerResume(matched == 0 ? 0 : stepEnd(matched - 1));
    return queueFingerprintAck();
  }
  checksum->update(buffer->data(), 0, static_cast<int32_t>(stepRead));
  fingerprinted += stepRead;
  stepRead = stepLength = 0;
  progress.fileOffset(shownOffset(fingerprinted));
  if (state == State::Comparing) {
    ownSteps.push_back(checksum->getValue());
    return compareSteps();
  }
  queueFingerprintAck();
}

void CopyRecvHandler::queueFingerprintAck() {
  std::unique_ptr<FileAck> ack = fileAck(Message::CONTINUE);
  ack->bytesWritten = compareSize;
  ack->fingerprint = checksum->getValue();
  ack->fingerprintLength = fingerprinted;
  ++stepsReported;
  queue(std::move(ack), true);
}

// ---- the receiver's comparison ----

// Says how much is held; the sender then sends its fingerprints of that prefix, step by step,
// while this side reads the same steps of its copy. Nothing held needs no answer: the sender
// gives the resume point 0 at once.
void CopyRecvHandler::startComparing() {
  state = State::Comparing;
  checksum = newFingerprint(announced.fingerprintMode);
  fingerprinted = 0;
  stepRead = stepLength = 0;
  matched = 0;
  std::unique_ptr<FileAck> ack = fileAck(Message::CONTINUE);
  ack->bytesWritten = compareSize;
  queue(std::move(ack));
  if (compareSize == 0) {
    answered = 0;
    state = State::AwaitingData;
    waitForPeer();
    return;
  }
  buffer = std::make_shared<std::vector<int8_t>>(static_cast<size_t>(std::min(MAX_FINGERPRINT_LENGTH, compareSize)));
  waitForPeer(STALL_MS + STALL_PER_STEP_MS * stepCount());
}

int64_t CopyRecvHandler::stepCount() const {
  return (compareSize + MAX_FINGERPRINT_LENGTH - 1) / MAX_FINGERPRINT_LENGTH;
}

int64_t CopyRecvHandler::stepEnd(size_t step) const {
  return std::min(static_cast<int64_t>(step + 1) * MAX_FINGERPRINT_LENGTH, compareSize);
}

void CopyRecvHandler::takePeerStep(const FileAck& step) {
  const size_t next = peerSteps.size();
  if (static_cast<int64_t>(next) >= stepCount() || step.fingerprintLength != stepEnd(next) ||
      step.bytesWritten != compareSize)
    return refuse("fingerprint for another step");
  peerSteps.push_back(step.fingerprint);
  waitForPeer(STALL_MS + STALL_PER_STEP_MS * (stepCount() - static_cast<int64_t>(next)));
  compareSteps();
}

// Answers at the first step that differs, or once every step is known to match.
void CopyRecvHandler::compareSteps() {
  for (; matched < ownSteps.size() && matched < peerSteps.size(); ++matched) {
    if (ownSteps[matched] != peerSteps[matched]) return answerResume(matched == 0 ? 0 : stepEnd(matched - 1));
  }
  if (static_cast<int64_t>(matched) == stepCount()) answerResume(compareSize);
}

// The resume point alone goes back: whether the sender's guess of the held prefix was right,
// and nothing it could test other guesses against.
void CopyRecvHandler::answerResume(int64_t resume) {
  int& ends = memory->endsAfterComparison[path];
  if (ends >= ReceiveMemory::MAX_ENDS_AFTER_COMPARISON)
    return refuse("the sender ended " + std::to_string(ends) + " times in a row after the comparison");
  ++ends;  // until its data comes
  answered = resume;
  // A step still being read goes on filling its own buffer on the pool; nothing waits for it.
  source.reset();
  buffer.reset();
  stepRead = stepLength = 0;
  io = Io::None;
  std::unique_ptr<FileAck> ack = fileAck(Message::CONTINUE);
  ack->bytesWritten = resume;
  ack->fingerprintLength = resume;
  ack->appendMode = 1;
  queue(std::move(ack));
  state = State::AwaitingData;
  waitForPeer();
}

// ---- the sender's resume point ----

void CopyRecvHandler::takeDecision(const FileCreate& decision) {
  if (decision.path != announced.path || decision.fileName != announced.fileName || decision.size != announced.size)
    return refuse("FILE_CREATE sync 0 for another file");
  const int64_t resume = decision.append == 1 ? decision.appendLength : 0;
  if (resume < 0) return refuse("negative resume point");
  if (receiverCompares && resume != answered) return refuse("resume point other than the one answered");
  if (resume > fingerprinted && !receiverCompares) return refuse("resume point beyond what is held");
  // Acks not yet out are of no use to the sender any more; a step being read is dropped.
  for (auto it = outbox.begin(); it != outbox.end();) {
    if (it->second) {
      it = outbox.erase(it);
    } else {
      ++it;
    }
  }
  queuedFingerprintAcks = 0;
  // A step still being read goes on filling its own buffer on the pool: it keeps it, and what
  // follows reads into a fresh one.
  source.reset();
  buffer.reset();
  stepRead = stepLength = 0;
  io = Io::None;
  resumeAt = written = resume;
  if (held == Held::Final && resume == announced.size && heldLength == announced.size) {
    state = State::Finishing;  // the final-name file is the whole file: nothing is written
    finished = true;
    memory->complete(finalPath, finalStats);
    fileComplete();
    return;
  }
  state = State::Preparing;
  prepareTarget();
}

// The data always goes to the temporary name. A held temporary file is cut to the resume point;
// of a held final-name file the matching prefix is copied to a new temporary file first.
void CopyRecvHandler::prepareTarget() {
  switch (held) {
    case Held::None:
      io = Io::Mkdirs;
      context->files()->mkdirs(p2p::UvFile::getDir(tempPath), this);
      break;
    case Held::Temp:
      openTarget();
      break;
    case Held::Final:
      if (resumeAt == 0) return openTarget();
      opening = Opening::PrefixSource;
      io = Io::Open;
      source = context->files()->open(finalPath, p2p::UvFile::noFollow(p2p::UvFile::READ), this);
      break;
  }
}

void CopyRecvHandler::openTarget() {
  opening = Opening::Target;
  io = Io::Open;
  const p2p::UvFile::Access access = held == Held::Temp ? p2p::UvFile::WRITE : p2p::UvFile::WRITE_TRUNCATE;
  target = context->files()->open(tempPath, p2p::UvFile::noFollow(access), this);
}

void CopyRecvHandler::copyPrefix() {
  if (copied == resumeAt) {
    source.reset();
    buffer.reset();
    return startReceiving();
  }
  if (!buffer)
    buffer = std::make_shared<std::vector<int8_t>>(static_cast<size_t>(std::min(MAX_FINGERPRINT_LENGTH, resumeAt)));
  pieceLength = static_cast<int32_t>(std::min<int64_t>(static_cast<int64_t>(buffer->size()), resumeAt - copied));
  stepRead = 0;
  takePrefixRead();
}

// Reads the rest of the piece in hand, or writes it once it is whole.
void CopyRecvHandler::takePrefixRead() {
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

void CopyRecvHandler::startReceiving() {
  state = State::Receiving;
  written = resumeAt;
  if (written < announced.size)
    progress.fileInit("Recv", ticket, username, context->username(), announced.fileName, finalPath, announced.size,
                      written);
  waitForPeer();
}

void CopyRecvHandler::takeFileWrite(const FileWrite& write) {
  if (write.length <= 0) return refuse("empty FILE_WRITE");
  if (write.offset != written) return refuse("wrong offset");
  if (write.length > announced.size - written) return refuse("FILE_WRITE past the file's size");
  io = Io::Write;
  // Written straight from the receive buffer, which stays allocated until the write is done.
  target->write(reinterpret_cast<const char*>(write.data), write.length, write.offset, context->holdBuffers());
}

void CopyRecvHandler::takeWritten(int len) {
  memory->endsAfterComparison[path] = 0;  // the sender sends, it does not only ask
  written += len;
  progress.fileOffset(shownOffset(written));
  if (written < announced.size) sendProgressAck();
}

// The first write that leaves the file incomplete is acknowledged at once, later ones at most
// every ACK_PERIOD_MS; an ack that finds the send buffer busy is skipped.
void CopyRecvHandler::sendProgressAck() {
  const int64_t t = now();
  if (acked && t - ackTime <= ACK_PERIOD_MS) return;
  if (!outbox.empty() || !context->canSend()) return;
  std::unique_ptr<FileAck> ack = fileAck(Message::CONTINUE);
  ack->bytesWritten = written;
  ack->fingerprintLength = announced.size;
  if (!context->send(ack.get())) return;
  acked = true;
  ackTime = t;
}

// The data reaches the disk before the name does: a power loss leaves the old file or the whole
// new one, never an empty file under the final name.
void CopyRecvHandler::finishFile() {
  finished = true;
  state = State::Finishing;
  io = Io::Flush;
  target->flush();
}

void CopyRecvHandler::renameWhole(const uv_stat_t& flushed) {
  flushedStats = flushed;
  target.reset();
  io = Io::Rename;
  UV_LOG("1") << "Recv::handleFileRename " << tempPath << " " << finalPath;
  context->files()->rename(tempPath, finalPath, this);
}

// The file is whole under its final name: the final ack, kept until it can go out, then the
// next file or the end.
void CopyRecvHandler::fileComplete() {
  memory->endsAfterComparison[path] = 0;
  if (progress.getState() == "Recv") {
    progress.fileOffset(announced.size);
  } else {
    progress.fileInit("Recv", ticket, username, context->username(), announced.fileName, finalPath, announced.size,
                      announced.size);
  }
  std::unique_ptr<FileAck> ack = fileAck(announced.remainingFiles != 0 ? Message::CONTINUE : Message::END);
  ack->bytesWritten = announced.size;
  ack->fingerprintLength = announced.size;
  queue(std::move(ack));
  if (announced.remainingFiles < 1) return close("", true);
  state = State::AwaitingFile;
  waitForPeer();
}

// ---- sending and ending ----

std::unique_ptr<FileAck> CopyRecvHandler::fileAck(int32_t status) const {
  auto ack = std::make_unique<FileAck>();
  ack->status = status;
  ack->filePath = announced.path;
  ack->fileName = announced.fileName;
  ack->totalSize = announced.size;
  ack->appendMode = announced.appendMode;
  ack->fingerprintMode = announced.fingerprintMode;
  return ack;
}

void CopyRecvHandler::queue(std::unique_ptr<Message> m, bool fingerprint) {
  outbox.emplace_back(std::move(m), fingerprint);
  if (fingerprint) ++queuedFingerprintAcks;
  flushOutbox();
}

void CopyRecvHandler::flushOutbox() {
  while (!outbox.empty() && context->canSend()) {
    if (!context->send(outbox.front().first.get())) return;
    if (outbox.front().second) --queuedFingerprintAcks;
    outbox.pop_front();
  }
}

// A refusal: the same request would be refused again.
void CopyRecvHandler::refuse(const std::string& reason) {
  if (state == State::Closing || state == State::Done) return;
  UV_LOG("WARN") << "copy of " << path << " refused: " << reason;
  finalFailure = true;
  fail(reason);
}

void CopyRecvHandler::fail(const std::string& reason) {
  if (state == State::Closing || state == State::Done) return;
  outbox.clear();  // the sender hears the reason from the connection's end
  queuedFingerprintAcks = 0;
  close(reason, false);
}

void CopyRecvHandler::close(const std::string& reason, bool ok) {
  state = State::Closing;
  endReason = reason;
  endOk = ok;
  closeWhenIdle();
}

// Ends once no file request is in flight and everything queued has been handed to the stream.
void CopyRecvHandler::closeWhenIdle() {
  if (state != State::Closing || io != Io::None) return;
  flushOutbox();
  if (!outbox.empty()) return;
  state = State::Done;
  stallTimer.reset();
  source.reset();
  target.reset();
  if (!endOk) progress.fileEnd(endReason);
  context->close(false, endReason);
}

bool CopyRecvHandler::waitingForPeer() const {
  return io == Io::None && state != State::Created && state != State::Done;
}

void CopyRecvHandler::waitForPeer(int64_t allowanceMs) {
  waitSince = now();
  waitAllowance = allowanceMs;
}

int64_t CopyRecvHandler::now() const { return static_cast<int64_t>(context->loop()->now()); }

// A file shows complete only once it is.
int64_t CopyRecvHandler::shownOffset(int64_t value) const {
  return announced.size > 0 ? std::min(value, announced.size - 1) : value;
}

}  // namespace net
