#include "net/handlers/CopyRequestHandler.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "net/handlers/CopyRules.h"
#include "net/handlers/CopySendFile.h"
#include "net/handlers/VerifyVerdict.h"
#include "net/messages/CopyResponse.h"
#include "net/messages/FileCreate.h"
#include "net/messages/FileWrite.h"
#include "p2p/uv/UvLog.h"
#include "p2p/uv/UvLoop.h"
#include "utils/Utils.h"

namespace net {

namespace {

const char* const kNotFound = "Ticket not found";

bool isPermissionError(int status) { return status == UV_EACCES || status == UV_EPERM; }

std::string statusText(int32_t status) { return "status " + std::to_string(status); }

}  // namespace

CopyRequestHandler::CopyRequestHandler(IContext* context, const CopyRequest& request)
    : IHandler(context), request(request), progress(context) {
  handlerName = "CopyRequestHandler";
}

CopyRequestHandler::~CopyRequestHandler() { window.clear(); }

int32_t CopyRequestHandler::fingerprintMode() const {
  return (request.print & PRINT_SHA256) != 0 ? FINGERPRINT_SHA256 : FINGERPRINT_FLETCHER64;
}

bool CopyRequestHandler::receiverCompares() const { return (request.print & PRINT_RECEIVER_COMPARES) != 0; }

bool CopyRequestHandler::pipelined() const { return receiverCompares() && (request.print & PRINT_PIPELINE) != 0; }

CopyRequestHandler::State CopyRequestHandler::getState() const {
  switch (phase) {
    case Phase::Created:
      return State::Created;
    case Phase::Verifying:
      return State::Verifying;
    case Phase::Scanning:
      return State::Scanning;
    case Phase::Closing:
      return State::Closing;
    case Phase::Done:
      return State::Done;
    case Phase::Copying:
      break;
  }
  if (window.empty()) return State::Opening;
  switch (window.front()->phase()) {
    case File::Phase::Opening:
      return State::Opening;
    case File::Phase::Announced:
    case File::Phase::Comparing:
      return State::Comparing;
    default:
      return State::Sending;
  }
}

bool CopyRequestHandler::recvReady() const {
  return std::none_of(window.begin(), window.end(), [](const auto& file) { return file->readsPlainStep(); });
}

// ---- events ----

void CopyRequestHandler::handleSend() {
  guarded([this] {
    if (phase == Phase::Created) start();
  });
}

void CopyRequestHandler::handleRecv(const Message* m) {
  guarded([&] {
    if (phase == Phase::Closing || phase == Phase::Done) return;
    heard();
    switch (m->getOpcode()) {
      case Message::COPY_PAUSE:
        return fail(Message::PAUSED, "Paused");
      case Message::FILE_ACK:
        return takeAck(*static_cast<const FileAck*>(m));
      default:
        // Before the files are known the receiver has nothing to say; what it says is let be.
        if (phase != Phase::Copying) return;
        fail(Message::UNEXPECTED_ERROR, getState() == State::Sending ? "send: wrong message type"
                                                                     : "sync: wrong message type");
    }
  });
}

void CopyRequestHandler::handleServerResponse(const p2p::Server::ServerResponse<bool>& response) {
  guarded([&] {
    if (phase != Phase::Verifying) return;
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

void CopyRequestHandler::handleFileError(int status, const std::string& msg) {
  const Io failed = io;
  io = Io::None;
  guarded([&] {
    if (phase == Phase::Closing) return;
    if (failed == Io::PathStat && status == UV_ENOENT) return fail(Message::NOT_FOUND, msg);
    if (isPermissionError(status)) return fail(Message::PERMISSION_DENIED_READ, msg);
    fail(Message::UNEXPECTED_ERROR, msg);
  });
}

void CopyRequestHandler::handleFileStats(const uv_stat_t& stats) {
  io = Io::None;
  guarded([&] {
    if (phase == Phase::Scanning) takePathStats(stats);
  });
}

void CopyRequestHandler::handleFileScan(std::deque<std::string> names, std::deque<uv_stat_t> stats) {
  io = Io::None;
  guarded([&] {
    if (phase != Phase::Scanning) return;
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
    if (files.empty()) return fail(Message::END, "No Files Found");
    announceFiles();
  });
}

// A receiver that says nothing while this side waits for it is gone: the copy ends, so that it
// holds neither the connection nor the files for good.
void CopyRequestHandler::handleTimer() {
  guarded([this] {
    if (anyFileBusy()) return;
    int64_t allowance = STALL_MS;
    for (const auto& file : window) allowance = std::max(allowance, STALL_MS + file->extraAllowance());
    if (now() - heardAt <= allowance) return;
    if (phase == Phase::Closing) {
      outbox.clear();  // nobody takes it; end with the reason already given
      closeWhenIdle();
      return;
    }
    if (phase == Phase::Copying) fail(Message::TIMEOUT, "transfer stalled");
  });
}

// What follows by itself after any event: more files announced, files moving on, what is queued
// and the data sent, whole files leaving.
void CopyRequestHandler::advance() {
  if (phase == Phase::Closing) return closeWhenIdle();
  if (phase != Phase::Copying) return;
  openWindow();
  for (const auto& file : window) file->proceed();
  sendData();
  if (window.empty() && files.empty() && outbox.empty()) {
    endOk = true;
    endReason.clear();
    phase = Phase::Closing;
    closeWhenIdle();
  }
}

// ---- request, verification, scan ----

void CopyRequestHandler::start() {
  UV_LOG("1") << request;
  // Without a name or a computer there is nobody the web server could vouch for.
  if (request.uuid.empty() || request.myUserName.empty()) return fail(Message::NOT_FOUND, kNotFound);
  ticket = context->findTicket(request.ticket, request.myUserName);
  const bool offered = std::find(ticket.files.begin(), ticket.files.end(), request.fromPath) != ticket.files.end();
  if (ticket.code.empty() || !offered) return fail(Message::NOT_FOUND, kNotFound);
  phase = Phase::Verifying;
  context->verify(request.uuid, request.myUserName, request.mySignature, this);
}

void CopyRequestHandler::scanRequestedPath() {
  phase = Phase::Scanning;
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
  totalFiles = static_cast<int32_t>(files.size());
  response->totalFiles = totalFiles;
  response->totalBytes = totalSize;
  progress.totalFiles = totalFiles;
  progress.totalSize = totalSize;
  UV_LOG("1") << "sendCopyResponse " << *response;
  filesAnnounced = true;
  phase = Phase::Copying;
  queue(std::move(response));
  stallTimer = std::make_unique<p2p::UvTimer>(context->loop());
  stallTimer->start(STALL_CHECK_MS, STALL_CHECK_MS, this);
  heard();
}

// One file at a time for a receiver of the plain exchange; up to the pipeline's bound for one
// that takes it.
void CopyRequestHandler::openWindow() {
  const size_t limit = pipelined() ? PIPELINE_FILES : 1;
  while (window.size() < limit && !files.empty()) {
    Entry next = std::move(files.front());
    files.pop_front();
    window.push_back(std::make_unique<File>(*this, std::move(next), static_cast<int32_t>(files.size())));
    window.back()->start();
  }
}

// ---- the receiver's acknowledgements ----

void CopyRequestHandler::takeAck(const FileAck& ack) {
  File* file = fileFor(ack);
  if (ack.status == Message::END && file && file == window.front().get() && file->isLast() && file->isFinal(ack)) {
    // The receiver's end after the last file: answered in kind, as it expects.
    fileDone(true);
    return;
  }
  if (ack.status != Message::CONTINUE)
    return fail(ack.status, ack.reason.empty() ? "receiver stopped (" + statusText(ack.status) + ")" : ack.reason);
  if (phase != Phase::Copying || !file) return;
  if (file->isFinal(ack)) {
    if (file != window.front().get()) return fail(Message::UNEXPECTED_ERROR, "final ack out of order");
    return fileDone(false);
  }
  file->takeAck(ack);
}

// The file an ack names; a receiver that names none speaks of the oldest.
CopyRequestHandler::File* CopyRequestHandler::fileFor(const FileAck& ack) const {
  for (const auto& file : window)
    if (file->named(ack.filePath, ack.fileName)) return file.get();
  return window.empty() ? nullptr : window.front().get();
}

void CopyRequestHandler::fileDone(bool answerEnd) {
  std::unique_ptr<File> whole = std::move(window.front());
  window.pop_front();
  whole->receiverHasIt();
  context->loop()->deleteSoon(std::move(whole));  // it may be on the stack that brought it here
  if (answerEnd) {
    auto reply = std::make_unique<FileAck>();
    reply->status = Message::END;
    queue(std::move(reply));
  }
}

// The control messages first, then the data of the files in their order: each file's resume
// point, then its chunks, as many as the stream takes now.
void CopyRequestHandler::sendData() {
  flushOutbox();
  while (phase == Phase::Copying && outbox.empty() && context->canSend()) {
    auto next = std::find_if(window.begin(), window.end(), [](const auto& file) {
      return file->phase() != File::Phase::Sent && file->phase() != File::Phase::Done;
    });
    if (next == window.end()) return;
    File& file = **next;
    if (file.decisionDue()) {
      file.sendDecision();
    } else if (!file.sendChunk()) {
      return;
    }
  }
}

// ---- the end ----

void CopyRequestHandler::queue(std::unique_ptr<Message> m, const File* fingerprintOf) {
  outbox.push_back(Outgoing{std::move(m), fingerprintOf});
  flushOutbox();
}

void CopyRequestHandler::dropFingerprintsOf(const File* file) {
  outbox.erase(std::remove_if(outbox.begin(), outbox.end(), [file](const Outgoing& o) { return o.fingerprintOf == file; }),
               outbox.end());
}

void CopyRequestHandler::flushOutbox() {
  while (!outbox.empty() && context->canSend()) {
    if (!context->send(outbox.front().message.get())) return;
    outbox.pop_front();
  }
}

bool CopyRequestHandler::takeCompareBudget(int64_t bytes) {
  if (compareBytes > 0 && compareBytes + bytes > COMPARE_BUFFER_BYTES) return false;
  compareBytes += bytes;
  return true;
}

void CopyRequestHandler::returnCompareBudget(int64_t bytes) { compareBytes -= bytes; }

// Ends the copy with a reason the receiver is told first, in the message it expects now.
void CopyRequestHandler::fail(int32_t status, const std::string& reason) {
  if (phase == Phase::Closing || phase == Phase::Done) return;
  UV_LOG("1") << "sendFileAck " << status << " " << reason;
  phase = Phase::Closing;
  endOk = false;
  endReason = reason.empty() ? statusText(status) : reason;
  outbox.clear();  // what has not gone out yet no longer matters
  if (filesAnnounced) {
    auto ack = std::make_unique<FileAck>();
    ack->status = status;
    ack->reason = endReason;
    outbox.push_back(Outgoing{std::move(ack), nullptr});
  } else {
    auto response = std::make_unique<CopyResponse>();
    response->status = status;
    response->reason = endReason;
    outbox.push_back(Outgoing{std::move(response), nullptr});
  }
  for (const auto& file : window) file->stop();
  closeWhenIdle();
}

bool CopyRequestHandler::anyFileBusy() const {
  return io != Io::None ||
         std::any_of(window.begin(), window.end(), [](const auto& file) { return file->busy(); });
}

// Ends once no file request is in flight and everything queued has been handed to the stream.
void CopyRequestHandler::closeWhenIdle() {
  if (phase != Phase::Closing || anyFileBusy()) return;
  flushOutbox();
  if (!outbox.empty()) return;
  finish();
}

void CopyRequestHandler::finish() {
  phase = Phase::Done;
  stallTimer.reset();
  if (!endOk) {
    if (window.empty()) {
      progress.fileEnd(endReason);
    } else {
      window.front()->reportEnd(endReason);
    }
  }
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

void CopyRequestHandler::heard() { heardAt = now(); }

int64_t CopyRequestHandler::now() const { return static_cast<int64_t>(context->loop()->now()); }

}  // namespace net
