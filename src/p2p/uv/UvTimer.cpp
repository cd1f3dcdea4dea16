#include "p2p/uv/UvTimer.h"

#include <stdexcept>

namespace p2p {

UvTimer::UvTimer(UvLoop* loop) : Resident(loop), timer(allocUv<uv_timer_t>()) {
  int status = uv_timer_init(loop->uvLoop(), timer);
  if (status != 0) {
    std::free(timer);
    timer = nullptr;
    checkStatus("uv_timer_init", status);
  }
}

UvTimer::~UvTimer() {
  if (!timer) return;
  int status = uv_timer_stop(timer);
  if (status != 0) printStatus("uv_timer_stop", status);
  closeAndFree(reinterpret_cast<uv_handle_t*>(timer));
}

void UvTimer::onLoopClosing() {
  closeAndFree(reinterpret_cast<uv_handle_t*>(timer));
  timer = nullptr;
}

void UvTimer::start(int timeoutMsec, int repeatMsec, Cb* cb) {
  if (!timer) throw std::runtime_error("uv_timer_start error: the loop is gone");
  timer->data = cb;
  checkStatus("uv_timer_start", uv_timer_start(timer, onTimer, static_cast<int64_t>(timeoutMsec),
                                               static_cast<int64_t>(repeatMsec)));
}

void UvTimer::stop() {
  if (!timer) return;
  checkStatus("uv_timer_stop", uv_timer_stop(timer));
}

void UvTimer::onTimer(uv_timer_t* handle) {
  // The callback may delete the UvTimer (and so close this handle); nothing here runs after it.
  auto* cb = static_cast<Cb*>(handle->data);
  UvLoop::guard(handle->loop, [cb] { cb->handleTimer(); });
}

}  // namespace p2p
