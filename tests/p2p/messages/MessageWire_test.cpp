// Every message against bytes written out by hand from the wire layout, and every such
// datagram cut short at each of its bytes.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <cstring>
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

namespace {

using Bytes = std::vector<uint8_t>;
using p2p::Message;

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
Field str(Bytes b) { return {Kind::Str, b}; }
const Field kZero32 = i32({0, 0, 0, 0});

// A received datagram: owns the bytes a decoded Data message keeps pointing into.
struct Datagram {
  explicit Datagram(const Bytes& bytes)
      : storage(bytes.begin(), bytes.end()),
        view(reinterpret_cast<int8_t*>(storage.data()), static_cast<int32_t>(storage.size())) {}
  std::vector<uint8_t> storage;
  ByteBuffer view;
};

Bytes encode(Message& m, int32_t room = 1500) {
  ByteBuffer out(room);
  m.encode(out);
  const uint8_t* p = reinterpret_cast<const uint8_t*>(out.array());
  return Bytes(p, p + out.position());
}

std::string dumpOf(const Message& m) {
  std::ostringstream out;
  out << m;
  return out.str();
}

std::vector<Golden> goldens() {
  std::vector<Golden> all;
  all.push_back({"Connect",
                 {op(0x00), i32({0, 0, 0, 7}), kZero32, i32({0, 0, 0, 100}), i32({0, 0, 0, 4}),
                  str({0, 0, 0, 2, '2', '3'}), str({0, 0, 0, 1, '5'}), str({0, 0, 0, 4, 'Q', 'U', 'J', 'D'})},
                 [] { return std::make_unique<p2p::Connect>(7, 100, 4, "23", "5", "QUJD"); },
                 "Connect channelId:7 sequence:0 sendPoolSize:100 protocol:4 p:23 g:5 pk:QUJD"});
  all.push_back({"ConnectAck",
                 {op(0x01), i32({1, 2, 3, 4}), kZero32, i32({0, 0, 1, 0}), i32({0, 0, 0, 3}), str({0, 0, 0, 0})},
                 [] { return std::make_unique<p2p::ConnectAck>(0x01020304, 256, 3, ""); },
                 "ConnectAck channelId:16909060 sequence:0 sendPoolSize:256 protocol:3 pk:"});
  all.push_back({"Data",
                 {op(0x02), i32({0, 0, 0, 9}), i32({0xFF, 0xFF, 0xFF, 0xFE}), {Kind::Payload, {'x', 'y', 'z'}}},
                 [] {
                   // Static: the message does not own its payload, which must outlive it.
                   static int8_t payload[] = {'x', 'y', 'z'};
                   static ByteBuffer buffer(payload, 3);
                   buffer.clear();
                   return std::make_unique<p2p::Data>(9, -2, &buffer);
                 },
                 "Data channelId:9 sequence:-2 remaining:3 limit:12"});
  all.push_back({"Close", {op(0x03), i32({0, 0, 0, 5}), kZero32, str({0, 0, 0, 3, 'b', 'y', 'e'})},
                 [] {
                   auto m = std::make_unique<p2p::Close>(5);
                   m->reason = "bye";
                   return m;
                 },
                 "Close channelId:5 sequence:0 reason:bye"});
  const std::vector<Field> echoFields = {
      kZero32, kZero32, str({0, 0, 0, 2, 'u', '1'}), str({0, 0, 0, 3, 'a', 'n', 'n'}),
      str({0, 0, 0, 8, '1', '0', '.', '0', '.', '0', '.', '2'}), i32({0, 0, 0xC3, 0x51}),
      i32({0, 0, 0x15, 0xAF}), str({0, 0, 0, 2, 'p', 'c'}), str({0, 0, 0, 2, 'a', 'b'})};
  const std::vector<Field> echoPeers = {str({0, 0, 0, 2, 'p', '1'}), str({0, 0, 0, 1, 'q'})};
  auto makeEcho = [](std::unique_ptr<p2p::ClientEcho> m) {
    m->uuid = "u1";
    m->userName = "ann";
    m->internalIp = "10.0.0.2";
    m->udpPort = 50001;
    m->tcpPort = 5551;
    m->computer = "pc";
    m->key = "ab";
    m->peers = {"p1", "q"};
    return std::unique_ptr<Message>(std::move(m));
  };
  const std::string echoDump =
      "ClientEcho channelId:0 sequence:0 uuid:u1 userName:ann internalIp:10.0.0.2 udpPort:50001 "
      "tcpPort:5551 computer:pc key:ab";
  Golden echo{"ClientEcho", {op(0x04)}, [=] { return makeEcho(std::make_unique<p2p::ClientEcho>()); },
              echoDump};
  echo.fields.insert(echo.fields.end(), echoFields.begin(), echoFields.end());
  echo.fields.insert(echo.fields.end(), echoPeers.begin(), echoPeers.end());
  all.push_back(echo);
  all.push_back({"ClientFind",
                 {op(0x05), kZero32, kZero32, str({0, 0, 0, 1, 'A'}), str({0, 0, 0, 1, 'B'}),
                  str({0, 0, 0, 11, '1', '9', '2', '.', '1', '6', '8', '.', '1', '.', '5'}),
                  i32({0, 0, 0xC3, 0x52}), str({0, 0, 0, 0}), str({0, 0, 0, 0}), i64({1, 2, 3, 4, 5, 6, 7, 8})},
                 [] {
                   auto m = std::make_unique<p2p::ClientFind>("A", "B", "192.168.1.5", 50002);
                   m->seed = 0x0102030405060708LL;
                   return m;
                 },
                 "ClientFind channelId:0 sequence:0 uuid:A findUuid:B localIp:192.168.1.5 "
                 "localPort:50002 userName: key: seed:72623859790382856"});
  all.push_back({"ClientHole",
                 {op(0x06), kZero32, kZero32, str({0, 0, 0, 1, 'A'}), str({0, 0, 0, 1, 'B'}),
                  str({0, 0, 0, 7, '1', '.', '2', '.', '3', '.', '4'}), i32({0xFF, 0xFF, 0xFF, 0xFF}),
                  i32({0, 0, 0, 3}), str({0, 0, 0, 7, '5', '.', '6', '.', '7', '.', '8'}), i32({0, 0, 0x1B, 0x58})},
                 [] { return std::make_unique<p2p::ClientHole>("A", "B", "1.2.3.4", -1, 3, "5.6.7.8", 7000); },
                 "ClientHole channelId:0 sequence:0 uuid:A findUuid:B ip:1.2.3.4 port:-1 "
                 "protocol:3 proxyIp:5.6.7.8 proxyPort:7000"});
  all.push_back({"ServerEcho",
                 {op(0x07), kZero32, kZero32, i32({0, 0, 0, 1}), str({0, 0, 0, 7, '8', '.', '8', '.', '4', '.', '4'}),
                  i64({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}),
                  i64({0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), i32({0, 0, 0, 2})},
                 [] {
                   auto m = std::make_unique<p2p::ServerEcho>();
                   m->code = 1;
                   m->remoteIp = "8.8.4.4";
                   m->challenge = -1;
                   m->serverKey = 0x7FFFFFFFFFFFFFFFLL;
                   m->connectedPeers = 2;
                   return m;
                 },
                 "ServerEcho channelId:0 sequence:0 code:1 remoteIp:8.8.4.4 challenge:-1 "
                 "serverKey:9223372036854775807 connectedPeers:2"});
  all.push_back({"DataAck2",
                 {op(0x08), i32({0, 0, 0, 3}), i32({0, 0, 0, 0x29}), i32({0, 0, 0, 2}), i32({0, 0, 0, 0x2C})},
                 [] {
                   auto m = std::make_unique<p2p::DataAck2>();
                   m->channelId = 3;
                   m->sequence = 41;
                   m->numOutOfOrder = 2;
                   m->nextSequence = 44;
                   return m;
                 },
                 "DataAck2 channelId:3 sequence:41 numOutOfOrder:2 nextSequence:44"});
  all.push_back({"Proxy",
                 {op(0x09), kZero32, kZero32, i8(0x04),
                  {Kind::Raw, {10, 1, 2, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}}, i32({0, 0, 0x9C, 0x40})},
                 [] {
                   sockaddr_in in{};
                   in.sin_family = AF_INET;
                   in.sin_port = htons(40000);
                   inet_pton(AF_INET, "10.1.2.3", &in.sin_addr);
                   auto m = std::make_unique<p2p::Proxy>();
                   m->setAddress(reinterpret_cast<sockaddr*>(&in));
                   return m;
                 },
                 "Proxy channelId:0 sequence:0 10.1.2.3:40000", true});
  all.push_back({"Codec", {op(0x0A), kZero32, kZero32, i8(0xA5)},
                 [] {
                   auto m = std::make_unique<p2p::Codec>();
                   m->key = static_cast<int8_t>(0xA5);
                   return m;
                 },
                 "Codec channelId:0 sequence:0 key:-91"});
  Golden echo2{"ClientEcho2", {op(0x0B)}, [=] { return makeEcho(std::make_unique<p2p::ClientEcho2>()); },
               echoDump};
  echo2.fields.insert(echo2.fields.end(), echoFields.begin(), echoFields.end());
  echo2.fields.push_back(i8(0x02));
  echo2.fields.insert(echo2.fields.end(), echoPeers.begin(), echoPeers.end());
  all.push_back(echo2);
  return all;
}

void PrintTo(const Golden& g, std::ostream* out) { *out << g.name; }

class MessageWire : public ::testing::TestWithParam<Golden> {};

TEST_P(MessageWire, EncodesToTheHandWrittenBytes) {
  const Golden& g = GetParam();
  std::unique_ptr<Message> m = g.make();
  EXPECT_EQ(g.bytes(), encode(*m));
}

TEST_P(MessageWire, DecodesTheHandWrittenBytesAndEncodesThemBack) {
  const Golden& g = GetParam();
  const Bytes bytes = g.bytes();
  Datagram d(bytes);
  std::unique_ptr<Message> m(Message::decodeMessage(d.view));
  EXPECT_EQ(bytes[0], m->getOpcode());
  EXPECT_EQ(g.dump, dumpOf(*m));
  // Everything is consumed, except that a Data payload stays in the buffer it points into.
  const int32_t expectedPosition = m->getOpcode() == Message::data ? 9 : int32_t(bytes.size());
  EXPECT_EQ(expectedPosition, d.view.position());
  EXPECT_EQ(bytes, encode(*m));
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
        std::unique_ptr<Message> m(Message::decodeMessage(d.view));
        const Bytes again = encode(*m);
        ASSERT_GE(again.size(), cut);
        EXPECT_EQ(Bytes(whole.begin(), whole.begin() + cut), Bytes(again.begin(), again.begin() + cut));
        EXPECT_EQ(Bytes(again.size() - cut, 0), Bytes(again.begin() + cut, again.end()));
        continue;
      }
      const bool inStringBytes = field.kind == Kind::Str && !g.strictBody && inField >= 4;
      try {
        delete Message::decodeMessage(d.view);
        ADD_FAILURE() << "decoded";
      } catch (const std::runtime_error& e) {
        EXPECT_STREQ(inStringBytes ? "getString size" : "checkLimit", e.what());
      }
    }
    fieldStart += field.bytes.size();
  }
}

INSTANTIATE_TEST_SUITE_P(AllTwelve, MessageWire, ::testing::ValuesIn(goldens()),
                         [](const ::testing::TestParamInfo<Golden>& info) { return info.param.name; });

}  // namespace
