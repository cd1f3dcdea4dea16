// A one-shot or repeating timer on the loop, reporting to a Cb that its owner keeps alive.
#pragma once

#include "p2p/uv/UvLoop.h"

namespace p2p {

class UvTimer : public UvLoop::Resident {
 public:
  class Cb {
   public:
    virtual ~Cb() = default;
    virtual void handleTimer() = 0;
  };

  // Must run on the loop thread (or before the loop runs).
  explicit UvTimer(UvLoop* loop);
  ~UvTimer() override;

  // First call after timeoutMsec, then every repeatMsec (0: once). Restarts a running timer
  // with the new values and the new cb.
  void start(int timeoutMsec, int repeatMsec, Cb* cb);
  void stop();

 protected:
  void onLoopClosing() override;

 private:
  static void onTimer(uv_timer_t* handle);

  uv_timer_t* timer;
};

}  // namespace p2p
