#include "net/handlers/CopyRecvHandler.h"

#include <algorithm>
#include <exception>
#include <functional>
#include <utility>

#include "net/handlers/CopyRecvFile.h"
#include "net/handlers/CopyRules.h"
#include "net/messages/CopyPause.h"
#include "net/messages/CopyRequest.h"
#include "net/messages/CopyResponse.h"
#include "net/messages/FileAck.h"
#include "net/messages/FileWrite.h"
#include "p2p/uv/UvLog.h"
#include "p2p/uv/UvLoop.h"
#include "utils/Utils.h"

namespace net {

namespace {

// The sender's answers that trying again cannot change.
bool isRefusal(int32_t status) {
  return status == Message::NOT_FOUND || status == Message::END || status == Message::PERMISSION_DENIED_READ ||
         status == Message::PERMISSION_DENIED_WRITE;
}

}  // namespace

// One flush of a folder at a time: the files renamed while it runs wait for the next one, which
// covers them all.
class CopyRecvHandler::FolderFlush : private p2p::UvFile::FileCb {
 public:
  FolderFlush(CopyRecvHandler& owner, std::string dir) : owner(owner), dir(std::move(dir)) {}

  void add(File* file) {
    waiting.push_back(file);
    if (flushing.empty()) start();
  }

 private:
  void start() {
    flushing.swap(waiting);
    owner.context->files()->flushFolder(dir, this);
  }
  void handleFileFlush(const uv_stat_t&) override {
    done([](File* file) { file->folderFlushed(); });
  }
  void handleFileError(int, const std::string& msg) override {
    done([&](File* file) { file->folderFlushFailed(msg); });
  }
  template <class Tell>
  void done(Tell&& tell) {
    std::vector<File*> flushed;
    flushed.swap(flushing);
    owner.guarded([&] {
      for (File* file : flushed) tell(file);
      if (!waiting.empty()) start();
    });
  }

