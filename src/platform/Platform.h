#pragma once

#include <cstdint>
#include <string>

// The few operating-system services the utilities need, behind one small interface.
namespace platform {

// The computer's host name, or "" when the system does not give one.
std::string hostName();

// The hardware address of the first physical Ethernet adapter, by interface name.
// Only adapters of Ethernet type that sit on a device are taken: loopback, bridges,
// veth pairs and other purely virtual interfaces carry made-up addresses that may
// repeat across machines. All-zero and multicast addresses are passed over too.
bool firstEthernetMac(uint8_t out[6]);

// The same walk over another copy of /sys/class/net, so the choice can be tested.
bool firstEthernetMacIn(const std::string& sysClassNet, uint8_t out[6]);

// HOME when set and non-empty, else the password database's entry, else "".
std::string homeDir();

// Processors this process may run on; at least 1.
unsigned processorCount();

// Wall-clock time in microseconds since 1970-01-01 UTC.
int64_t utcMicros();

// A clock that never steps back, in milliseconds from an arbitrary start.
uint64_t monotonicMillis();

}  // namespace platform
