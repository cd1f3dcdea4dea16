// The accept gate's rules on a manual clock: the cap per source, strikes that age out, a request
// that never strikes and clears nothing, and relayed peers counted as the peer the relay names.
#include "net/handlers/AcceptGate.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using net::AcceptGate;

namespace {

p2p::SocketAddress relayed(const std::string& peerIp, const p2p::SocketAddress& relay) {
  p2p::SocketAddress address(peerIp, 7000);
  address.setProxy(relay.getSockaddr());
  return address;
}

}  // namespace

TEST(AcceptGate, CapsWaitingAndStrikesPerSource) {
  const p2p::SocketAddress a("10.0.0.1", 1000), aOtherPort("10.0.0.1", 2000), b("10.0.0.2", 1000);
  // Behind a relay that sits at a's address: each counts as the peer the relay names.
  const p2p::SocketAddress c = relayed("10.0.0.3", a), d = relayed("10.0.0.4", a);
  enum Action { Admit, Request, EndWaiting, EndServed };
  struct Step {
    uint64_t at;
    const p2p::SocketAddress& source;
    Action action;
    int times;
    AcceptGate::Verdict expected;  // of each Admit
  };
  const auto W = AcceptGate::TooManyWaiting, S = AcceptGate::TooManyStrikes, OK = AcceptGate::Admitted;
  const uint64_t t0 = 5000, aged = t0 + AcceptGate::STRIKE_MS;
  const std::vector<Step> steps = {
      {t0, a, Admit, 4, OK},
      {t0, a, Admit, 1, W},
      {t0, aOtherPort, Admit, 1, W},  // any port of the address
      {t0, b, Admit, 1, OK},
      {t0, c, Admit, 4, OK},
      {t0, c, Admit, 1, W},
      {t0, d, Admit, 1, OK},
      {t0, a, Request, 1, OK},  // one of a's asked: it waits no more
      {t0, a, Admit, 1, OK},
      {t0, a, Admit, 1, W},
      {t0, a, EndServed, 1, OK},  // the one that asked: no strike
      {t0, a, EndWaiting, 4, OK},
      {t0 + 1000, a, Admit, 4, OK},
      {t0 + 1000, a, EndWaiting, 4, OK},  // the eighth strike
      {t0 + 1000, a, Admit, 1, S},
      {t0 + 1000, aOtherPort, Admit, 1, S},
      {t0 + 1000, b, Admit, 1, OK},  // others are not touched
      {t0 + 1000, c, Admit, 1, W},
      {aged - 1, a, Admit, 1, S},
      {aged, a, Admit, 4, OK},  // the first four have aged out
      {aged, a, EndWaiting, 4, OK},
      {aged, a, Admit, 1, S},
      {aged + 1000, a, Admit, 4, OK},  // and now the second four
  };
  AcceptGate gate;
  for (size_t i = 0; i < steps.size(); ++i) {
    const Step& step = steps[i];
    for (int n = 0; n < step.times; ++n) {
      switch (step.action) {
        case Admit:
          EXPECT_EQ(gate.admit(step.source, step.at), step.expected) << "step " << i << ", " << n;
          break;
        case Request:
          gate.onRequest(step.source);
          break;
        case EndWaiting:
        case EndServed:
          gate.onEnd(step.source, step.action == EndServed, step.at);
          break;
      }
    }
  }
  EXPECT_EQ(gate.strikes(a, aged + 1000), 4);
  EXPECT_EQ(gate.waiting(a), 4);
  EXPECT_EQ(gate.waiting(c), 4);

  // A stream of new strangers leaves no record behind once their strikes have aged.
  AcceptGate swept;
  for (int i = 0; i < 1000; ++i) {
    const p2p::SocketAddress stranger("10.1." + std::to_string(i / 250) + "." + std::to_string(i % 250), 9);
    ASSERT_EQ(swept.admit(stranger, t0), OK);
    swept.onEnd(stranger, false, t0);
  }
  EXPECT_EQ(swept.sources(), 1000u);
  EXPECT_EQ(swept.admit(b, aged + 60000), OK);
  EXPECT_EQ(swept.sources(), 1u);
}
