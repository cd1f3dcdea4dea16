// Scripted peers for the copy handlers: each handler runs on a real loop (whose clock the test
// sets) against a FakeContext and FakeFiles, and the test plays the other side frame by frame.
#pragma once

#include <openssl/evp.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "net/handlers/CopyFakes.h"
#include "net/handlers/CopyRecvHandler.h"
#include "net/handlers/CopyRequestHandler.h"
#include "net/messages/CopyRequest.h"
#include "net/messages/CopyResponse.h"
#include "net/messages/FileAck.h"
#include "net/messages/FileCreate.h"
#include "net/messages/FileWrite.h"
#include "utils/Checksums.h"

namespace copytest {

constexpr int64_t MB10 = 10000000;
constexpr int32_t CHUNK = 61416;

// Bytes of every value, 0x80 and above included (they are where Fletcher64 is peculiar).
inline std::string pattern(size_t size, unsigned seed = 1) {
  std::string s(size, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < size; ++i) {
    x = x * 1664525u + 1013904223u;
    s[i] = static_cast<char>(x >> 24);
  }
  return s;
}

// The fingerprint the wire expects of `prefix`, computed apart from the handlers: SHA-256 in one
// go for mode 2; Fletcher64 and Xor64 fed in the 10,000,000-byte steps of the exchange.
inline int64_t fingerprintOf(const std::string& prefix, int32_t mode) {
  if (mode == 2) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(prefix.data(), prefix.size(), digest, &size, EVP_sha256(), nullptr);
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = v << 8 | digest[i];
    return static_cast<int64_t>(v);
  }
  std::unique_ptr<Checksum> c(mode == 0 ? static_cast<Checksum*>(new Xor64) : new Fletcher64);
  const auto* bytes = reinterpret_cast<const int8_t*>(prefix.data());
  for (int64_t at = 0; at < static_cast<int64_t>(prefix.size()); at += MB10)
    c->update(bytes, at, static_cast<int32_t>(std::min<int64_t>(MB10, static_cast<int64_t>(prefix.size()) - at)));
  return c->getValue();
}

inline net::CopyResponse copyContinue(int32_t files, int64_t bytes) {
  net::CopyResponse r;
  r.status = net::Message::CONTINUE;
  r.totalFiles = files;
  r.totalBytes = bytes;
  return r;
}

inline net::FileCreate announce(const std::string& path, const std::string& name, int64_t size, int32_t remaining = 0,
                                int32_t mode = 1) {
  net::FileCreate c;
  c.path = path;
  c.fileName = name;
  c.size = size;
  c.remainingFiles = remaining;
  c.sync = c.appendMode = 1;
  c.fingerprintMode = mode;
  return c;
}

// The same announcement for the receiver's own comparison, in SHA-256.
inline net::FileCreate receiverCompares(net::FileCreate c) {
  c.sync = 2;
  c.fingerprintMode = 2;
  return c;
}

// The sender's fingerprint of the step of `source` that ends at `end`, of `held` bytes compared.
inline net::FileAck senderStep(const std::string& source, int64_t end, int64_t held,
                               const std::string& path = "photos", const std::string& name = "a.jpg") {
  net::FileAck a;
  a.filePath = path;
  a.fileName = name;
  a.status = net::Message::CONTINUE;
  a.fingerprint = fingerprintOf(source.substr(0, static_cast<size_t>(end)), 2);
  a.fingerprintLength = end;
  a.bytesWritten = held;
  a.totalSize = static_cast<int64_t>(source.size());
  a.appendMode = 1;
  a.fingerprintMode = 2;
  return a;
}

inline net::FileCreate decide(net::FileCreate c, int64_t resumeAt) {
  c.sync = 0;
  c.append = resumeAt != 0;
  c.appendLength = resumeAt;
  c.fingerprintMode = 0;
  return c;
}

inline std::vector<int8_t> writeFrame(int64_t offset, const std::string& data) {
  ByteBuffer b(net::FileWrite::getDataOffset() + static_cast<int32_t>(data.size()));
  std::memcpy(b.array() + net::FileWrite::getDataOffset(), data.data(), data.size());
  net::FileWrite w;
  w.offset = offset;
  w.length = static_cast<int32_t>(data.size());
  w.encode(b);
  return std::vector<int8_t>(b.array(), b.array() + b.position());
}

// An ack with `status` whose figures all say `size`, as the receiver's final ack has them.
inline net::FileAck ackOf(int32_t status, int64_t size = 0) {
  net::FileAck a;
  a.status = status;
  a.bytesWritten = a.fingerprintLength = a.totalSize = size;
  return a;
}

// An ack's figures in one line: status, bytesWritten, fingerprint, fingerprintLength, totalSize.
inline std::vector<int64_t> figures(const net::FileAck& a) {
  return {a.status, a.bytesWritten, a.fingerprint, a.fingerprintLength, a.totalSize};
}

