// Drives a copy receiver with decoded frames of every kind, in any order and with any values,
// mixed with the completion of its file requests, drained sends, pauses and timer ticks, over
// in-memory files. Whatever arrives, it must touch nothing outside the requested destination in
// the receive folder, never misuse a file, never end a failure with the empty reason of
// success, and never let a request outlive the memory it uses.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "../tests/net/handlers/CopyFakes.h"
#include "net/handlers/CopyRecvHandler.h"
#include "net/handlers/CopyRules.h"
#include "net/messages/CopyPause.h"
#include "net/messages/CopyResponse.h"
#include "net/messages/FileAck.h"
#include "net/messages/FileCreate.h"
#include "net/messages/FileWrite.h"
#include "net/messages/TicketResponse.h"

namespace {

using copytest::FakeContext;
using copytest::FakeFiles;
using net::Message;

uint64_t fakeClock = 100000;

p2p::UvLoop& theLoop() {
  static p2p::UvLoop loop([] { return fakeClock; });
  return loop;
}

const char* const kNames[] = {"photos", "a",   "photos/sub", "..",     ".",       "",      "/etc", "a\\b",
                              ".tmp.a", "a/b", "photos/..",  "photos/", "photos//a", "sub", "\x01", "photos/.tmp.x"};

// Mostly names from the list, the plain ones first and most often, so that whole files can be
// reached as well as every refusal.
std::string nameFrom(FuzzedDataProvider& in, size_t plain) {
  switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0: return in.ConsumeRandomLengthString(12);
    case 1: return kNames[in.ConsumeIntegralInRange<size_t>(0, sizeof kNames / sizeof *kNames - 1)];
    default: return kNames[plain];
  }
}

int64_t numberFrom(FuzzedDataProvider& in, int64_t near) {
  switch (in.ConsumeIntegralInRange(0, 7)) {
    case 0: return 0;
    case 1: return near;
    case 2: {
      int64_t value = near;
      if (__builtin_add_overflow(near, in.ConsumeIntegralInRange<int64_t>(-3, 3), &value)) return near;
      return value;
    }
    case 3: return -1;
    case 4: return 10000000;
    case 5: return int64_t{1} << 32;
    case 6: return std::numeric_limits<int64_t>::max();
    default: return in.ConsumeIntegralInRange<int64_t>(0, 200000);
  }
}

int32_t statusFrom(FuzzedDataProvider& in) {
  return in.ConsumeBool() ? Message::CONTINUE : in.ConsumeIntegralInRange<int32_t>(-1, 18);
}

std::vector<int8_t> writeFrame(int64_t offset, int32_t length) {
  const int32_t data = std::max(0, std::min(length, 61416));
  ByteBuffer b(net::FileWrite::getDataOffset() + data);
  for (int32_t i = 0; i < data; ++i) b.array()[net::FileWrite::getDataOffset() + i] = static_cast<int8_t>(i * 7);
  net::FileWrite w;
  w.offset = offset;
  w.length = data;
  w.encode(b);
  return std::vector<int8_t>(b.array(), b.array() + b.position());
}

// The places a receive of `requested` may change: the receive folder itself (made when missing)
// and what lies under the requested path's own name, or its temporary name.
bool allowed(const std::string& path, const std::string& name) {
  const std::string top = "/recv/" + name;
  if (path != "/recv" && path != top && path != "/recv/.tmp." + name && path.compare(0, top.size() + 1, top + "/") != 0)
    return false;
  for (const std::string& part : net::splitPath(path.substr(1)))
    if (part.empty() || part == "." || part == "..") return false;
  return true;
}

