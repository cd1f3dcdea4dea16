// Every peer message against frames written out by hand from the field tables, every such
// frame cut short at each of its bytes, and hostile counts and lengths.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "net/messages/CopyPause.h"
#include "net/messages/CopyRequest.h"
#include "net/messages/CopyResponse.h"
#include "net/messages/FileAck.h"
#include "net/messages/FileCreate.h"
#include "net/messages/FileWrite.h"
#include "net/messages/TicketRecv.h"
#include "net/messages/TicketRequest.h"
#include "net/messages/TicketResponse.h"
#include "support/TestSupport.h"

namespace {

using testsupport::failureOf;
using Bytes = std::vector<uint8_t>;
using net::Message;

// Wire numbers other programs rely on; a name added or lost in the middle shifts the rest.
static_assert(Message::RSYNS_WRITE == 19 && Message::TICKET_REQUEST == 29 && Message::RECV == 33);
static_assert(Message::PAUSED == 12 && Message::NOT_FOUND == 17);

// How a cut inside a field fails: see expectedFailure.
enum class Kind { Opcode, Status, I32, I64, Str, List, LengthAndData };

struct Field {
  Kind kind;
  Bytes bytes;
};

Bytes be32(uint32_t v) {
  return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
          static_cast<uint8_t>(v)};
}

Field status(uint8_t v) { return {Kind::Status, {0, 0, 0, v}}; }
Field i32(Bytes b) { return {Kind::I32, b}; }
Field i64(Bytes b) { return {Kind::I64, b}; }
// Sized once and filled in place: growing a four-byte vector by the string is what GCC 12
// at -O3 misreads as a write past its end.
Bytes counted(const std::string& s) {
  Bytes b(4 + s.size());
  const Bytes length = be32(static_cast<uint32_t>(s.size()));
  std::copy(length.begin(), length.end(), b.begin());
  std::copy(s.begin(), s.end(), b.begin() + 4);
  return b;
}
Field str(const std::string& s) { return {Kind::Str, counted(s)}; }
Field list(const std::vector<std::string>& strings) {
  Bytes b = be32(static_cast<uint32_t>(strings.size()));
  for (const std::string& s : strings) {
    const Bytes one = counted(s);
    b.insert(b.end(), one.begin(), one.end());
  }
  return {Kind::List, b};
}

struct Golden {
  std::string name;
  uint8_t opcode;
  std::vector<Field> body;
  std::function<std::unique_ptr<Message>()> make;
  std::string dump;

  Bytes frame() const {
    Bytes rest = {0, 0, 0, opcode};
    for (const Field& f : body) rest.insert(rest.end(), f.bytes.begin(), f.bytes.end());
    Bytes all = be32(static_cast<uint32_t>(4 + rest.size()));
    all.insert(all.end(), rest.begin(), rest.end());
    return all;
  }
};

// A received frame as the peer connection holds it: the length field already consumed,
// the rest in a buffer of exactly its size (so a read past it is caught under ASan).
struct Received {
  explicit Received(const Bytes& frame)
      : storage(frame.begin() + 4, frame.end()),
        view(reinterpret_cast<int8_t*>(storage.data()), static_cast<int32_t>(storage.size())) {}
  std::unique_ptr<Message> decode() { return std::unique_ptr<Message>(Message::decodeMessage(view)); }
  std::vector<uint8_t> storage;
  ByteBuffer view;
};

Bytes encode(const Message& m, int32_t room = 61440) {
  ByteBuffer out(room);
  // As a sender builds a FileWrite: the data in its place first, the fields written around it.
  if (auto* write = dynamic_cast<const net::FileWrite*>(&m); write && write->data)
    std::memcpy(out.array() + net::FileWrite::getDataOffset(), write->data, size_t(write->length));
  m.encode(out);
  const uint8_t* p = reinterpret_cast<const uint8_t*>(out.array());
  return Bytes(p, p + out.position());
}

std::string dumpOf(const Message& m) {
  std::ostringstream out;
  out << m;
  return out.str();
}

template <typename T>
std::function<std::unique_ptr<Message>()> made(std::function<void(T&)> fill) {
  return [fill] {
    auto m = std::make_unique<T>();
    fill(*m);
    return std::unique_ptr<Message>(std::move(m));
  };
}