// One handler's surroundings: a real loop whose clock the test sets, in-memory files, and the
// connection; the test plays the peer.
struct World {
  virtual ~World() = default;
  // A frame leaves, a file request completes, waiting frames go in; false when nothing moved.
  virtual bool step() {
    bool moved = ctx.drain();
    moved = files.completeOne() || moved;
    return ctx.deliverReady() || moved;
  }
  void settle() {
    for (int i = 0; i < 10000000 && step(); ++i) {
    }
  }
  // The frames that left since the last call.
  std::vector<Frame> take() {
    std::vector<Frame> out;
    for (; seen < ctx.sent.size(); ++seen) out.push_back(decodeFrame(ctx.sent[seen]));
    return out;
  }
  void send(const net::Message& m) {
    ctx.deliver(m);
    settle();
  }

  uint64_t clock = 50000;
  p2p::UvLoop loop{[this] { return clock; }};
  FakeFiles files;
  FakeContext ctx{&loop, &files};
  size_t seen = 0;
};

// A receiver of `path` with a scripted sender; its request is in the send buffer.
struct RecvWorld : World {
  explicit RecvWorld(const std::string& path = "/home/alice/photos",
                     std::shared_ptr<net::ReceiveMemory> memory = nullptr) {
    files.addDir("/recv");
    handler = std::make_unique<net::CopyRecvHandler>(&ctx, "CODE", "alice@example.com", "alice-uuid", path,
                                                     std::move(memory));
    ctx.handler = handler.get();
    handler->handleSend();
  }
  // The data of `source` from `from` on, in chunks.
  void sendData(const std::string& source, int64_t from, int64_t to = -1) {
    if (to < 0) to = static_cast<int64_t>(source.size());
    for (int64_t at = from; at < to; at += CHUNK)
      ctx.deliverFrame(writeFrame(
          at, source.substr(static_cast<size_t>(at), static_cast<size_t>(std::min<int64_t>(CHUNK, to - at)))));
    settle();
  }
  // Past the request, up to the point where the receiver waits for the first file.
  void accept(int32_t totalFiles = 1, int64_t totalBytes = 0) {
    settle();
    send(copyContinue(totalFiles, totalBytes));
  }
  const net::CopyProgress& lastProgress() const { return ctx.progress.back(); }

  std::unique_ptr<net::CopyRecvHandler> handler;
};

// A sender of the offer `offered` with a scripted receiver; the web server answers its check of
// the receiver with `verifyStatus` (0: never).
struct SendWorld : World {
  explicit SendWorld(const std::string& offered, int32_t print = 2) {
    ctx.myName = "alice@example.com";
    ctx.ticket = net::IContext::Ticket("bob@example.com", {offered}, "CODE", 0);
    request.uuid = "bob-uuid";
    request.fromPath = offered;
    request.myUserName = "bob@example.com";
    request.mySignature = "sig";
    request.ticket = "CODE";
    request.print = print;
  }
  // The request arrives.
  void begin() {
    handler = std::make_unique<net::CopyRequestHandler>(&ctx, request);
    ctx.handler = handler.get();
    handler->handleSend();
  }
  void start() {
    begin();
    settle();
  }
  bool step() override {
    if (!ctx.verifyCb || verifyStatus == 0) return World::step();
    p2p::Server::ServerResponse<bool> answer;
    answer.status = verifyStatus;
    if (verifyStatus != 200) answer.error = "Authentication error";
    std::exchange(ctx.verifyCb, nullptr)->handleServerResponse(answer);
    return true;
  }

  net::CopyRequest request;
  int verifyStatus = 200;
  std::unique_ptr<net::CopyRequestHandler> handler;
};

// The connection goes: the handler is freed, the buffers are let go, and what the handler left
// in flight completes all the same.
template <class World>
void connectionGone(World& w) {
  w.handler.reset();
  w.ctx.dropBuffers();
  w.files.completeAll();
}

// Our receiver against our sender, each with its own files, frames passed as they leave.
struct PairWorld {
  PairWorld(const std::string& offered, const std::string& requested) : receiver(requested), sender(offered) {
    receiver.ctx.onSent = [this](const std::vector<int8_t>& frame) {
      wire.emplace_back('r', frame);
      if (sender.handler) return sender.ctx.deliverFrame(frame);
      sender.request = decodeFrame(frame).as<net::CopyRequest>();  // the request chooses the sender
      if (print >= 0) sender.request.print = print;
      sender.begin();
    };
    sender.ctx.onSent = [this](const std::vector<int8_t>& frame) {
      wire.emplace_back('s', frame);
      receiver.ctx.deliverFrame(frame);
    };
  }
  void run() {
    for (int i = 0; i < 100000000; ++i) {
      const bool moved = receiver.step();
      if (!sender.step() && !moved) return;
    }
  }

  RecvWorld receiver;
  SendWorld sender;
  int32_t print = -1;  // what the sender reads in the request, when not the receiver's own
  std::vector<std::pair<char, std::vector<int8_t>>> wire;  // every frame in the order sent: 's'ender, 'r'eceiver
};

}  // namespace copytest
