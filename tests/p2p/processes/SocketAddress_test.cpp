#include <gtest/gtest.h>
#include <sys/un.h>
#include <uv.h>

#include <cstring>
#include <functional>
#include <sstream>
#include <string>

#include "p2p/processes/SocketAddress.h"

using p2p::SocketAddress;

TEST(SocketAddress, PrintsAccessesCopiesAndRefusesOtherFamiliesChangingNothing) {
  sockaddr_in endpoint = {}, relay = {};
  uv_ip4_addr("192.168.0.7", 4000, &endpoint);
  uv_ip4_addr("8.8.4.4", 65535, &relay);
  sockaddr_in6 v6 = {};
  v6.sin6_family = AF_INET6;
  sockaddr_un local = {};
  local.sun_family = AF_UNIX;
  auto* v6p = reinterpret_cast<sockaddr*>(&v6);
  auto* localp = reinterpret_cast<sockaddr*>(&local);
  SocketAddress relayed(reinterpret_cast<sockaddr*>(&endpoint)), relayOnly;
  relayed.setProxy(reinterpret_cast<sockaddr*>(&relay));
  relayOnly.setProxy(reinterpret_cast<sockaddr*>(&relay));
  SocketAddress kept("1.2.3.4", 5);  // every refusal leaves it as it was

  const struct {
    std::function<SocketAddress()> make;
    std::string expected;  // the printing and accessors, or the failure
  } cases[] = {
      {[] { return SocketAddress(); }, "SocketAddress ip= port=0"},
      {[] { return SocketAddress("10.1.2.3", 50123); }, "SocketAddress=10.1.2.3:50123 ip=10.1.2.3 port=50123"},
      {[&] { return relayed; }, "SocketAddress=192.168.0.7:4000 proxy=8.8.4.4:65535 ip=192.168.0.7 port=4000"},
      {[&] { return relayOnly; }, "SocketAddress proxy=8.8.4.4:65535 ip= port=0"},
      {[&] { return SocketAddress(v6p); }, "IPV6 address not supported"},
      {[&] { return SocketAddress(localp); }, "unknown addr family"},
      {[&] { kept.setAddress(v6p); return kept; }, "IPV6 address not supported"},
      {[&] { kept.setProxy(localp); return kept; }, "unknown addr family"},
      {[&] { kept.setAddress("1.2.3.400", 5); return kept; },
       "uv_ip4_addr error " + std::to_string(UV_EINVAL) + " " + uv_strerror(UV_EINVAL)},
      {[&] { return kept; }, "SocketAddress=1.2.3.4:5 ip=1.2.3.4 port=5"},
  };
  for (const auto& c : cases) {
    std::ostringstream got;
    try {
      const SocketAddress a = c.make();
      got << a << " ip=" << a.getIp() << " port=" << a.getPort();
    } catch (const std::exception& e) {
      got << e.what();
    }
    EXPECT_EQ(got.str(), c.expected);
  }
  EXPECT_EQ(std::memcmp(relayed.getSockaddr(), &endpoint, sizeof endpoint), 0);
  EXPECT_EQ(std::memcmp(relayed.getProxySockaddr(), &relay, sizeof relay), 0);
}

TEST(SocketAddress, EachIpTextIsItsOwnAndAddressesCompareByIpOrRelay) {
  const SocketAddress first("10.0.0.1", 1), second("10.0.0.2", 2), samePc("10.0.0.1", 9);
  const std::string a = first.getIp(), b = second.getIp();  // the second must not overwrite the first
  EXPECT_EQ(a + " " + b, "10.0.0.1 10.0.0.2");
  EXPECT_TRUE(first.sameIp(samePc));
  EXPECT_FALSE(first.sameEndpoint(samePc));
  EXPECT_FALSE(first.sameIp(second));
  EXPECT_FALSE(SocketAddress().sameIp(SocketAddress()));
  SocketAddress relayed = first;
  relayed.setProxy(second.getSockaddr());
  EXPECT_TRUE(relayed.getProxy().sameEndpoint(second));
  EXPECT_FALSE(relayed.getProxy().hasProxy());
  EXPECT_FALSE(first.getProxy().isValid());
}
