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

TEST(PlatformTest, HomeDirPrefersHomeAndFallsBackToPasswordDatabase) {
  const std::string passwordHome = getpwuid(getuid())->pw_dir;
  for (const auto& [home, expected] : {std::pair<const char*, std::string>{"/some/where", "/some/where"},
                                       {nullptr, passwordHome}, {"", passwordHome}}) {
    const ScopedEnv env = home ? ScopedEnv("HOME", home) : ScopedEnv("HOME");
    EXPECT_EQ(platform::homeDir(), expected) << (home ? home : "unset");
  }
}

TEST(PlatformTest, ClocksAndProcessors) {
  EXPECT_GE(platform::processorCount(), 1u);
  EXPECT_NEAR(double(platform::utcMicros()), double(std::time(nullptr)) * 1e6, 2e6);
}

// Passes over loopback, virtual (no device), zero, non-Ethernet, multicast and garbled
// adapters, and takes the first by name, not by the folder's order.
TEST(PlatformTest, EthernetChoicePassesOverUnsuitableAdapters) {
  TempDir root;
  const auto pick = [&] {
    uint8_t mac[6];
    if (!platform::firstEthernetMacIn(root.path(), mac)) return std::string("none");
    char text[18];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    return std::string(text);
  };
  EXPECT_EQ(pick(), "none");
  const char* const adapters[][4] = {
      {"lo", "772", "00:00:00:00:00:00", ""},          {"a-virtual", "1", "02:aa:aa:aa:aa:aa", ""},
      {"b-zero", "1", "00:00:00:00:00:00", "device"},  {"c-tunnel", "776", "00:11:22:33:44:00", "device"},
      {"d-multicast", "1", "01:00:5e:00:00:01", "device"}, {"e-garbled", "1", "00:11:22:33:44", "device"},
      {"eth1", "1", "00:11:22:33:44:02", "device"},    {"eth0", "1", "00:11:22:33:44:01", "device"}};
  for (const auto& [name, type, address, device] : adapters) {
    if (std::string(name) == "eth1") {
      EXPECT_EQ(pick(), "none");
    }
    std::filesystem::create_directories(root.file(name) + "/" + device);
    writeFile(root.file(name) + "/type", std::string(type) + "\n");
    writeFile(root.file(name) + "/address", std::string(address) + "\n");
  }
  EXPECT_EQ(pick(), "00:11:22:33:44:01");
  uint8_t mac[6];
  EXPECT_FALSE(platform::firstEthernetMacIn(root.file("missing"), mac));
}
