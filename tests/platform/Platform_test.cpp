#include "platform/Platform.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>

#include "support/TestSupport.h"

using testsupport::ScopedEnv;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

std::string passwordHome() {
  struct passwd* entry = getpwuid(getuid());
  return entry && entry->pw_dir ? entry->pw_dir : "";
}

}  // namespace

TEST(PlatformTest, HomeDirPrefersHomeAndFallsBackToPasswordDatabase) {
  {
    ScopedEnv home("HOME", "/some/where");
    EXPECT_EQ(platform::homeDir(), "/some/where");
  }
  {
    ScopedEnv home("HOME");
    EXPECT_EQ(platform::homeDir(), passwordHome());
  }
  {
    ScopedEnv home("HOME", "");
    EXPECT_EQ(platform::homeDir(), passwordHome());
  }
}

TEST(PlatformTest, ClocksAndProcessors) {
  EXPECT_GE(platform::processorCount(), 1u);

  int64_t expected = static_cast<int64_t>(std::time(nullptr)) * 1000000;
  EXPECT_NEAR(static_cast<double>(platform::utcMicros()), static_cast<double>(expected), 2e6);

  uint64_t before = platform::monotonicMillis();
  usleep(20000);
  uint64_t after = platform::monotonicMillis();
  EXPECT_GE(after - before, 19u);
  EXPECT_LT(after - before, 2000u);
}

TEST(PlatformTest, RealEthernetAddressIsUsable) {
  uint8_t mac[6] = {0};
  if (!platform::firstEthernetMac(mac)) GTEST_SKIP() << "no physical Ethernet adapter here";
  bool allZero = true;
  for (uint8_t b : mac) allZero = allZero && b == 0;
  EXPECT_FALSE(allZero);
  EXPECT_EQ(mac[0] & 0x01, 0) << "multicast address taken as adapter address";
}

namespace {

void addInterface(const TempDir& root, const std::string& name, const std::string& type,
                  const std::string& address, bool physical) {
  std::filesystem::create_directories(root.file(name));
  writeFile(root.file(name + "/type"), type + "\n");
  writeFile(root.file(name + "/address"), address + "\n");
  if (physical) std::filesystem::create_directories(root.file(name + "/device"));
}

std::string pick(const TempDir& root) {
  uint8_t mac[6];
  if (!platform::firstEthernetMacIn(root.path(), mac)) return "none";
  char text[18];
  std::snprintf(text, sizeof(text), "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2],
                mac[3], mac[4], mac[5]);
  return text;
}

}  // namespace

TEST(PlatformTest, EthernetChoicePassesOverUnsuitableAdapters) {
  TempDir root;
  EXPECT_EQ(pick(root), "none");

  addInterface(root, "lo", "772", "00:00:00:00:00:00", false);
  addInterface(root, "a-virtual", "1", "02:aa:aa:aa:aa:aa", false);  // bridge, veth: no device
  addInterface(root, "b-zero", "1", "00:00:00:00:00:00", true);
  addInterface(root, "c-tunnel", "776", "00:11:22:33:44:00", true);
  addInterface(root, "d-multicast", "1", "01:00:5e:00:00:01", true);
  addInterface(root, "e-garbled", "1", "00:11:22:33:44", true);
  EXPECT_EQ(pick(root), "none");

  // Created out of order: the choice follows the names, not the directory's order.
  addInterface(root, "eth1", "1", "00:11:22:33:44:02", true);
  addInterface(root, "eth0", "1", "00:11:22:33:44:01", true);
  EXPECT_EQ(pick(root), "00:11:22:33:44:01");

  uint8_t mac[6];
  EXPECT_FALSE(platform::firstEthernetMacIn(root.file("missing"), mac));
}
