// A receiver's file: what it holds of the file, and the two ways of finding how much of that
// is the file's own prefix.
#include <algorithm>
#include <utility>

#include "net/handlers/CopyRecvFile.h"
#include "p2p/uv/UvLog.h"
#include "utils/Checksums.h"

namespace net {

// ---- what is held ----

// Neither a folder nor a link is a copy of the file. A folder stops the file for good; a link
// under the final name is replaced by the rename like any other file there; a link under the
// temporary name would be written through, so it goes first.
void CopyRecvHandler::File::takeExists(bool exists, const uv_stat_t& stats) {
  const std::string& looked = looking == Looking::Temp ? tempPath : finalPath;
  if (exists && p2p::UvFile::isDir(stats)) return refuse("a folder stands where the file goes: " + looked);
  const bool regular = exists && !p2p::UvFile::isLink(stats);
  if (exists) owner.knownFolders.insert(p2p::UvFile::getDir(looked));
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
    context()->files()->remove(tempPath, this);
    return;
  }
  lookAtFinalName();
}

// Looked at too: a folder there would stop the rename.
void CopyRecvHandler::File::lookAtFinalName() {
  looking = Looking::Final;
  io = Io::Exists;
  context()->files()->exists(finalPath, this);
}

// What may be compared, and how much of it. A copy longer than the file is none of it.
void CopyRecvHandler::File::chooseHeld() {
  const int64_t size = announced.size;
  held = Held::None;
  heldLength = 0;
  if (tempLength >= 0 && tempLength <= size) {
    held = Held::Temp;
    heldLength = tempLength;
  } else if (finalLength >= 0 && finalLength <= size &&
             (receiverCompares() || (finalLength == size && owner.memory->completedHere(finalPath, finalStats)))) {
    held = Held::Final;
    heldLength = finalLength;
  }
  compareSize = heldLength;
  // The sender's comparison sees only whole steps of what is still being received.
  if (!receiverCompares() && held == Held::Temp)
    compareSize = heldLength / MAX_FINGERPRINT_LENGTH * MAX_FINGERPRINT_LENGTH;
}

void CopyRecvHandler::File::openHeld() {
  if (compareSize == 0) return receiverCompares() ? startComparing() : startFingerprints();
  const int64_t step = std::min(MAX_FINGERPRINT_LENGTH, compareSize);
  if (!owner.takeCompareBudget(step)) {
    awaitsBudget = true;  // too many comparisons at once: this one waits its turn, still Locating
    return;
  }
  budgeted = step;
  buffer = std::make_shared<std::vector<int8_t>>(static_cast<size_t>(step));
  opening = Opening::Held;
  io = Io::Open;
  source = context()->files()->open(held == Held::Temp ? tempPath : finalPath,
                                    p2p::UvFile::noFollow(p2p::UvFile::READ), this);
}

void CopyRecvHandler::File::releaseCompareBuffer() {
  if (budgeted == 0) return;
  owner.returnCompareBudget(budgeted);
  budgeted = 0;
}

// ---- the sender's comparison: fingerprints of the held copy ----

void CopyRecvHandler::File::startFingerprints() {
  current = Phase::Fingerprinting;
  checksum = newFingerprint(announced.fingerprintMode);
  fingerprinted = 0;
  stepRead = stepLength = 0;
  if (compareSize == 0) queueFingerprintAck();  // nothing held: one ack says so
}

void CopyRecvHandler::File::readStep() {
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
void CopyRecvHandler::File::takeStep(int len) {
  if (len > 0) {
    stepRead += len;
    if (stepRead < stepLength) return;  // a short read is no end of file: the rest is read next
  } else {
    stepRead = stepLength = 0;
    compareSize = heldLength = fingerprinted;
    if (current == Phase::Comparing) return answerResume(matched == 0 ? 0 : stepEnd(matched - 1));
    return queueFingerprintAck();
  }
  checksum->update(buffer->data(), 0, static_cast<int32_t>(stepRead));
  fingerprinted += stepRead;
  stepRead = stepLength = 0;
  progress.fileOffset(shownOffset(fingerprinted));
  if (current == Phase::Comparing) {
    ownSteps.push_back(checksum->getValue());
    return compareSteps();
  }
  queueFingerprintAck();
}

void CopyRecvHandler::File::queueFingerprintAck() {
  std::unique_ptr<FileAck> ack = fileAck(Message::CONTINUE);
  ack->bytesWritten = compareSize;
  ack->fingerprint = checksum->getValue();
  ack->fingerprintLength = fingerprinted;
  ++stepsReported;
  owner.queue(std::move(ack), this);
}

// ---- the receiver's comparison ----

// Says how much is held; the sender then sends its fingerprints of that prefix, step by step,
// while this side reads the same steps of its copy. Nothing held needs no answer: the sender
// gives the resume point 0 at once.
void CopyRecvHandler::File::startComparing() {
  current = Phase::Comparing;
  checksum = newFingerprint(announced.fingerprintMode);
  fingerprinted = 0;
  stepRead = stepLength = 0;
  matched = 0;
  std::unique_ptr<FileAck> ack = fileAck(Message::CONTINUE);
  ack->bytesWritten = compareSize;
  owner.queue(std::move(ack));
  if (compareSize == 0) {
    answered = 0;
    current = Phase::AwaitingDecision;
  }
}

int64_t CopyRecvHandler::File::stepCount() const { return (compareSize + MAX_FINGERPRINT_LENGTH - 1) / MAX_FINGERPRINT_LENGTH; }

int64_t CopyRecvHandler::File::stepEnd(size_t step) const {
  return std::min(static_cast<int64_t>(step + 1) * MAX_FINGERPRINT_LENGTH, compareSize);
}

void CopyRecvHandler::File::takePeerStep(const FileAck& step) {
  if (current != Phase::Comparing) return;  // sent before the sender heard the answer
  const size_t next = peerSteps.size();
  if (static_cast<int64_t>(next) >= stepCount() || step.fingerprintLength != stepEnd(next) ||
      step.bytesWritten != compareSize)
    return refuse("fingerprint for another step");
  peerSteps.push_back(step.fingerprint);
  compareSteps();
}

// Answers at the first step that differs, or once every step is known to match.
void CopyRecvHandler::File::compareSteps() {
  for (; matched < ownSteps.size() && matched < peerSteps.size(); ++matched) {
    if (ownSteps[matched] != peerSteps[matched]) return answerResume(matched == 0 ? 0 : stepEnd(matched - 1));
  }
  if (static_cast<int64_t>(matched) == stepCount()) answerResume(compareSize);
}

// The resume point alone goes back: whether the sender's guess of the held prefix was right,
// and nothing it could test other guesses against.
void CopyRecvHandler::File::answerResume(int64_t resume) {
  const int ends = owner.memory->endsAfterComparison[owner.path];
  if (ends >= ReceiveMemory::MAX_ENDS_AFTER_COMPARISON)
    return refuse("the sender ended " + std::to_string(ends) + " times in a row after the comparison");
  owner.answeredHere = true;
  answered = resume;
  // A step still being read goes on filling its own buffer on the pool; nothing waits for it.
  source.reset();
  buffer.reset();
  releaseCompareBuffer();
  stepRead = stepLength = 0;
  io = Io::None;
  std::unique_ptr<FileAck> ack = fileAck(Message::CONTINUE);
  ack->bytesWritten = resume;
  ack->fingerprintLength = resume;
  ack->appendMode = 1;
  owner.queue(std::move(ack));
  current = Phase::AwaitingDecision;
}

}  // namespace net