std::vector<Golden> goldens() {
  const Bytes ff8 = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  return {
      {"CopyRequest", 5,
       {str("u-1"), str("f"), str("t"), i64({1, 2, 3, 4, 5, 6, 7, 8}), str("a.txt"), str("/src"), str("/dst"),
        str("1.2.3.4"), i32({0, 0, 0xC3, 0x51}), i32({0, 0, 0, 1}), i32({0, 0, 0, 2}), str("r"),
        i32({0, 0, 0x07, 0xD0}), i32({0, 0, 0, 3}), str("ann"), str("sig"), str("pc"), str(""), str("T-9")},
       made<net::CopyRequest>([](net::CopyRequest& m) {
         m.uuid = "u-1"; m.fromUuid = "f"; m.toUuid = "t"; m.id = 0x0102030405060708LL; m.fileName = "a.txt";
         m.fromPath = "/src"; m.toPath = "/dst"; m.serverIp = "1.2.3.4"; m.serverPort = 50001;
         m.direction = net::CopyRequest::FROM_SERVER; m.sync = 2; m.reason = "r"; m.print = 3;
         m.myUserName = "ann"; m.mySignature = "sig"; m.myComputerName = "pc"; m.ticket = "T-9";
       }),
       "CopyRequest ticket:T-9"},
      {"CopyResponse", 6,
       {status(1), i32({0, 0, 0, 2}), i64({0, 0, 0, 1, 0, 0, 0, 0}), str("ok"),
        i64({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE})},
       made<net::CopyResponse>([](net::CopyResponse& m) {
         m.status = Message::CONTINUE; m.totalFiles = 2; m.totalBytes = 1LL << 32; m.reason = "ok"; m.challenge = -2;
       }),
       "CopyResponse status:1 totalFiles:2 totalBytes:4294967296 reason:ok challenge:-2"},
      {"FileAck", 7,
       {status(2), str("d/f"), str("f"), i64({0, 0, 0, 0, 0, 0, 0, 10}), i64({0, 0, 0, 0, 0, 0, 0, 20}), str("x"),
        i64(ff8), i64({0, 0, 0, 0, 0, 0, 0x10, 0}), i32({0, 0, 0, 1}), i32({0, 0, 0, 2})},
       made<net::FileAck>([](net::FileAck& m) {
         m.status = Message::END; m.filePath = "d/f"; m.fileName = "f"; m.bytesWritten = 10; m.totalSize = 20;
         m.reason = "x"; m.fingerprint = -1; m.fingerprintLength = 4096; m.appendMode = 1; m.fingerprintMode = 2;
       }),
       "FileAck status:2 filePath:d/f fileName:f bytesWritten:10 totalSize:20 reason:x fingerprintLength:4096"},
      {"FileCreate", 8,
       {str("f.bin"), str("dir"), i64({0, 0, 0, 0, 0, 0, 0, 5}), i32({0, 0, 0, 4}), i32({0, 0, 0, 1}),
        i32({0, 0, 0, 6}), str("u"), str("k"), i64({0, 0, 0, 0, 0, 0, 0, 3}), i32({0, 0, 0, 7}), i32({0, 0, 0, 8})},
       made<net::FileCreate>([](net::FileCreate& m) {
         m.fileName = "f.bin"; m.path = "dir"; m.size = 5; m.remainingFiles = 4; m.sync = 1; m.append = 6;
         m.uuid = "u"; m.key = "k"; m.appendLength = 3; m.appendMode = 7; m.fingerprintMode = 8;
       }),
       "FileCreate path:dir fileName:f.bin size:5 sync:1 append:6 appendLength:3 appendMode:7 remainingFiles:4"},
      {"FileWrite", 9,
       {status(1), i64({0, 0, 0, 0, 0, 0, 0, 7}), {Kind::LengthAndData, {0, 0, 0, 3, 'x', 'y', 'z'}}},
       made<net::FileWrite>([](net::FileWrite& m) {
         static int8_t chunk[] = {'x', 'y', 'z'};
         m.status = Message::CONTINUE; m.offset = 7; m.length = 3; m.data = chunk;
       }),
       "FileWrite status:1 offset:7 length:3"},
      {"CopyPause", 10, {}, [] { return std::make_unique<net::CopyPause>(); }, "CopyPause"},
      {"TicketRequest", 29,
       {str("u"), str("n"), str("c"), str("s"), str("t"), str("pu"), str("pn"), str("pc")},
       made<net::TicketRequest>([](net::TicketRequest& m) {
         m.uuid = "u"; m.username = "n"; m.computerName = "c"; m.signature = "s"; m.ticket = "t";
         m.peerUuid = "pu"; m.peerUsername = "pn"; m.peerComputer = "pc";
       }),
       // The signature vouches for the user: the log shows its length only.
       "TicketRequest uuid:u username:n computerName:c signature:<1 bytes> ticket:t peerUuid:pu peerUsername:pn "
       "peerComputer:pc"},
      {"TicketResponse", 30, {status(17), str("no"), str("abc"), list({"a", "bc"})},
       made<net::TicketResponse>([](net::TicketResponse& m) {
         m.status = Message::NOT_FOUND; m.reason = "no"; m.ticket = "abc"; m.paths = {"a", "bc"};
       }),
       "TicketResponse status:17 reason:no ticket:abc paths.size:2"},
      {"TicketRecv", 33, {str("ABC123")}, made<net::TicketRecv>([](net::TicketRecv& m) { m.code = "ABC123"; }),
       "TicketRecv code:ABC123"},
  };
}

