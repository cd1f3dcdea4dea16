// The IPv4 endpoint that travels with every UDP message, optionally paired with the relay
// through which the endpoint is reached. A plain value: copied freely.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <ostream>
#include <string>

namespace p2p {

class SocketAddress {
 public:
  SocketAddress();
  // Throws "IPV6 address not supported" for AF_INET6 and "unknown addr family" otherwise.
  explicit SocketAddress(const sockaddr* addr);
  // Dotted IPv4 text and a host-order port; bad text throws the checkStatus text of "uv_ip4_addr".
  SocketAddress(const std::string& ip, int port);

  // Both leave the address unchanged when they throw.
  void setAddress(const sockaddr* addr);
  void setAddress(const std::string& ip, int port);
  void setProxy(const sockaddr* addr);

  bool isValid() const { return valid; }
  bool hasProxy() const { return proxyValid; }
  // Both hold the same endpoint (address and port), whatever relay each names.
  bool sameEndpoint(const SocketAddress& other) const;
  // Both hold an endpoint with the same IPv4 address, whatever the ports.
  bool sameIp(const SocketAddress& other) const;
  // The relay as an address of its own; invalid when there is none.
  SocketAddress getProxy() const;

  // Dotted text of the endpoint, empty when there is none.
  std::string getIp() const;
  // Host-order port of the endpoint, 0 when there is none.
  int getPort() const;

  const sockaddr* getSockaddr() const { return reinterpret_cast<const sockaddr*>(&addr); }
  const sockaddr* getProxySockaddr() const { return reinterpret_cast<const sockaddr*>(&proxyAddr); }

 private:
  bool valid;
  bool proxyValid;
  sockaddr_in addr;
  sockaddr_in proxyAddr;
};

// "SocketAddress", then "=ip:port" when valid and " proxy=ip:port" when a relay is set.
std::ostream& operator<<(std::ostream& out, const SocketAddress& address);

}  // namespace p2p
