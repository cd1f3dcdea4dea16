// Damaged datagrams, the factory, the relay prefix, payload cutting and the XOR helper.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <typeinfo>
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

struct Datagram {
  explicit Datagram(const Bytes& bytes)
      : storage(bytes.begin(), bytes.end()),
        view(reinterpret_cast<int8_t*>(storage.data()), static_cast<int32_t>(storage.size())) {}
  std::vector<uint8_t> storage;
  ByteBuffer view;
};

std::unique_ptr<Message> decode(Datagram& d) {
  return std::unique_ptr<Message>(Message::decodeMessage(d.view));
}

// Decodes `bytes` and returns the error text, or "decoded" when nothing failed.
std::string decodeError(const Bytes& bytes) {
  Datagram d(bytes);
  try {
    decode(d);
    return "decoded";
  } catch (const std::runtime_error& e) {
    return e.what();
  }
}

// The fixed fields of a clientEcho/clientEcho2 up to and including `key`, all empty or 0.
Bytes echoHead(uint8_t opcode) {
  Bytes b = {opcode};
  b.resize(1 + 8 + 4 * 3 + 4 * 2 + 4 * 2, 0);
  return b;
}

void append(Bytes& to, const Bytes& more) { to.insert(to.end(), more.begin(), more.end()); }

TEST(MessageDecode, DamagedDatagramsFailWithTheirOwnText) {
  // A string count larger than what is left, and counts no string can have: refused
  // before anything is allocated.
  EXPECT_EQ("getString size", decodeError({3, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 10, 'a', 'b', 'c'}));
  EXPECT_EQ("getString size", decodeError({3, 0, 0, 0, 1, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 'a'}));
  EXPECT_EQ("getString size", decodeError({3, 0, 0, 0, 1, 0, 0, 0, 0, 0x80, 0, 0, 0}));
  EXPECT_EQ("getString size", decodeError({3, 0, 0, 0, 1, 0, 0, 0, 0, 0x7F, 0xFF, 0xFF, 0xFF}));
  // Two bytes into an int32.
  EXPECT_EQ("checkLimit", decodeError({8, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0}));
  // Opcodes outside the table, the byte read as signed.
  EXPECT_EQ("p2p::newMessage opcode 12", decodeError({12}));
  EXPECT_EQ("p2p::newMessage opcode -1", decodeError({0xFF, 0, 0, 0, 0}));
  EXPECT_EQ("p2p::newMessage opcode -128", decodeError({0x80}));
  EXPECT_EQ("checkLimit", decodeError({}));
}

TEST(MessageDecode, ClientEchoPeersRunToTheEndOfTheDatagram) {
  Bytes bytes = echoHead(4);
  {
    Datagram d(bytes);
    std::unique_ptr<Message> m = decode(d);
    EXPECT_TRUE(dynamic_cast<p2p::ClientEcho&>(*m).peers.empty());
  }
  append(bytes, {0, 0, 0, 1, 'a', 0, 0, 0, 0});
  Datagram d(bytes);
  std::unique_ptr<Message> m = decode(d);
  EXPECT_EQ((std::vector<std::string>{"a", ""}), dynamic_cast<p2p::ClientEcho&>(*m).peers);
}

TEST(MessageDecode, ClientEcho2ReadsCountedPeersAndIgnoresTheRest) {
  Bytes two = echoHead(11);
  append(two, {2, 0, 0, 0, 1, 'a'});
  Datagram d(two);
  std::unique_ptr<Message> m = decode(d);
  EXPECT_EQ((std::vector<std::string>{"a", ""}), dynamic_cast<p2p::ClientEcho2&>(*m).peers);

  // A negative count reads no peer; the bytes after it are left over and ignored.
  Bytes negative = echoHead(11);
  append(negative, {0xFE, 0, 0, 0, 1, 'a'});
  Datagram dn(negative);
  m = decode(dn);
  EXPECT_TRUE(dynamic_cast<p2p::ClientEcho2&>(*m).peers.empty());
}

TEST(MessageDecode, ReusedClientEchoForgetsItsEarlierPeers) {
  p2p::ClientEcho echo;
  echo.peers = {"old"};
  Datagram d(echoHead(4));
  d.view.get();
  echo.decode(d.view);
  EXPECT_TRUE(echo.peers.empty());
}

TEST(MessageFactory, MakesTheClassOfEveryOpcodeAndRefusesOthers) {
  const std::vector<const std::type_info*> classes = {
      &typeid(p2p::Connect),    &typeid(p2p::ConnectAck), &typeid(p2p::Data),
      &typeid(p2p::Close),      &typeid(p2p::ClientEcho), &typeid(p2p::ClientFind),
      &typeid(p2p::ClientHole), &typeid(p2p::ServerEcho), &typeid(p2p::DataAck2),
      &typeid(p2p::Proxy),      &typeid(p2p::Codec),      &typeid(p2p::ClientEcho2)};
  for (int32_t code = 0; code < 12; ++code) {
    std::unique_ptr<Message> m(Message::newMessage(static_cast<Message::Opcode>(code)));
    const Message& made = *m;
    EXPECT_EQ(code, made.getOpcode());
    EXPECT_EQ(*classes[code], typeid(made)) << code;
  }
  for (int32_t code : {-1, 12, 1000}) {
    try {
      delete Message::newMessage(static_cast<Message::Opcode>(code));
      ADD_FAILURE() << code;
    } catch (const std::runtime_error& e) {
      EXPECT_EQ("p2p::newMessage opcode " + std::to_string(code), e.what());
    }
  }
}