void PrintTo(const Golden& g, std::ostream* out) { *out << g.name; }

class MessageWire : public ::testing::TestWithParam<Golden> {};

TEST_P(MessageWire, EncodesAndDecodesTheHandWrittenFrame) {
  const Golden& g = GetParam();
  const Bytes frame = g.frame();
  std::unique_ptr<Message> sent = g.make();
  EXPECT_EQ(encode(*sent), frame);
  EXPECT_EQ(sent->getLength(), int32_t(frame.size()));

  Received r(frame);
  std::unique_ptr<Message> m = r.decode();
  EXPECT_EQ(m->getOpcode(), g.opcode);
  EXPECT_EQ(dumpOf(*m), g.dump);
  EXPECT_EQ(r.view.position(), r.view.limit());
  EXPECT_EQ(encode(*m), frame);
  EXPECT_EQ(m->getLength(), int32_t(frame.size()));

  // The same frame, still unflipped in the buffer it was gathered in.
  ByteBuffer gathered(int32_t(frame.size()) + 16);
  gathered.put(reinterpret_cast<const int8_t*>(frame.data()), int32_t(frame.size()));
  EXPECT_EQ(dumpOf(*std::unique_ptr<Message>(Message::getMessage(gathered))), g.dump);
}

// What a frame cut `inField` bytes into a field fails with ("" for any runtime error).
std::string expectedFailure(Kind kind, size_t inField) {
  switch (kind) {
    case Kind::Status: return "missing status";
    case Kind::Opcode:
    case Kind::I32:
    case Kind::I64: return "checkLimit";
    case Kind::Str: return inField < 4 ? "checkLimit" : "getString size";
    case Kind::List: return inField < 4 ? "checkLimit" : "";
    case Kind::LengthAndData: return inField < 4 ? "checkLimit" : "FileWrite length";
  }
  return "";
}

