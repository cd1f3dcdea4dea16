// Linked into every test program: a loop that has to close a handle its owner left open fails
// the test during which it happened.
#include "support/StrayHandleCheck.h"

#include <gtest/gtest.h>

#include <atomic>

#include "p2p/uv/UvLoop.h"

namespace {

std::atomic<size_t> expected{0};  // strays announced by the test, not yet checked

// Fails the test (or the suite's set-up and tear-down) during which a loop being destroyed had to
// close a handle that its owner had left open. Registered for every test program.
class StrayHandleCheck : public testing::EmptyTestEventListener {
 public:
  void OnTestStart(const testing::TestInfo&) override { check("before the test"); }
  void OnTestEnd(const testing::TestInfo&) override { check("during the test"); }
  void OnTestSuiteEnd(const testing::TestSuite&) override { check("in the suite's set-up or tear-down"); }

 private:
  void check(const char* when) {
    const p2p::UvLoop::StrayHandles now = p2p::UvLoop::strayHandles();
    const size_t announced = expected.exchange(0);
    if (now.count != seen + announced) {
      ADD_FAILURE() << now.count - seen << " libuv handle(s) left open " << when << " (" << announced
                    << " expected) and closed by the loop's destructor; the last one a " << now.lastType;
    }
    seen = now.count;
  }

  size_t seen = 0;
};

const bool strayHandleCheckRegistered = [] {
  testing::UnitTest::GetInstance()->listeners().Append(new StrayHandleCheck);
  return true;
}();

}  // namespace

void testsupport::expectStrayHandles(size_t count) { expected += count; }
