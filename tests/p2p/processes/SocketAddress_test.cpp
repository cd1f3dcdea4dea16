#include "p2p/processes/SocketAddress.h"

#include <gtest/gtest.h>
#include <sys/un.h>
#include <uv.h>

#include <functional>
#include <sstream>
#include <string>

#include "support/TestSupport.h"

using p2p::SocketAddress;

TEST(SocketAddress, RefusesOtherFamiliesAndBadTextChangingNothing) {
  sockaddr_in6 v6 = {};
  v6.sin6_family = AF_INET6;
  sockaddr_un local = {};
  local.sun_family = AF_UNIX;
  auto* v6p = reinterpret_cast<sockaddr*>(&v6);
  auto* localp = reinterpret_cast<sockaddr*>(&local);
  SocketAddress kept("1.2.3.4", 5);
  const std::pair<std::function<void()>, std::string> refusals[] = {
      {[&] { SocketAddress{v6p}; }, "IPV6 address not supported"},
      {[&] { SocketAddress{localp}; }, "unknown addr family"},
      {[&] { kept.setAddress(v6p); }, "IPV6 address not supported"},
      {[&] { kept.setProxy(localp); }, "unknown addr family"},
      {[&] { kept.setAddress("1.2.3.400", 5); },
       "uv_ip4_addr error " + std::to_string(UV_EINVAL) + " " + uv_strerror(UV_EINVAL)},
  };
  for (const auto& [act, failure] : refusals) EXPECT_EQ(testsupport::failureOf(act), failure);
  std::ostringstream printed;
  printed << kept << " " << SocketAddress();
  EXPECT_EQ(printed.str(), "SocketAddress=1.2.3.4:5 SocketAddress");
  EXPECT_FALSE(kept.hasProxy());
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