// A frame cut short at every byte: at the start of a field after the status it decodes with the
// missing fields 0 or empty (so encoding the result gives the kept bytes, then zeros only);
// anywhere else it fails with the error of the field it stops in.
TEST_P(MessageWire, EveryCutDecodesBetweenFieldsAndFailsInsideThem) {
  const Golden& g = GetParam();
  const Bytes whole = g.frame();
  std::vector<Field> fields = {{Kind::Opcode, be32(g.opcode)}};
  fields.insert(fields.end(), g.body.begin(), g.body.end());
  size_t cut = 4;
  for (const Field& field : fields) {
    for (size_t inField = 0; inField < field.bytes.size(); ++inField, ++cut) {
      SCOPED_TRACE("cut at " + std::to_string(cut));
      Received r(Bytes(whole.begin(), whole.begin() + cut));
      if (inField > 0 || field.kind == Kind::Opcode || field.kind == Kind::Status) {
        const std::string failure = failureOf([&] { r.decode(); });
        const std::string expected = expectedFailure(field.kind, inField);
        if (expected.empty())
          EXPECT_NE(failure, "");
        else
          EXPECT_EQ(failure, expected);
        continue;
      }
      std::unique_ptr<Message> m = r.decode();
      const Bytes again = encode(*m);
      EXPECT_EQ(m->getLength(), int32_t(again.size()));
      ASSERT_GE(again.size(), cut);
      EXPECT_EQ(Bytes(again.begin() + 4, again.begin() + cut), Bytes(whole.begin() + 4, whole.begin() + cut));
      EXPECT_EQ(Bytes(again.begin() + cut, again.end()), Bytes(again.size() - cut, 0));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AllNine, MessageWire, ::testing::ValuesIn(goldens()),
                         [](const ::testing::TestParamInfo<Golden>& info) { return info.param.name; });

// What a sender leaves unset goes out as these bytes (-1: unknown totals).
TEST(MessageWire, DefaultsOnTheWire) {
  const Bytes copyResponse = {0, 0, 0, 0x24, 0, 0, 0, 6, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                              0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(encode(net::CopyResponse()), copyResponse);
  const Bytes emptyWrite = {0, 0, 0, 0x18, 0, 0, 0, 9, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(encode(net::FileWrite()), emptyWrite);
}

// Counts and lengths from a hostile peer are checked against what the frame holds before
// anything is allocated or read; each case is the frame after its length field.
TEST(MessageWire, HostileCountsAndLengthsFail) {
  const Bytes zero = {0, 0, 0, 0};
  auto body = [&](std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
  };
  const Bytes offset = {0, 0, 0, 0, 0, 0, 0, 0};
  const std::pair<Bytes, std::string> cases[] = {
      {body({be32(33), be32(0x7FFFFFFF), {'a'}}), "getString size"},
      {body({be32(33), be32(0xFFFFFFFF), {'a'}}), "getString size"},
      {body({be32(33), be32(2), {'a'}}), "getString size"},
      {body({be32(30), zero, zero, zero, be32(0x7FFFFFFF)}), "getStrings count"},
      {body({be32(30), zero, zero, zero, be32(0x80000000)}), "getStrings count"},
      {body({be32(30), zero, zero, zero, be32(3), zero, zero}), "getStrings count"},
      {body({be32(9), zero, offset, be32(0xFFFFFFFF)}), "FileWrite length"},
      {body({be32(9), zero, offset, be32(0x7FFFFFFF), {'a'}}), "FileWrite length"},
      {body({be32(9), zero, offset, be32(3), {'a', 'b'}}), "FileWrite length"},
      {body({be32(6), {0, 0}}), "missing status"},
      {be32(11), "net::newMessage opcode 11"},
      {be32(0), "net::newMessage opcode 0"},
      {be32(34), "net::newMessage opcode 34"},
      {be32(0xFFFFFFFF), "net::newMessage opcode -1"},
  };
  for (const auto& c : cases) {
    Bytes frame = be32(0);
    frame.insert(frame.end(), c.first.begin(), c.first.end());
    Received r(frame);
    EXPECT_EQ(failureOf([&] { r.decode(); }), c.second) << c.second;
  }

  // As many empty strings as the frame holds are fine.
  Received fits(body({be32(0), be32(30), zero, zero, zero, be32(2), zero, zero}));
  EXPECT_EQ(dynamic_cast<net::TicketResponse&>(*fits.decode()).paths, std::vector<std::string>(2));

  ByteBuffer gathered(16);
  gathered.put(reinterpret_cast<const int8_t*>(be32(9).data()), 4).putInt(10);
  EXPECT_EQ(failureOf([&] { Message::getMessage(gathered); }), "message length 9 != buffer's limit 8");
}

// Encoding writes the fields around data already in place and never reads `data`; a length
// that does not fit, or is negative, fails before the position passes the limit.
TEST(FileWrite, EncodingLeavesTheDataInPlace) {
  ByteBuffer out(64);
  for (int i = 0; i < 64; ++i) out.array()[i] = static_cast<int8_t>(i);
  net::FileWrite write;
  write.offset = 1000;
  write.length = 5;
  int8_t elsewhere[5] = {};
  write.data = elsewhere;
  write.encode(out);
  EXPECT_EQ(out.position(), 29);
  for (int i = 24; i < 29; ++i) EXPECT_EQ(out.array()[i], i) << i;
  for (int32_t length : {-1, 64 - 24 + 1}) {
    write.length = length;
    out.clear();
    EXPECT_EQ(failureOf([&] { write.encode(out); }), "checkLimit") << length;
  }
}

}  // namespace