void honestStep(FuzzedDataProvider& in, const net::CopyRecvHandler& handler, FakeContext& ctx, net::FileCreate& last) {
  using State = net::CopyRecvHandler::State;
  switch (handler.getState()) {
    case State::Requesting: {
      net::CopyResponse r;
      r.status = Message::CONTINUE;
      r.totalFiles = 2;
      r.totalBytes = 100;
      ctx.deliver(r);
      break;
    }
    case State::AwaitingFile:
      last = net::FileCreate();
      last.path = in.ConsumeBool() ? "photos" : "photos/sub";
      last.fileName = in.ConsumeBool() ? "a" : "b";
      last.size = in.ConsumeIntegralInRange<int64_t>(0, 400);
      last.remainingFiles = in.ConsumeIntegralInRange(0, 1);
      last.sync = 1;
      last.appendMode = 1;
      last.fingerprintMode = in.ConsumeIntegralInRange(0, 2);
      ctx.deliver(last);
      break;
    case State::AwaitingData:
    case State::Fingerprinting:
      last.sync = 0;
      last.append = 0;
      last.appendLength = 0;
      ctx.deliver(last);
      break;
    case State::Receiving:
      ctx.deliverFrame(writeFrame(0, static_cast<int32_t>(std::max<int64_t>(0, last.size))));
      break;
    default:
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  FuzzedDataProvider in(bytes, size);
  FakeFiles files;
  files.addDir("/recv");
  const std::string requested = in.ConsumeBool() ? "/home/alice/photos" : "/home/alice/photos/";
  if (in.ConsumeBool()) files.addDir("/recv/photos");
  if (in.ConsumeBool()) files.addFile("/recv/photos/.tmp.a", in.ConsumeRandomLengthString(300));
  if (in.ConsumeBool()) files.addFile("/recv/photos/a", in.ConsumeRandomLengthString(300));
  if (in.ConsumeBool()) files.addFile("/recv/.tmp.photos", in.ConsumeRandomLengthString(300));
  files.changed.clear();

  auto ctx = std::make_unique<FakeContext>(&theLoop(), &files);
  auto handler = std::make_unique<net::CopyRecvHandler>(ctx.get(), "CODE", "alice", "alice-uuid", requested);
  ctx->handler = handler.get();
  handler->handleSend();

  net::FileCreate last;
  int faultLeft = 0;
  int faultStatus = 0;
  files.fault = [&](FakeFiles::Op, const std::string&) { return faultLeft > 0 && faultLeft-- == 1 ? faultStatus : 0; };

  for (int step = 0; step < 300 && in.remaining_bytes() > 0; ++step) {
    switch (in.ConsumeIntegralInRange(0, 14)) {
      case 13:
      case 14:  // what an honest sender would send next, so that whole files are reached too
        honestStep(in, *handler, *ctx, last);
        break;
      case 0: {
        net::CopyResponse r;
        r.status = statusFrom(in);
        r.totalFiles = static_cast<int32_t>(numberFrom(in, 2));
        r.totalBytes = numberFrom(in, 1000);
        if (in.ConsumeBool()) r.reason = in.ConsumeRandomLengthString(8);
        ctx->deliver(r);
        break;
      }
      case 1:
      case 2: {
        net::FileCreate c = last;
        if (in.ConsumeBool() || last.fileName.empty()) {
          c.path = nameFrom(in, 0);
          c.fileName = nameFrom(in, 1);
          c.size = numberFrom(in, 300);
        }
        c.sync = in.ConsumeBool() ? 1 : in.ConsumeIntegralInRange(-1, 2);
        c.append = in.ConsumeIntegralInRange(0, 2);
        c.appendLength = numberFrom(in, c.size / 2);
        c.remainingFiles = static_cast<int32_t>(in.ConsumeIntegralInRange(-1, 2));
        c.fingerprintMode = in.ConsumeIntegralInRange(0, 3);
        c.appendMode = 1;
        last = c;
        ctx->deliver(c);
        break;
      }
      case 3: {
        const int64_t offset = numberFrom(in, 0);
        const int64_t length = numberFrom(in, offset >= 0 && offset < last.size ? last.size - offset : 0);
        ctx->deliverFrame(writeFrame(offset, static_cast<int32_t>(std::min<int64_t>(length, 61416))));
        break;
      }
      case 4: {
        net::FileAck a;
        a.status = statusFrom(in);
        if (in.ConsumeBool()) a.reason = in.ConsumeRandomLengthString(8);
        ctx->deliver(a);
        break;
      }
      case 5:
        ctx->deliver(in.ConsumeBool() ? static_cast<const Message&>(net::CopyPause())
                                      : static_cast<const Message&>(net::TicketResponse()));
        break;
      case 6:
      case 7:
        files.completeOne();
        ctx->deliverReady();
        break;
      case 8:
        ctx->drain();
        ctx->deliverReady();
        break;
      case 9:
        handler->pause();
        break;
      case 11:  // everything that can move, moves
        for (int i = 0; i < 1000; ++i) {
          bool moved = ctx->drain();
          moved = files.completeOne() || moved;
          moved = ctx->deliverReady() || moved;
          if (!moved) break;
        }
        break;
      case 10:
        fakeClock += in.ConsumeIntegralInRange<uint64_t>(0, 100000);
        handler->handleTimer();
        break;
      default:
        faultLeft = in.ConsumeIntegralInRange(1, 3);
        faultStatus = in.ConsumeBool() ? UV_EACCES : (in.ConsumeBool() ? UV_ENOSPC : UV_ENOTDIR);
        break;
    }
    for (const std::string& path : files.changed)
      if (!allowed(path, "photos")) __builtin_trap();
    if (files.misused) __builtin_trap();  // a request on a file not open, or already busy
    if (ctx->closes > 1) __builtin_trap();
  }

  // An empty reason is success: only once the last file is whole under its final name.
  if (ctx->closed && ctx->closeReason.empty()) {
    if (ctx->progress.empty()) __builtin_trap();
    const net::CopyProgress& last = ctx->progress.back();
    if (last.getState() != "Recv" || last.getOffset() != last.getSize() || !files.has(last.getLocalPath()) ||
        files.sizeOf(last.getLocalPath()) != last.getSize())
      __builtin_trap();
  }

  // Whatever is in flight when the connection goes must not outlive the memory it uses.
  handler.reset();
  ctx->dropBuffers();
  files.completeAll();
  for (const std::string& path : files.changed)
    if (!allowed(path, "photos")) __builtin_trap();
  return 0;
}
