// Every message against bytes written out by hand from the wire layout, every such datagram
// cut short at each of its bytes, and damaged or oversized datagrams.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <functional>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "p2p/messages/ClientEcho.h"
#include "p2p/messages/ClientEcho2.h"
#include "p2p/messages/ClientFind.h"
#include "p2p/messages/ClientHole.h"
#include "p2p/messages/Close.h"
#include "p2p/messages/Codec.h"
#include "p2p/messages/Connect.h"
#include "p2p/messages/ConnectAck.h"
#include "p2p/messages/Data.h"
#include "p2p/messages/DataAck2.h"
#include "p2p/messages/Proxy.h"
#include "p2p/messages/ServerEcho.h"
#include "support/TestSupport.h"

namespace {

using Bytes = std::vector<uint8_t>;
using p2p::Message;
using testsupport::failureOf;

// How a cut inside a field fails: integers and string counts with "checkLimit", the
// bytes of a string with "getString size"; a payload can be cut anywhere.
enum class Kind { Opcode, I8, I32, I64, Raw, Str, Payload };

struct Field {
  Kind kind;
  Bytes bytes;
};

struct Golden {
  std::string name;
  std::vector<Field> fields;
  std::function<std::unique_ptr<Message>()> make;
  std::string dump;
  bool strictBody = false;  // the proxy prefix is all or nothing

