#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/un.h>

#include <cstring>
#include <functional>
#include <sstream>
#include <stdexcept>

#include "p2p/processes/SocketAddress.h"

#include "support/TestSupport.h"

using p2p::SocketAddress;

using testsupport::failureOf;

namespace {

std::string printed(const SocketAddress& address) {
  std::ostringstream out;
  out << address;
  return out.str();
}

sockaddr_in ipv4(const char* ip, int port) {
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, ip, &address.sin_addr);
  return address;
}

}  // namespace

TEST(SocketAddress, EmptyAddressHasNoIpNoPortAndPrintsItsNameOnly) {
  SocketAddress empty;
  EXPECT_FALSE(empty.isValid());
  EXPECT_FALSE(empty.hasProxy());
  EXPECT_EQ(empty.getIp(), nullptr);
  EXPECT_EQ(empty.getPort(), 0);
  EXPECT_EQ(printed(empty), "SocketAddress");
}

TEST(SocketAddress, EndpointAndRelayFromTextOrSocketFormPrintAndCopy) {
  SocketAddress text("10.1.2.3", 50123);
  EXPECT_TRUE(text.isValid());
  EXPECT_STREQ(text.getIp(), "10.1.2.3");
  EXPECT_EQ(text.getPort(), 50123);
  EXPECT_EQ(printed(text), "SocketAddress=10.1.2.3:50123");

  sockaddr_in endpoint = ipv4("192.168.0.7", 4000);
  sockaddr_in relay = ipv4("8.8.4.4", 65535);
  SocketAddress relayed(reinterpret_cast<sockaddr*>(&endpoint));
  relayed.setProxy(reinterpret_cast<sockaddr*>(&relay));
  SocketAddress copy = relayed;
  EXPECT_TRUE(copy.hasProxy());
  EXPECT_EQ(printed(copy), "SocketAddress=192.168.0.7:4000 proxy=8.8.4.4:65535");
  EXPECT_EQ(std::memcmp(copy.getProxySockaddr(), &relay, sizeof relay), 0);
  EXPECT_EQ(std::memcmp(copy.getSockaddr(), &endpoint, sizeof endpoint), 0);

  // A relay alone still prints, after the bare name.
  SocketAddress relayOnly;
  relayOnly.setProxy(reinterpret_cast<sockaddr*>(&relay));
  EXPECT_EQ(printed(relayOnly), "SocketAddress proxy=8.8.4.4:65535");
}

TEST(SocketAddress, OtherFamiliesAndBadTextAreRefusedAndChangeNothing) {
  sockaddr_in6 v6 = {};
  v6.sin6_family = AF_INET6;
  sockaddr_un local = {};
  local.sun_family = AF_UNIX;
  auto* v6p = reinterpret_cast<sockaddr*>(&v6);
  auto* localp = reinterpret_cast<sockaddr*>(&local);

  EXPECT_EQ(failureOf([&] { SocketAddress a(v6p); }), "IPV6 address not supported");
  EXPECT_EQ(failureOf([&] { SocketAddress a(localp); }), "unknown addr family");

  SocketAddress kept("1.2.3.4", 5);
  EXPECT_EQ(failureOf([&] { kept.setAddress(v6p); }), "IPV6 address not supported");
  EXPECT_EQ(failureOf([&] { kept.setProxy(v6p); }), "IPV6 address not supported");
  EXPECT_EQ(failureOf([&] { kept.setProxy(localp); }), "unknown addr family");
  EXPECT_EQ(failureOf([&] { kept.setAddress("1.2.3.400", 5); }).rfind("uv_ip4_addr error ", 0), 0u);
  EXPECT_EQ(failureOf([&] { kept.setAddress("", 5); }).rfind("uv_ip4_addr error ", 0), 0u);
  EXPECT_EQ(printed(kept), "SocketAddress=1.2.3.4:5");
}
