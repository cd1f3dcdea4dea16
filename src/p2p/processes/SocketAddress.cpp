#include "p2p/processes/SocketAddress.h"

#include <arpa/inet.h>
#include <uv.h>

#include <cstring>
#include <stdexcept>

#include "p2p/uv/UvLoop.h"

namespace p2p {

namespace {

// Copies an IPv4 socket address; refuses every other family before touching `to`.
void copyIpv4(const sockaddr* from, sockaddr_in& to) {
  if (from->sa_family == AF_INET6) throw std::runtime_error("IPV6 address not supported");
  if (from->sa_family != AF_INET) throw std::runtime_error("unknown addr family");
  std::memcpy(&to, from, sizeof to);
}

void printIpv4(std::ostream& out, const sockaddr_in& address) {
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
  out << text << ":" << ntohs(address.sin_port);
}

}  // namespace

SocketAddress::SocketAddress() : valid(false), proxyValid(false), addr(), proxyAddr() {}

SocketAddress::SocketAddress(const sockaddr* address) : SocketAddress() { setAddress(address); }

SocketAddress::SocketAddress(const std::string& ip, int port) : SocketAddress() { setAddress(ip, port); }

void SocketAddress::setAddress(const sockaddr* address) {
  copyIpv4(address, addr);
  valid = true;
}

void SocketAddress::setAddress(const std::string& ip, int port) {
  sockaddr_in parsed;
  checkStatus("uv_ip4_addr", uv_ip4_addr(ip.c_str(), port, &parsed));
  addr = parsed;
  valid = true;
}

void SocketAddress::setProxy(const sockaddr* address) {
  copyIpv4(address, proxyAddr);
  proxyValid = true;
}

std::string SocketAddress::getIp() const {
  if (!valid) return std::string();
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
  return text;
}

int SocketAddress::getPort() const { return valid ? ntohs(addr.sin_port) : 0; }

std::ostream& operator<<(std::ostream& out, const SocketAddress& address) {
  out << "SocketAddress";
  if (address.isValid()) {
    out << "=";
    printIpv4(out, *reinterpret_cast<const sockaddr_in*>(address.getSockaddr()));
  }
  if (address.hasProxy()) {
    out << " proxy=";
    printIpv4(out, *reinterpret_cast<const sockaddr_in*>(address.getProxySockaddr()));
  }
  return out;
}

bool SocketAddress::sameEndpoint(const SocketAddress& other) const {
  return sameIp(other) && addr.sin_port == other.addr.sin_port;
}

bool SocketAddress::sameIp(const SocketAddress& other) const {
  return valid && other.valid && addr.sin_addr.s_addr == other.addr.sin_addr.s_addr;
}

SocketAddress SocketAddress::getProxy() const {
  SocketAddress relay;
  if (proxyValid) relay.setAddress(getProxySockaddr());
  return relay;
}

}  // namespace p2p