  Bytes bytes() const {
    Bytes all;
    for (const Field& f : fields) all.insert(all.end(), f.bytes.begin(), f.bytes.end());
    return all;
  }
};

Field op(uint8_t code) { return {Kind::Opcode, {code}}; }
Field i8(uint8_t v) { return {Kind::I8, {v}}; }
Field i32(Bytes b) { return {Kind::I32, b}; }
Field i64(Bytes b) { return {Kind::I64, b}; }
Field str(const std::string& s) {
  Bytes b = {0, 0, 0, static_cast<uint8_t>(s.size())};
  b.insert(b.end(), s.begin(), s.end());
  return {Kind::Str, b};
}
const Field kZero32 = i32({0, 0, 0, 0});

// A received datagram: owns the bytes a decoded Data message keeps pointing into.
struct Datagram {
  explicit Datagram(const Bytes& bytes)
      : storage(bytes.begin(), bytes.end()),
        view(reinterpret_cast<int8_t*>(storage.data()), static_cast<int32_t>(storage.size())) {}
  std::unique_ptr<Message> decode() { return std::unique_ptr<Message>(Message::decodeMessage(view)); }
  std::vector<uint8_t> storage;
  ByteBuffer view;
};

Bytes encode(Message& m, int32_t room = 1500) {
  ByteBuffer out(room);
  m.encode(out);
  const uint8_t* p = reinterpret_cast<const uint8_t*>(out.array());
  return Bytes(p, p + out.position());
}

std::string decodeError(const Bytes& bytes) {
  Datagram d(bytes);
  return failureOf([&] { d.decode(); });
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
  const std::vector<Field> echoFields = {kZero32, kZero32, str("u1"), str("ann"), str("10.0.0.2"),
                                         i32({0, 0, 0xC3, 0x51}), i32({0, 0, 0x15, 0xAF}), str("pc"), str("ab")};
  auto fillEcho = [](p2p::ClientEcho& m) {
    m.uuid = "u1"; m.userName = "ann"; m.internalIp = "10.0.0.2"; m.udpPort = 50001; m.tcpPort = 5551;
    m.computer = "pc"; m.key = "ab"; m.peers = {"p1", "q"};
  };
  const std::string echoDump = " channelId:0 sequence:0 uuid:u1 userName:ann internalIp:10.0.0.2 udpPort:50001 "
                               "tcpPort:5551 computer:pc key:<2 bytes>";  // made from the user key: never shown
  std::vector<Golden> all = {
      {"Connect",
       {op(0x00), i32({0, 0, 0, 7}), kZero32, i32({0, 0, 0, 100}), i32({0, 0, 0, 4}), str("23"), str("5"), str("QUJD")},
       [] { return std::make_unique<p2p::Connect>(7, 100, 4, "23", "5", "QUJD"); },
       "Connect channelId:7 sequence:0 sendPoolSize:100 protocol:4 p:23 g:5 pk:QUJD"},
      {"ConnectAck", {op(0x01), i32({1, 2, 3, 4}), kZero32, i32({0, 0, 1, 0}), i32({0, 0, 0, 3}), str("")},
       [] { return std::make_unique<p2p::ConnectAck>(0x01020304, 256, 3, ""); },
       "ConnectAck channelId:16909060 sequence:0 sendPoolSize:256 protocol:3 pk:"},
      {"Data", {op(0x02), i32({0, 0, 0, 9}), i32({0xFF, 0xFF, 0xFF, 0xFE}), {Kind::Payload, {'x', 'y', 'z'}}},
       [] {
         // Static: the message does not own its payload, which must outlive it.
         static int8_t payload[] = {'x', 'y', 'z'};
         static ByteBuffer buffer(payload, 3);
         return std::make_unique<p2p::Data>(9, -2, &buffer.clear());
       },
       "Data channelId:9 sequence:-2 remaining:3 limit:12"},
      {"Close", {op(0x03), i32({0, 0, 0, 5}), kZero32, str("bye")},
       made<p2p::Close>([](p2p::Close& m) { m.channelId = 5; m.reason = "bye"; }),
       "Close channelId:5 sequence:0 reason:bye"},
      {"ClientEcho", {op(0x04)}, made<p2p::ClientEcho>(fillEcho), "ClientEcho" + echoDump},
      {"ClientFind",
       {op(0x05), kZero32, kZero32, str("A"), str("B"), str("192.168.1.5"), i32({0, 0, 0xC3, 0x52}), str(""),
        str(""), i64({1, 2, 3, 4, 5, 6, 7, 8})},
       [] {
         auto m = std::make_unique<p2p::ClientFind>("A", "B", "192.168.1.5", 50002);
         m->seed = 0x0102030405060708LL;
         return m;
       },
       "ClientFind channelId:0 sequence:0 uuid:A findUuid:B localIp:192.168.1.5 localPort:50002 userName: key:<0 bytes> "
       "seed:72623859790382856"},
      {"ClientHole",
       {op(0x06), kZero32, kZero32, str("A"), str("B"), str("1.2.3.4"), i32({0xFF, 0xFF, 0xFF, 0xFF}),
        i32({0, 0, 0, 3}), str("5.6.7.8"), i32({0, 0, 0x1B, 0x58})},
       [] { return std::make_unique<p2p::ClientHole>("A", "B", "1.2.3.4", -1, 3, "5.6.7.8", 7000); },
       "ClientHole channelId:0 sequence:0 uuid:A findUuid:B ip:1.2.3.4 port:-1 protocol:3 proxyIp:5.6.7.8 "
       "proxyPort:7000"},
      {"ServerEcho",
       {op(0x07), kZero32, kZero32, i32({0, 0, 0, 1}), str("8.8.4.4"),
        i64({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), i64({0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}),
        i32({0, 0, 0, 2})},
       made<p2p::ServerEcho>([](p2p::ServerEcho& m) {
         m.code = 1; m.remoteIp = "8.8.4.4"; m.challenge = -1; m.serverKey = 0x7FFFFFFFFFFFFFFFLL; m.connectedPeers = 2;
       }),
       "ServerEcho channelId:0 sequence:0 code:1 remoteIp:8.8.4.4 challenge:-1 serverKey:9223372036854775807 "
       "connectedPeers:2"},
      {"DataAck2", {op(0x08), i32({0, 0, 0, 3}), i32({0, 0, 0, 0x29}), i32({0, 0, 0, 2}), i32({0, 0, 0, 0x2C})},
       made<p2p::DataAck2>([](p2p::DataAck2& m) {
         m.channelId = 3; m.sequence = 41; m.numOutOfOrder = 2; m.nextSequence = 44;
       }),
       "DataAck2 channelId:3 sequence:41 numOutOfOrder:2 nextSequence:44"},
      {"Proxy",
       {op(0x09), kZero32, kZero32, i8(0x04), {Kind::Raw, {10, 1, 2, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        i32({0, 0, 0x9C, 0x40})},
       made<p2p::Proxy>([](p2p::Proxy& m) {
         sockaddr_in in{};
         in.sin_family = AF_INET;
         in.sin_port = htons(40000);
         inet_pton(AF_INET, "10.1.2.3", &in.sin_addr);
         m.setAddress(reinterpret_cast<sockaddr*>(&in));
       }),
       "Proxy channelId:0 sequence:0 10.1.2.3:40000", true},
      {"Codec", {op(0x0A), kZero32, kZero32, i8(0xA5)},
       made<p2p::Codec>([](p2p::Codec& m) { m.key = static_cast<int8_t>(0xA5); }),
       "Codec channelId:0 sequence:0 key:-91"},
      {"ClientEcho2", {op(0x0B)}, made<p2p::ClientEcho2>(fillEcho), "ClientEcho" + echoDump},
  };
  // ClientEcho's peers run to the end of the datagram; ClientEcho2 counts them in one byte.
  for (Golden* echo : {&all[4], &all[11]}) {
    echo->fields.insert(echo->fields.end(), echoFields.begin(), echoFields.end());
    if (echo == &all[11]) echo->fields.push_back(i8(0x02));
    echo->fields.push_back(str("p1"));
    echo->fields.push_back(str("q"));
  }
  return all;
}

void PrintTo(const Golden& g, std::ostream* out) { *out << g.name; }

class MessageWire : public ::testing::TestWithParam<Golden> {};

TEST_P(MessageWire, EncodesAndDecodesTheHandWrittenBytes) {
  const Golden& g = GetParam();
  const Bytes bytes = g.bytes();
  EXPECT_EQ(encode(*g.make()), bytes);

  Datagram d(bytes);
  std::unique_ptr<Message> m = d.decode();
  std::ostringstream dump;
  dump << *m;
  EXPECT_EQ(dump.str(), g.dump);
  // Everything is consumed, except that a Data payload stays in the buffer it points into.
  EXPECT_EQ(d.view.position(), m->getOpcode() == Message::data ? 9 : int32_t(bytes.size()));
  EXPECT_EQ(encode(*m), bytes);
}

// A cut at a field boundary decodes with the missing fields at their defaults, so encoding
// the result gives the kept bytes followed by zeros only. A cut inside a field fails with
// the field's own error. The proxy prefix decodes only whole.
TEST_P(MessageWire, CutAtEveryByteDecodesAtBoundariesAndFailsInsideFields) {
  const Golden& g = GetParam();
  const Bytes whole = g.bytes();
  size_t fieldStart = 0;
  for (const Field& field : g.fields) {
    for (size_t inField = 1; inField <= field.bytes.size(); ++inField) {
      const size_t cut = fieldStart + inField;
      const bool boundary = inField == field.bytes.size() || field.kind == Kind::Payload;
      SCOPED_TRACE("cut at " + std::to_string(cut));
      Datagram d(Bytes(whole.begin(), whole.begin() + cut));
      if (boundary && (!g.strictBody || cut == whole.size())) {
        const Bytes again = encode(*d.decode());
        ASSERT_GE(again.size(), cut);
        EXPECT_EQ(Bytes(again.begin(), again.begin() + cut), Bytes(whole.begin(), whole.begin() + cut));
        EXPECT_EQ(Bytes(again.begin() + cut, again.end()), Bytes(again.size() - cut, 0));
        continue;
      }
      const bool inStringBytes = field.kind == Kind::Str && !g.strictBody && inField >= 4;
      EXPECT_EQ(failureOf([&] { d.decode(); }), inStringBytes ? "getString size" : "checkLimit");
    }
    fieldStart += field.bytes.size();
  }
}

INSTANTIATE_TEST_SUITE_P(AllTwelve, MessageWire, ::testing::ValuesIn(goldens()),
                         [](const ::testing::TestParamInfo<Golden>& info) { return info.param.name; });

TEST(MessageDecode, DamagedDatagramsFailWithTheirOwnText) {
  Bytes ipv6 = {9, 0, 0, 0, 0, 0, 0, 0, 0, 6};
  ipv6.resize(30, 0);
  const std::pair<Bytes, std::string> cases[] = {
      // String counts past the end, negative or huge: refused before anything is allocated.
      {{3, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 10, 'a', 'b', 'c'}, "getString size"},
      {{3, 0, 0, 0, 1, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 'a'}, "getString size"},
      {{3, 0, 0, 0, 1, 0, 0, 0, 0, 0x7F, 0xFF, 0xFF, 0xFF}, "getString size"},
      // Opcodes outside the table, the byte read as signed.
      {{12}, "p2p::newMessage opcode 12"},
      {{0xFF, 0, 0, 0, 0}, "p2p::newMessage opcode -1"},
      {{}, "checkLimit"},
      {ipv6, "IPV6 address not supported"},
  };
  for (const auto& c : cases) EXPECT_EQ(decodeError(c.first), c.second) << c.second;

  // A negative ClientEcho2 count reads no peer; the bytes after it are ignored.
  Bytes echo2 = {11};
  echo2.resize(1 + 8 + 4 * 3 + 4 * 2 + 4 * 2, 0);
  echo2.insert(echo2.end(), {0xFE, 0, 0, 0, 1, 'a'});
  Datagram d(echo2);
  EXPECT_TRUE(dynamic_cast<p2p::ClientEcho2&>(*d.decode()).peers.empty());
}

TEST(MessageEncode, TooSmallABufferOrTooManyPeersFail) {
  p2p::ClientFind find("a-long-enough-uuid", "b", "10.0.0.1", 1);
  for (int32_t room : {0, 20}) EXPECT_EQ(failureOf([&] { encode(find, room); }), "checkLimit") << room;
  // Over 127 peers cannot be counted in one byte.
  p2p::ClientEcho2 echo2;
  echo2.peers.assign(128, "");
  EXPECT_NE(failureOf([&] { encode(echo2); }), "");

  sockaddr_in6 in6{};
  in6.sin6_family = AF_INET6;
  p2p::Proxy proxy;
  EXPECT_EQ(failureOf([&] { proxy.setAddress(reinterpret_cast<sockaddr*>(&in6)); }), "IPV6 address not supported");
}

}  // namespace