TEST(MessageFactory, GetMessageFlipsAFilledReceiveBuffer) {
  ByteBuffer b(64);
  b.put(8).putInt(3).putInt(41);
  std::unique_ptr<Message> m(Message::getMessage(b));
  EXPECT_EQ(Message::dataAck2, m->getOpcode());
  EXPECT_EQ(3, m->getChannelId());
  EXPECT_EQ(41, m->getSequence());
  EXPECT_EQ(9, b.position());
}

TEST(MessageEncode, TooSmallABufferFailsWithCheckLimit) {
  p2p::ClientFind find("a-long-enough-uuid", "b", "10.0.0.1", 1);
  for (int32_t room : {0, 5, 9, 20, 36}) {
    ByteBuffer out(room);
    try {
      find.encode(out);
      ADD_FAILURE() << room;
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ("checkLimit", e.what());
    }
  }
  // Over 127 peers cannot be counted in one byte.
  p2p::ClientEcho2 echo2;
  echo2.peers.assign(128, "");
  ByteBuffer out(1500);
  EXPECT_THROW(echo2.encode(out), std::runtime_error);
}

TEST(Proxy, DecodedAddressIsReadyForASocket) {
  Bytes bytes = {9, 0, 0, 0, 0, 0, 0, 0, 0, 4, 192, 0, 2, 7};
  bytes.resize(26, 0);
  append(bytes, {0, 0, 0xC7, 0x38});
  Datagram d(bytes);
  std::unique_ptr<Message> m = decode(d);
  sockaddr_in addr;
  std::memcpy(&addr, &dynamic_cast<p2p::Proxy&>(*m).addr, sizeof addr);
  EXPECT_EQ(AF_INET, addr.sin_family);
  EXPECT_EQ(htons(51000), addr.sin_port);
  EXPECT_EQ(htonl(0xC0000207), addr.sin_addr.s_addr);
}

TEST(Proxy, RefusesAnythingButIpv4) {
  Bytes v6 = {9, 0, 0, 0, 0, 0, 0, 0, 0, 6};
  v6.resize(30, 0);
  EXPECT_EQ("IPV6 address not supported", decodeError(v6));

  sockaddr_in6 in6{};
  in6.sin6_family = AF_INET6;
  p2p::Proxy proxy;
  try {
    proxy.setAddress(reinterpret_cast<sockaddr*>(&in6));
    ADD_FAILURE();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ("IPV6 address not supported", e.what());
  }
}

TEST(Data, PayloadIsCutToTheRoomLeftAndTheRestStays) {
  std::vector<int8_t> payload(2000);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<int8_t>(i);
  ByteBuffer source(payload.data(), 2000);
  p2p::Data packet(4, 17, &source);
  ByteBuffer out(1500);
  out.limit(1424);
  packet.encode(out);
  EXPECT_EQ(1424, out.position());
  EXPECT_EQ(1415, source.position());
  EXPECT_EQ(0, std::memcmp(out.array() + 9, payload.data(), 1415));
}

TEST(Data, DecodedPayloadIsAViewOfTheReceiveBuffer) {
  Datagram d({2, 0, 0, 0, 1, 0, 0, 0, 5, 'h', 'i'});
  std::unique_ptr<Message> m = decode(d);
  auto& packet = dynamic_cast<p2p::Data&>(*m);
  ASSERT_EQ(&d.view, packet.dataBuffer);
  EXPECT_EQ(9, packet.dataBuffer->position());
  EXPECT_EQ(2, packet.dataBuffer->remaining());
  EXPECT_EQ(d.view.array(), packet.dataBuffer->array());
}

TEST(XorBuffer, RewritesInPlaceAndRefusesASmallerTarget) {
  Bytes bytes = {0x00, 0x0F, 0xF0, 0xFF, 0x5A};
  ByteBuffer from(reinterpret_cast<int8_t*>(bytes.data()), 5);
  ByteBuffer to(reinterpret_cast<int8_t*>(bytes.data()), 5);
  from.position(1);
  to.position(1);
  p2p::xorBuffer(static_cast<int8_t>(0x5A), from, to);
  EXPECT_EQ((Bytes{0x00, 0x55, 0xAA, 0xA5, 0x00}), bytes);
  EXPECT_EQ(5, from.position());
  EXPECT_EQ(5, to.position());

  ByteBuffer source(reinterpret_cast<int8_t*>(bytes.data()), 5);
  ByteBuffer small(2);
  EXPECT_THROW(p2p::xorBuffer(1, source, small), std::runtime_error);
  EXPECT_EQ(0, source.position());
  EXPECT_EQ(0, small.position());
}

}  // namespace
