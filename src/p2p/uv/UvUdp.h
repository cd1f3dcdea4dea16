// One UDP socket on the loop: pooled receive buffers, and sends that do not copy the bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "p2p/uv/UvLoop.h"

namespace p2p {

class UvUdp : public UvLoop::Resident {
 public:
  static constexpr int BUFFER_SIZE = 1500;

  class RecvCb {
   public:
    virtual ~RecvCb() = default;
    // n is 0 for an empty datagram, and also (with a null addr) when libuv has nothing more
    // to read. The bytes are valid only during the call.
    virtual void handleRecv(int8_t* bytes, int n, const sockaddr* addr) = 0;
    // 1 "buffer too small": the datagram did not fit into BUFFER_SIZE bytes; 2 "udp recv error".
    virtual void handleRecvError(int status, const std::string& reason) = 0;
  };

  struct send_request {
    uv_udp_send_t req;  // first, so the libuv request converts back to the whole
    uv_buf_t buf;
    bool inFlight;
  };

  // Receives the result of one send at a time. Deleting it while its send is in flight is safe:
  // the request is detached and freed by its completion.
  class SendCb {
   public:
    SendCb() = default;
    virtual ~SendCb();
    SendCb(const SendCb&) = delete;
    SendCb& operator=(const SendCb&) = delete;

    // Either may delete this object.
    virtual void handleSend(int8_t* bytes, int n) = 0;
    virtual void handleSendError(int status, const std::string& reason) = 0;

    send_request* req = nullptr;  // made by the first send, reused afterwards
  };

  // Binds to addr with no flags and starts receiving; each failing step throws its checkStatus
  // text ("uv_udp_init", "uv_udp_bind", "uv_udp_recv_start") and leaves no handle open.
  UvUdp(const sockaddr* addr, UvLoop* loop, RecvCb* recv_cb);
  ~UvUdp() override;

  // The bound local port, host order.
  int getPort();

  // Sends n bytes to addr; they must stay untouched until send_cb hears the result. Throws the
  // checkStatus text of "uv_udp_send" when libuv refuses to start, and also when send_cb still
  // has a send in flight or the loop is gone.
  void send(int8_t* bytes, int n, const sockaddr* addr, SendCb* send_cb);

  // Stops receiving.
  void stop();

  // Asks the kernel for send and receive buffers of `bytes` each, so that a burst of a full
  // stream window is not dropped at the socket; logs what was granted. Never throws: the
  // socket works, only slower, with the sizes it has.
  void setBufferSizes(int bytes);

 protected:
  void onLoopClosing() override;

 private:
  static void onAlloc(uv_handle_t* handle, size_t suggested, uv_buf_t* buf);
  static void onRecv(uv_udp_t* handle, ssize_t nread, const uv_buf_t* buf, const sockaddr* addr, unsigned flags);
  static void onSend(uv_udp_send_t* req, int status);

  int8_t* takeBuffer();
  void giveBack(int8_t* buffer);
  void close();

  uv_udp_t* handle;
  RecvCb* recv_cb;
  std::vector<int8_t*> recvBuffers;  // free buffers; the last one given back is the next handed out
};

}  // namespace p2p
