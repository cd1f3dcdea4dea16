#include "p2p/uv/UvUdp.h"

#include <stdexcept>

#include "p2p/uv/UvLog.h"

namespace p2p {

UvUdp::SendCb::~SendCb() {
  if (!req) return;
  if (req->inFlight) {
    req->req.data = nullptr;  // the completion finds it detached and frees it
  } else {
    std::free(req);
  }
}

UvUdp::UvUdp(const sockaddr* addr, UvLoop* loop, RecvCb* recv_cb)
    : Resident(loop), handle(allocUv<uv_udp_t>()), recv_cb(recv_cb) {
  int status = uv_udp_init(loop->uvLoop(), handle);
  if (status != 0) {
    std::free(handle);
    handle = nullptr;
    checkStatus("uv_udp_init", status);
  }
  handle->data = this;
  const char* step = "uv_udp_bind";
  status = uv_udp_bind(handle, addr, 0);
  if (status == 0) {
    step = "uv_udp_recv_start";
    status = uv_udp_recv_start(handle, onAlloc, onRecv);
  }
  if (status != 0) {
    // A failed socket is closed at once, so a retry on another port leaves nothing behind.
    close();
    checkStatus(step, status);
  }
}

UvUdp::~UvUdp() {
  if (handle) {
    int status = uv_udp_recv_stop(handle);
    if (status != 0) printStatus("uv_udp_recv_stop", status);
    close();
  }
  for (int8_t* buffer : recvBuffers) delete[] buffer;
}

void UvUdp::onLoopClosing() { close(); }

void UvUdp::close() {
  if (!handle) return;
  handle->data = nullptr;
  closeAndFree(reinterpret_cast<uv_handle_t*>(handle));
  handle = nullptr;
}

int UvUdp::getPort() {
  if (!handle) throw std::runtime_error("uv_udp_getsockname error: the loop is gone");
  sockaddr_storage name = {};
  int length = sizeof name;
  checkStatus("uv_udp_getsockname", uv_udp_getsockname(handle, reinterpret_cast<sockaddr*>(&name), &length));
  return ntohs(reinterpret_cast<sockaddr_in*>(&name)->sin_port);
}

void UvUdp::send(int8_t* bytes, int n, const sockaddr* addr, SendCb* send_cb) {
  if (!handle) throw std::runtime_error("uv_udp_send error: the loop is gone");
  if (!send_cb->req) send_cb->req = allocUv<send_request>();
  send_request* request = send_cb->req;
  // Reusing a request that libuv still holds would corrupt its queue.
  if (request->inFlight) checkStatus("uv_udp_send", UV_EBUSY);
  request->req.data = send_cb;
  request->buf = uv_buf_init(reinterpret_cast<char*>(bytes), static_cast<unsigned int>(n));
  checkStatus("uv_udp_send", uv_udp_send(&request->req, handle, &request->buf, 1, addr, onSend));
  request->inFlight = true;
}

void UvUdp::setBufferSizes(int bytes) {
  if (!handle) return;
  auto* h = reinterpret_cast<uv_handle_t*>(handle);
  int send = bytes;
  int recv = bytes;
  const int sendStatus = uv_send_buffer_size(h, &send);
  const int recvStatus = uv_recv_buffer_size(h, &recv);
  int grantedSend = 0;  // 0 reads the size back
  int grantedRecv = 0;
  uv_send_buffer_size(h, &grantedSend);
  uv_recv_buffer_size(h, &grantedRecv);
  if (sendStatus != 0 || recvStatus != 0) {
    UV_LOG("WARN") << "UDP buffers of " << bytes << " bytes refused: send status " << sendStatus << ", receive status "
                   << recvStatus;
  }
  UV_LOG("INFO") << "UDP buffers: asked " << bytes << ", granted send " << grantedSend << " receive " << grantedRecv;
}

void UvUdp::stop() {
  if (!handle) return;
  checkStatus("uv_udp_recv_stop", uv_udp_recv_stop(handle));
}

int8_t* UvUdp::takeBuffer() {
  if (recvBuffers.empty()) return new int8_t[BUFFER_SIZE];
  int8_t* buffer = recvBuffers.back();
  recvBuffers.pop_back();
  return buffer;
}

void UvUdp::giveBack(int8_t* buffer) {
  if (buffer) recvBuffers.push_back(buffer);
}

void UvUdp::onAlloc(uv_handle_t* handle, size_t, uv_buf_t* buf) {
  *buf = uv_buf_init(nullptr, 0);  // an empty buffer makes libuv report UV_ENOBUFS
  auto* udp = static_cast<UvUdp*>(handle->data);
  if (!udp) return;
  // Always the full size: a datagram that does not fit is reported as partial, not cut silently.
  UvLoop::guard(handle->loop, [&] { *buf = uv_buf_init(reinterpret_cast<char*>(udp->takeBuffer()), BUFFER_SIZE); });
}

void UvUdp::onRecv(uv_udp_t* handle, ssize_t nread, const uv_buf_t* buf, const sockaddr* addr, unsigned flags) {
  auto* udp = static_cast<UvUdp*>(handle->data);
  auto* bytes = reinterpret_cast<int8_t*>(buf->base);
  if (!udp) {
    delete[] bytes;
    return;
  }
  UvLoop::guard(handle->loop, [&] {
    if (flags & UV_UDP_PARTIAL) {
      udp->recv_cb->handleRecvError(1, "buffer too small");
    } else if (nread < 0) {
      udp->recv_cb->handleRecvError(2, "udp recv error");
    } else {
      udp->recv_cb->handleRecv(bytes, static_cast<int>(nread), addr);
    }
  });
  // The receiver may have deleted the socket; close() detached the handle from it then.
  if (handle->data)
    udp->giveBack(bytes);
  else
    delete[] bytes;
}

void UvUdp::onSend(uv_udp_send_t* req, int status) {
  auto* request = reinterpret_cast<send_request*>(req);
  request->inFlight = false;
  auto* cb = static_cast<SendCb*>(req->data);
  if (!cb) {
    std::free(request);
    return;
  }
  auto* bytes = reinterpret_cast<int8_t*>(request->buf.base);
  const int n = static_cast<int>(request->buf.len);
  // The callback may delete cb, which frees the request: nothing below touches either.
  UvLoop::guard(req->handle->loop, [&] {
    if (status == 0) {
      cb->handleSend(bytes, n);
    } else {
      cb->handleSendError(status, "uv_udp_send error");
    }
  });
}

}  // namespace p2p
