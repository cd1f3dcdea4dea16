#include "p2p/processes/DhGroupGate.h"

#include <gtest/gtest.h>

#include <string>

#include "p2p/uv/UvLoop.h"
#include "utils/DH.h"

using namespace p2p;

TEST(DhGroupGate, ChecksOnlyNewGroupsAFewAMinuteAndRemembersBoundedly) {
  uint64_t clock = 1000;
  UvLoop loop{[&] { return clock; }};
  DhGroupGate gate(&loop);
  int checks = 0;
  const auto admit = [&](const std::string& p, int flags = 0) {
    return gate.admit(p, "5", [&] { return ++checks, flags; });
  };
  std::string builtInP, g;
  DHKeyExchange builtIn;
  builtIn.setPG();
  builtIn.getPG(builtInP, g);

  EXPECT_EQ(gate.admit(builtInP, g, [&] { return ++checks, 1; }), "");
  EXPECT_EQ(checks, 0);
  EXPECT_EQ(admit("11"), "");
  EXPECT_EQ(admit("13", 1), "PG error 1");
  EXPECT_EQ(gate.admit("17", "5", [&]() -> int { ++checks; throw std::runtime_error("DH_check broke"); }),
            "PG error DH_check broke");
  EXPECT_EQ(admit("19"), "");
  EXPECT_EQ(admit("23"), DhGroupGate::TOO_MANY_NEW_GROUPS);
  EXPECT_EQ(checks, 4);
  EXPECT_EQ(admit("11", 1), "");  // passed before: no new check
  EXPECT_EQ(admit("13"), "PG error 1");
  EXPECT_EQ(admit("17"), "PG error DH_check broke");
  EXPECT_EQ(checks, 4);

  clock += DhGroupGate::PERIOD_MS - 1;
  EXPECT_EQ(admit("23"), DhGroupGate::TOO_MANY_NEW_GROUPS);
  clock += 1;
  EXPECT_EQ(admit("23"), "");
  EXPECT_EQ(checks, 5);

  // Past the bound the oldest failure is forgotten, and checked again when it comes back.
  for (size_t n = 0; n < DhGroupGate::MAX_REMEMBERED; ++n) {
    clock += DhGroupGate::PERIOD_MS;
    EXPECT_EQ(admit("1" + std::to_string(1000 + n), 4), "PG error 4");
  }
  clock += DhGroupGate::PERIOD_MS;
  EXPECT_EQ(admit("13", 2), "PG error 2");
  EXPECT_EQ(admit("11", 1), "");  // the sound ones are kept apart
}
