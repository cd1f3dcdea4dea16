#include "StopSignals.h"

#include <csignal>
#include <cstdlib>

#include "p2p/uv/UvLog.h"

StopSignals::StopSignals(p2p::UvLoop* loop) : Resident(loop), _loop(loop) {
  try {
    _interrupt = watch(SIGINT);
    _terminate = watch(SIGTERM);
  } catch (...) {
    closeHandles();
    throw;
  }
}

StopSignals::~StopSignals() { closeHandles(); }

void StopSignals::onLoopClosing() {
  closeHandles();
  _loop = nullptr;
}

void StopSignals::closeHandles() {
  p2p::closeAndFree(reinterpret_cast<uv_handle_t*>(_interrupt));
  p2p::closeAndFree(reinterpret_cast<uv_handle_t*>(_terminate));
  _interrupt = _terminate = nullptr;
}

uv_signal_t* StopSignals::watch(int signum) {
  auto* handle = p2p::allocUv<uv_signal_t>();
  const int status = uv_signal_init(_loop->uvLoop(), handle);
  if (status != 0) {
    std::free(handle);
    p2p::checkStatus("uv_signal_init", status);
  }
  handle->data = this;
  // Unreferenced: a program whose engine has nothing left to do ends as it would without us.
  uv_unref(reinterpret_cast<uv_handle_t*>(handle));
  const int started = uv_signal_start(handle, onSignal, signum);
  if (started != 0) {
    p2p::closeAndFree(reinterpret_cast<uv_handle_t*>(handle));
    p2p::checkStatus("uv_signal_start", started);
  }
  return handle;
}

void StopSignals::onSignal(uv_signal_t* handle, int signum) {
  auto* self = static_cast<StopSignals*>(handle->data);
  p2p::UvLoop::guard(handle->loop, [self, signum] {
    if (self->_received != 0) return;  // already stopping
    self->_received = signum;
    UV_LOG("INFO") << "stopping on " << (signum == SIGINT ? "SIGINT" : "SIGTERM");
    self->_loop->stop();
  });
}
