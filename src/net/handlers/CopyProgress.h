// Progress of the file a copy connection is working on, on either side. The copy handlers tell
// it where they are; it decides when the listener hears of it (at most once per 2000 ms, and
// always when a file starts, ends or fails) and keeps a smoothed transfer rate.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>

#include "net/Api.h"
#include "net/handlers/IContext.h"
#include "p2p/uv/UvLoop.h"

namespace net {

class CopyProgress {
 public:
  static constexpr int64_t NOTIFY_PERIOD_MS = 2000;

  CopyProgress() = default;
  explicit CopyProgress(IContext* context) : context(context) {}

  // A new file phase ("Sync", "Send" or "Recv") begins at `offset`.
  void fileInit(const std::string& state, const std::string& code, const std::string& fromUsername,
                const std::string& toUsername, const std::string& fileName, const std::string& localPath, int64_t size,
                int64_t offset) {
    this->state = state;
    this->code = code;
    this->fromUsername = fromUsername;
    this->toUsername = toUsername;
    this->fileName = fileName;
    this->localPath = localPath;
    this->size = size;
    this->offset = offset;
    reason.clear();
    // The rate of the previous file must not show against this one.
    prevTime = now();
    prevValue = offset;
    est = -1.0;
    // Data that still has to come starts being timed here.
    dataStart = offset < size ? prevTime : -1;
    dataStartOffset = offset;
    notify();
  }

  void fileOffset(int64_t offset) {
    this->offset = offset;
    const int64_t t = now();
    if (t - prevTime <= NOTIFY_PERIOD_MS && offset != size) return;
    exponentialMovingAverageSample(t, offset);
    notify();
  }

  // Names the ticket without touching the figures or the rate (a listener's copy).
  void setCode(const std::string& code) { this->code = code; }

  void fileEnd(const std::string& reason) {
    this->reason = reason;
    notify();
  }

  void exponentialMovingAverageSample(int64_t time, int64_t value) {
    const double rate = static_cast<double>(value - prevValue) * 1000.0 / static_cast<double>(std::max<int64_t>(time - prevTime, 1));
    est = est < 0 ? std::max(0.0, rate) : std::max(0.0, alpha * rate + (1 - alpha) * est);
    prevValue = value;
    prevTime = time;
  }

  const std::string& getCode() const { return code; }
  const std::string& getFromUsername() const { return fromUsername; }
  const std::string& getToUsername() const { return toUsername; }
  std::string getFileName() const { return fileName; }
  std::string getLocalPath() const { return localPath; }
  std::string getState() const { return state; }
  std::string getReason() const { return reason; }
  int64_t getSize() const { return size; }
  int64_t getOffset() const { return offset; }
  // When this phase's data began (loop time, ms) and from where; -1 when none was left to come.
  int64_t getDataStart() const { return dataStart; }
  int64_t getDataStartOffset() const { return dataStartOffset; }
  // Bytes per second; 0 before the first sample.
  int64_t getRate() const { return est < 0 ? 0 : static_cast<int64_t>(est); }

  // A copy that keeps the figures but notifies nobody: it may outlive its connection.
  CopyProgress snapshot() const {
    CopyProgress copy = *this;
    copy.context = nullptr;
    return copy;
  }

  // The figures as the event that shows them.
  Api::SendRecvEvent* event(int commandId, const std::string& fromUser, const std::string& toUser,
                            const std::string& why) const {
    return new Api::SendRecvEvent(commandId, code, fileName, localPath, fromUser, toUser, size, offset, getRate(), why);
  }

  int totalFiles = 0;     // files of the whole transfer
  int64_t totalSize = 0;  // bytes of the whole transfer

 private:
  int64_t now() const { return context ? static_cast<int64_t>(context->loop()->now()) : 0; }
  void notify() {
    if (context) context->notify(this);
  }

  IContext* context = nullptr;
  std::string code;
  std::string fromUsername;
  std::string toUsername;
  std::string state;
  std::string fileName;
  int64_t size = 0;
  int64_t offset = 0;
  std::string localPath;
  std::string reason;
  double alpha = 0.8;  // weight of the newest sample
  double est = -1.0;   // smoothed rate; negative until the first sample
  int64_t prevTime = 0;
  int64_t prevValue = 0;
  int64_t dataStart = -1;
  int64_t dataStartOffset = 0;
};

}  // namespace net
