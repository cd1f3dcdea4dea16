#include "platform/Platform.h"

#include <net/if_arp.h>
#include <pwd.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace platform {

std::string hostName() {
  char name[256] = {0};
  if (gethostname(name, sizeof(name) - 1) != 0) return "";
  return name;  // the last byte stays zero even when the name was cut
}

namespace {

std::string firstLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

bool parseMac(const std::string& text, uint8_t out[6]) {
  unsigned b[6];
  char tail;
  if (std::sscanf(text.c_str(), "%2x:%2x:%2x:%2x:%2x:%2x%c", &b[0], &b[1], &b[2], &b[3], &b[4],
                  &b[5], &tail) != 6)
    return false;
  for (int i = 0; i < 6; i++) out[i] = static_cast<uint8_t>(b[i]);
  return true;
}

bool usableMac(const uint8_t mac[6]) {
  bool allZero = std::all_of(mac, mac + 6, [](uint8_t b) { return b == 0; });
  bool multicast = (mac[0] & 0x01) != 0;
  return !allZero && !multicast;
}

bool isPhysicalEthernet(const fs::path& dir) {
  std::error_code ec;
  if (firstLine(dir / "type") != std::to_string(ARPHRD_ETHER)) return false;
  return fs::exists(dir / "device", ec);
}

}  // namespace

bool firstEthernetMacIn(const std::string& sysClassNet, uint8_t out[6]) {
  std::error_code ec;
  std::vector<std::string> names;
  for (fs::directory_iterator it(sysClassNet, ec), end; !ec && it != end; it.increment(ec))
    names.push_back(it->path().filename().string());
  std::sort(names.begin(), names.end());

  for (const auto& name : names) {
    if (name == "lo") continue;
    fs::path dir = fs::path(sysClassNet) / name;
    uint8_t mac[6];
    if (!isPhysicalEthernet(dir) || !parseMac(firstLine(dir / "address"), mac) || !usableMac(mac))
      continue;
    std::copy(mac, mac + 6, out);
    return true;
  }
  return false;
}

bool firstEthernetMac(uint8_t out[6]) { return firstEthernetMacIn("/sys/class/net", out); }

std::string homeDir() {
  const char* home = std::getenv("HOME");
  if (home && *home) return home;

  long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(hint > 0 ? static_cast<size_t>(hint) : 16384);
  for (;;) {
    struct passwd entry;
    struct passwd* found = nullptr;
    int rc = getpwuid_r(getuid(), &entry, buf.data(), buf.size(), &found);
    if (rc == ERANGE && buf.size() < (1u << 20)) {
      buf.resize(buf.size() * 2);
      continue;
    }
    if (rc != 0 || !found || !found->pw_dir) return "";
    return found->pw_dir;
  }
}

unsigned processorCount() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0 && CPU_COUNT(&set) > 0)
    return static_cast<unsigned>(CPU_COUNT(&set));
  long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<unsigned>(online) : 1;
}

int64_t utcMicros() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

uint64_t monotonicMillis() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
}

}  // namespace platform
