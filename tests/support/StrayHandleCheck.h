// Every test program fails a test during which a loop being destroyed had to close a handle that
// its owner had left open (see UvLoop::strayHandles). A test that leaves some open on purpose,
// to see the loop close them, says so here.
#pragma once

#include <cstddef>

namespace testsupport {

void expectStrayHandles(size_t count);

}  // namespace testsupport
