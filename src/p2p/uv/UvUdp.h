// One UDP socket on the loop: datagrams read from the kernel several at a time, sends that do
// not copy the bytes, and bursts of equal datagrams handed to the kernel in one call (UDP
// segmentation offload) where it takes them.
//
// Where the kernel keeps bursts whole on receipt (UDP_GRO), the socket reads them itself, a
// burst per buffer, and reports every datagram of a burst on its own, with the burst's sender:
// the receiver cannot tell. Elsewhere libuv reads one datagram per buffer slot.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "p2p/uv/Liveness.h"
#include "p2p/uv/UvLoop.h"

namespace p2p {

class UvUdp : public UvLoop::Resident {
 public:
  // The largest datagram accepted; a longer one is reported as "buffer too small".
  static constexpr int BUFFER_SIZE = 1500;
  // Datagrams one read takes from the kernel at most (libuv's recvmmsg width).
  static constexpr int READ_BATCH = 20;
  // Reading bursts whole: the room for one (the kernel coalesces at most 64 KiB), the bursts
  // one read takes at most, and the datagrams after which a turn of the loop reads no further
  // burst, so that timers and other handles are not starved.
  static constexpr int BURST_SIZE = 64 * 1024;
  static constexpr int BURSTS_PER_READ = 8;
  static constexpr int DATAGRAMS_PER_TURN = 64;
  // The most datagrams and bytes one segmented send carries; the kernel allows 64 segments and
  // a whole IPv4 datagram of 65535 bytes, headers included.
  static constexpr int MAX_SEGMENTS = 40;
  static constexpr int MAX_SEGMENTED_BYTES = 60000;

  class RecvCb {
   public:
    virtual ~RecvCb() = default;
    // n is 0 for an empty datagram, and also (with a null addr) when libuv has nothing more
    // to read. The bytes are valid only during the call.
    virtual void handleRecv(int8_t* bytes, int n, const sockaddr* addr) = 0;
    // 1 "buffer too small": the datagram did not fit into BUFFER_SIZE bytes; 2 "udp recv error".
    virtual void handleRecvError(int status, const std::string& reason) = 0;
    // Bracket the reports of one read from the kernel (up to READ_BATCH datagrams), so that
    // the receiver can answer a batch at once instead of every datagram on its own.
    virtual void handleReadBegin() {}
    virtual void handleReadEnd() {}
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

    // Either may free this object: it is the completion of its send, and nothing touches it after.
    virtual void handleSend(int8_t* bytes, int n) = 0;
    virtual void handleSendError(int status, const std::string& reason) = 0;

    send_request* req = nullptr;  // made by the first send, reused afterwards
  };

  // The system call that asks the kernel to keep bursts whole: tests put one in its place
  // that fails as a kernel without receive offload does.
  using SetsockoptCall = int (*)(int fd, int level, int name, const void* value, socklen_t length);

  // Binds to addr with no flags and starts receiving; each failing step throws its checkStatus
  // text ("uv_udp_init", "uv_udp_bind", "uv_udp_recv_start") and leaves no handle open.
  UvUdp(const sockaddr* addr, UvLoop* loop, RecvCb* recv_cb, SetsockoptCall setsockoptCall = ::setsockopt);
  ~UvUdp() override;

  // The bound local port, host order.
  int getPort();

  // Sends n bytes to addr; they must stay untouched until send_cb hears the result. Throws the
  // checkStatus text of "uv_udp_send" when libuv refuses to start, and also when send_cb still
  // has a send in flight or the loop is gone.
  void send(int8_t* bytes, int n, const sockaddr* addr, SendCb* send_cb);

  // Sends the datagrams laid end to end in bytes[0, n), each `segment` bytes long but the last,
  // which may be shorter, to addr in one system call; the kernel copies them, so the bytes may be
  // reused on return. 0: the kernel took them all. UV_EAGAIN: nothing was sent, they must wait
  // (the socket's buffer is full, or sends queued earlier must leave first). UV_ENOTSUP:
  // nothing was sent and segmentation is off for good on this socket, since the kernel refused
  // it (canSegment() tells beforehand). Another libuv error: the send failed and the datagrams
  // are lost, as a failed send() loses its one. Throws as send() does when the loop is gone.
  int sendSegments(const int8_t* bytes, int n, int segment, const sockaddr* addr);
  bool canSegment() const { return segmentation; }
  // True when the kernel hands bursts over whole and this socket reads them itself.
  bool readsBursts() const { return burstPoll != nullptr; }

  // The system call behind sendSegments: tests put one in its place that fails as a kernel
  // without segmentation offload does.
  using SendmsgCall = ssize_t (*)(int fd, const msghdr* message, int flags);
  SendmsgCall sendmsgCall = ::sendmsg;

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
  static void onReadable(uv_poll_t* poll, int status, int events);

  void report(ssize_t nread, int8_t* bytes, const sockaddr* addr, unsigned flags);
  void endRead();
  void probeSegmentation();
  bool startReadingBursts(SetsockoptCall setsockoptCall);
  void stopReadingBursts();
  void readBursts();
  int receiveBursts();
  bool reportBurst(int index, int& datagrams);
  int8_t* takeBuffer();
  void giveBack(int8_t* buffer);
  void close();

  uv_udp_t* handle;
  RecvCb* recv_cb;
  int readBufferSize = BUFFER_SIZE;  // room for a whole batch when libuv reads with recvmmsg
  std::vector<int8_t*> recvBuffers;  // free buffers; the last one given back is the next handed out
  int8_t* lent = nullptr;            // the buffer libuv reads into, until it hands it back
  bool reading = false;              // between handleReadBegin and handleReadEnd
  bool segmentation = false;
  // Reading bursts whole: a poll on a second descriptor of the socket, since libuv watches
  // each descriptor once and its own handle watches the first for sends; and the buffers.
  struct BurstBuffers;
  uv_poll_t* burstPoll = nullptr;
  int burstFd = -1;
  std::unique_ptr<BurstBuffers> burstBuffers;
  Liveness liveness;  // a receiver may delete the socket in the middle of a burst
};

}  // namespace p2p
