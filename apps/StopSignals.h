// SIGINT and SIGTERM as loop events: the first of them stops the loop, so that the program
// takes its engine down in order (connections closed, partial files kept for a resume) rather
// than dying in the middle of a write. The handles do not keep the loop alive by themselves.
#pragma once

#include <uv.h>

#include "p2p/uv/UvLoop.h"

class StopSignals : public p2p::UvLoop::Resident {
 public:
  // Must run on the loop thread (or before the loop runs).
  explicit StopSignals(p2p::UvLoop* loop);
  ~StopSignals() override;

  // The signal that stopped the loop, or 0.
  int received() const { return _received; }

 protected:
  void onLoopClosing() override;

 private:
  static void onSignal(uv_signal_t* handle, int signum);
  uv_signal_t* watch(int signum);
  void closeHandles();

  p2p::UvLoop* _loop;
  uv_signal_t* _interrupt = nullptr;
  uv_signal_t* _terminate = nullptr;
  int _received = 0;
};
