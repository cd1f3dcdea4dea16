#include "ui/EventForwarder.h"

#include <memory>

void EventForwarder::onEvent(net::Api::Event* event) {
  std::unique_ptr<net::Api::Event> owned(event);
  std::lock_guard<std::mutex> guard(lock);
  if (sink) sink(owned.release());
}

void EventForwarder::close() {
  std::lock_guard<std::mutex> guard(lock);
  sink = nullptr;
}
