#include "p2p/messages/Proxy.h"

#include <arpa/inet.h>

#include <cstring>
#include <stdexcept>

namespace p2p {

namespace {

const char* const kNotIpv4 = "IPV6 address not supported";

}  // namespace

static_assert(sizeof(sockaddr) >= sizeof(sockaddr_in), "addr must hold an IPv4 address");

Proxy::Proxy() : Message(proxy) {}

void Proxy::setAddress(const sockaddr* address) {
  if (address->sa_family != AF_INET) throw std::runtime_error(kNotIpv4);
  sockaddr_in in;
  std::memcpy(&in, address, sizeof in);
  ipVersion = 4;
  port = ntohs(in.sin_port);
  std::memset(ip, 0, sizeof ip);
  std::memcpy(ip, &in.sin_addr, 4);
  std::memset(&addr, 0, sizeof addr);
  std::memcpy(&addr, &in, sizeof in);
}

void Proxy::decode(ByteBuffer& b) {
  Message::decode(b);
  ipVersion = b.get();
  b.get(ip, sizeof ip);
  port = b.getInt();
  if (ipVersion != 4) throw std::runtime_error(kNotIpv4);
  sockaddr_in in;
  std::memset(&in, 0, sizeof in);
  in.sin_family = AF_INET;
  // The port travels as an int; only its low 16 bits make a UDP port.
  in.sin_port = htons(static_cast<uint16_t>(port));
  std::memcpy(&in.sin_addr, ip, 4);
  std::memset(&addr, 0, sizeof addr);
  std::memcpy(&addr, &in, sizeof in);
}

void Proxy::encode(ByteBuffer& b) {
  Message::encode(b);
  putByte(b, ipVersion);
  b.put(ip, sizeof ip);
  putInt(b, port);
}

void Proxy::dump(std::ostream& out) const {
  dumpHeader(out, "Proxy");
  out << " " << (ip[0] & 0xFF) << "." << (ip[1] & 0xFF) << "." << (ip[2] & 0xFF) << "."
      << (ip[3] & 0xFF) << ":" << port;
}

}  // namespace p2p