  CopyRecvHandler& owner;
  std::string dir;
  std::vector<File*> flushing;  // covered by the flush in flight
  std::vector<File*> waiting;   // renamed since it started
};

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
      memory(memory ? std::move(memory) : std::make_shared<ReceiveMemory>()) {
  handlerName = "CopyRecvHandler";
}

CopyRecvHandler::~CopyRecvHandler() {
  int& ends = memory->endsAfterComparison[path];
  if (movedHere) {
    ends = 0;
  } else if (answeredHere) {
    ++ends;
  }
  // The files first: they give back what they hold of this handler.
  folderFlushes.clear();
  window.clear();
}

CopyRecvHandler::State CopyRecvHandler::getState() const {
  switch (phase) {
    case Phase::Created:
      return State::Created;
    case Phase::Requesting:
      return State::Requesting;
    case Phase::Closing:
      return State::Closing;
    case Phase::Done:
      return State::Done;
    case Phase::Copying:
      break;
  }
  if (window.empty()) return State::AwaitingFile;
  switch (window.front()->phase()) {
    case File::Phase::Locating:
      return State::Locating;
    case File::Phase::Fingerprinting:
      return State::Fingerprinting;
    case File::Phase::Comparing:
      return State::Comparing;
    case File::Phase::AwaitingDecision:
      return State::AwaitingData;
    case File::Phase::Preparing:
      return State::Preparing;
    case File::Phase::Receiving:
      return State::Receiving;
    case File::Phase::Finishing:
    case File::Phase::Complete:
      return State::Finishing;
  }
  return State::AwaitingFile;
}

// Frames are copied out as they come: only data waiting for the disk holds the stream back.
bool CopyRecvHandler::recvReady() const { return buffered <= RECEIVE_BUFFERED_BYTES - DISK_PIECE; }

// ---- events ----

void CopyRecvHandler::handleSend() {
  guarded([this] {
    if (phase == Phase::Created) sendRequest();
    flushOutbox();
  });
}

void CopyRecvHandler::handleRecv(const Message* m) {
  guarded([&] {
    if (phase == Phase::Closing || phase == Phase::Done) return;
    waitForPeer();
    const int32_t opcode = m->getOpcode();
    auto unexpected = [opcode] { return Utils::format("unexpected message opcode %d", opcode); };
    if (opcode == Message::FILE_ACK) return takeStepOrAck(*static_cast<const FileAck*>(m));
    if (phase == Phase::Requesting) {
      if (opcode != Message::COPY_RESPONSE) return fail(unexpected());
      return takeCopyResponse(*static_cast<const CopyResponse*>(m));
    }
    switch (opcode) {
      case Message::FILE_CREATE: {
        const auto& create = *static_cast<const FileCreate*>(m);
        if (create.sync < 1) return takeDecision(create);
        return takeAnnouncement(create);
      }
      case Message::FILE_WRITE:
        return takeData(*static_cast<const FileWrite*>(m));
      case Message::COPY_PAUSE:
        return fail("Paused");
      default:
        return fail(unexpected());
    }
  });
}

void CopyRecvHandler::pause() {
  guarded([this] {
    if (phase == Phase::Closing || phase == Phase::Done) return;
    if (phase == Phase::Created) return close("Paused", false);  // nothing asked of the sender yet
    pauseAsked = true;
  });
}

void CopyRecvHandler::handleTimer() {
  guarded([this] {
    if (!waitingForPeer()) return;
    int64_t allowance = STALL_MS;
    for (const auto& file : window) allowance = std::max(allowance, STALL_MS + file->extraAllowance());
    if (now() - waitSince <= allowance) return;
    if (phase == Phase::Closing) {
      outbox.clear();  // nobody takes it; end with the reason already given
      closeWhenIdle();
      return;
    }
    fail("transfer stalled");
  });
}

// What follows by itself after any event: every file goes on with what it can do, whole files
// leave in order with their final acks, a pause takes effect. It does not wait for a moment with
// nothing in flight, which never comes while data streams in faster than the disk takes it: the
// closing waits for the writes, and the pause message goes last (closeWhenIdle).
void CopyRecvHandler::advance() {
  if (phase == Phase::Done || phase == Phase::Created) return;
  for (const auto& file : window) file->proceed();
  if (phase == Phase::Closing) return closeWhenIdle();
  finishCompleteFiles();
  if (phase != Phase::Copying && phase != Phase::Requesting) return;
  if (pauseAsked) close("Paused", false);
}

void CopyRecvHandler::finishCompleteFiles() {
  while (!window.empty() && window.front()->phase() == File::Phase::Complete) {
    std::unique_ptr<File> whole = std::move(window.front());
    window.pop_front();
    queue(whole->finalAck());
    const bool last = whole->announcement().remainingFiles < 1;
    if (dataFile == whole.get()) dataFile = nullptr;
    // It may be on the stack that brought it here.
    context->loop()->deleteSoon(std::move(whole));
    if (last) return close("", true);
  }
}

// ---- the request ----

void CopyRecvHandler::sendRequest() {
  phase = Phase::Requesting;
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
  request->print = PRINT_SHA256 | PRINT_RECEIVER_COMPARES | PRINT_PIPELINE;
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
    totalFiles = response.totalFiles;
    totalSize = response.totalBytes;
    phase = Phase::Copying;
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

// A fingerprint of the sender's, for the file it names; any other ack says the sender stopped.
void CopyRecvHandler::takeStepOrAck(const FileAck& ack) {
  if (phase == Phase::Copying && ack.status == Message::CONTINUE && ack.reason.empty()) {
    File* file = fileNamed(ack.filePath, ack.fileName);
    if (file && file->receiverCompares()) return file->takePeerStep(ack);
    return refuse("fingerprint for a file not announced");
  }
  takeSenderAck(ack);
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

// ---- the files ----

// A sender in the plain exchange announces one file at a time; one in the receiver's comparison
// may run ahead, up to the pipeline's bound.
void CopyRecvHandler::takeAnnouncement(const FileCreate& create) {
  if (create.sync > SYNC_RECEIVER_COMPARES) return refuse("FILE_CREATE sync " + std::to_string(create.sync));
  if (create.size < 0 || create.remainingFiles < 0) return refuse("negative number in FILE_CREATE");
  if (lastAnnounced) return refuse("a file announced after the last one");
  if (!window.empty()) {
    if (create.sync != SYNC_RECEIVER_COMPARES || !window.back()->receiverCompares())
      return refuse("a file announced before the last one was received");
    if (window.size() >= PIPELINE_FILES) return refuse("more files announced than the pipeline holds");
  }
  std::string finalPath, tempPath;
  const std::string why = checkNames(create, finalPath, tempPath);
  if (!why.empty()) return refuse(why);
  // A second comparison of the same file on one connection would be a second guess at it.
  if (!announcedHere.insert(finalPath).second) return refuse("the same file announced twice: " + finalPath);
  lastAnnounced = create.remainingFiles < 1;
  window.push_back(std::make_unique<File>(*this, create, std::move(finalPath), std::move(tempPath)));
  window.back()->start();
}

// Resume points come in the order of the announcements, each after all data of the file before.
void CopyRecvHandler::takeDecision(const FileCreate& decision) {
  if (dataFile && !dataFile->dataIn()) return refuse("resume point before the data of the file before it");
  auto next = std::find_if(window.begin(), window.end(), [](const auto& file) { return !file->decided(); });
  if (next == window.end()) return refuse("FILE_CREATE sync 0 without sync 1");
  dataFile = next->get();
  dataFile->takeDecision(decision);
}

void CopyRecvHandler::takeData(const FileWrite& write) {
  if (!dataFile || dataFile->dataIn()) return refuse("FILE_WRITE for no file");
  dataFile->takeData(write);
}

CopyRecvHandler::File* CopyRecvHandler::fileNamed(const std::string& path, const std::string& name) const {
  for (const auto& file : window)
    if (file->announcement().path == path && file->announcement().fileName == name) return file.get();
  return nullptr;
}

// Sets both paths, or says why the names cannot be written: every name is one plain component,
// and the file lies below the requested path's own name in the receive folder.
std::string CopyRecvHandler::checkNames(const FileCreate& create, std::string& finalPath, std::string& tempPath) const {
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

void CopyRecvHandler::flushFolder(const std::string& dir, File* file) {
  std::unique_ptr<FolderFlush>& flush = folderFlushes[dir];
  if (!flush) flush = std::make_unique<FolderFlush>(*this, dir);
  flush->add(file);
}

bool CopyRecvHandler::takeCompareBudget(int64_t bytes) {
  if (compareBytes > 0 && compareBytes + bytes > COMPARE_BUFFER_BYTES) return false;
  compareBytes += bytes;
  return true;
}

void CopyRecvHandler::returnCompareBudget(int64_t bytes) { compareBytes -= bytes; }

// ---- sending and ending ----

void CopyRecvHandler::queue(std::unique_ptr<Message> m, const File* fingerprintOf) {
  outbox.push_back(Outgoing{std::move(m), fingerprintOf});
  flushOutbox();
}

void CopyRecvHandler::dropFingerprintsOf(const File* file) {
  outbox.erase(std::remove_if(outbox.begin(), outbox.end(), [file](const Outgoing& o) { return o.fingerprintOf == file; }),
               outbox.end());
}

bool CopyRecvHandler::sendIfIdle(const Message& m) {
  if (!outbox.empty() || !context->canSend()) return false;
  return context->send(&m);
}

void CopyRecvHandler::flushOutbox() {
  while (!outbox.empty() && context->canSend()) {
    if (!context->send(outbox.front().message.get())) return;
    outbox.pop_front();
  }
}

// A refusal: the same request would be refused again.
void CopyRecvHandler::refuse(const std::string& reason) {
  if (phase == Phase::Closing || phase == Phase::Done) return;
  UV_LOG("WARN") << "copy of " << path << " refused: " << reason;
  finalFailure = true;
  fail(reason);
}

void CopyRecvHandler::fail(const std::string& reason) {
  if (phase == Phase::Closing || phase == Phase::Done) return;
  outbox.clear();  // the sender hears the reason from the connection's end
  pauseAsked = false;  // nor does it hear of a pause asked for meanwhile
  close(reason, false);
}

void CopyRecvHandler::close(const std::string& reason, bool ok) {
  phase = Phase::Closing;
  endReason = reason;
  endOk = ok;
  for (const auto& file : window) {
    file->stop();
    file->proceed();  // what is in goes to the disk
  }
  closeWhenIdle();
}

bool CopyRecvHandler::anyFileBusy() const {
  return std::any_of(window.begin(), window.end(), [](const auto& file) { return file->busy(); });
}

// Ends once no file request is in flight (data already in is written, a whole file renamed) and
// everything queued has been handed to the stream. A pause still sends the final acks of the
// files that became whole meanwhile.
void CopyRecvHandler::closeWhenIdle() {
  if (phase != Phase::Closing || anyFileBusy()) return;
  if (endOk || endReason == "Paused") {
    const bool paused = endReason == "Paused";
    std::deque<Outgoing> tail;
    if (paused) tail.swap(outbox);  // the pause goes after the acks of whole files
    while (!window.empty() && window.front()->phase() == File::Phase::Complete) {
      outbox.push_back(Outgoing{window.front()->finalAck(), nullptr});
      context->loop()->deleteSoon(std::move(window.front()));
      window.pop_front();
    }
    for (Outgoing& o : tail) outbox.push_back(std::move(o));
    if (paused && pauseAsked) outbox.push_back(Outgoing{std::make_unique<CopyPause>(), nullptr});
    pauseAsked = false;
  }
  flushOutbox();
  if (!outbox.empty()) return;
  phase = Phase::Done;
  stallTimer.reset();
  if (!endOk) {
    auto unfinished = std::find_if(window.begin(), window.end(),
                                   [](const auto& file) { return file->phase() != File::Phase::Complete; });
    if (unfinished != window.end()) (*unfinished)->reportEnd(endReason);
  }
  context->close(false, endReason);
}

bool CopyRecvHandler::waitingForPeer() const {
  return phase != Phase::Created && phase != Phase::Done && !anyFileBusy();
}

void CopyRecvHandler::waitForPeer() { waitSince = now(); }

int64_t CopyRecvHandler::now() const { return static_cast<int64_t>(context->loop()->now()); }

}  // namespace net
