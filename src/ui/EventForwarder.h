// The frame's listener on the engine: hands each event to a sink (the frame queues it to the
// user-interface thread) until closed. The frame closes it before it stops the engine, so an
// event that arrives after the frame is gone is freed instead of reaching a destroyed window.
#pragma once

#include <functional>
#include <mutex>

#include "net/Api.h"

class EventForwarder : public net::Api::Listener {
 public:
  using Sink = std::function<void(net::Api::Event*)>;  // takes over the event

  explicit EventForwarder(Sink sink) : sink(std::move(sink)) {}

  // Any thread.
  void onEvent(net::Api::Event* event) override;
  // Once it has returned, the sink is never called again (a call in progress is waited for).
  void close();

 private:
  std::mutex lock;
  Sink sink;
};
