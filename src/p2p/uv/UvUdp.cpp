#include "p2p/uv/UvUdp.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "p2p/uv/UvLog.h"

namespace p2p {

namespace {

// libuv cuts a recvmmsg buffer into one slot of this size per datagram.
constexpr int kMmsgSlot = 64 * 1024;

// What a kernel answers when it cannot segment for this socket or route (no offload at all,
// no checksum offload on the device, a path MTU below the segment): sending one by one works.
bool refusesSegmentation(int error) {
  return error == EIO || error == EINVAL || error == EOPNOTSUPP || error == ENOPROTOOPT || error == EMSGSIZE;
}

// The size of the datagrams a burst carries, from the kernel's note on it; a buffer without
// the note holds one datagram.
int segmentSize(msghdr& header, int length) {
  for (cmsghdr* note = CMSG_FIRSTHDR(&header); note; note = CMSG_NXTHDR(&header, note)) {
    if (note->cmsg_level != SOL_UDP || note->cmsg_type != UDP_GRO || note->cmsg_len < CMSG_LEN(sizeof(int))) continue;
    int size;
    std::memcpy(&size, CMSG_DATA(note), sizeof size);
    if (size > 0) return size;
  }
  return length;
}

}  // namespace

// One recvmmsg worth of bursts, each with its sender and the kernel's note on its segments.
struct UvUdp::BurstBuffers {
  BurstBuffers() {
    for (int i = 0; i < BURSTS_PER_READ; ++i) {
      io[i] = iovec{bytes.data() + static_cast<size_t>(i) * BURST_SIZE, static_cast<size_t>(BURST_SIZE)};
      msghdr& header = messages[i].msg_hdr;
      header.msg_name = &senders[i];
      header.msg_iov = &io[i];
      header.msg_iovlen = 1;
      header.msg_control = control[i];
    }
  }
  // The kernel writes back what it filled in. A sender it did not name reads as no address,
  // never as the previous one.
  void rewind() {
    for (int i = 0; i < BURSTS_PER_READ; ++i) {
      senders[i].ss_family = AF_UNSPEC;
      messages[i].msg_hdr.msg_namelen = sizeof senders[i];
      messages[i].msg_hdr.msg_controllen = sizeof control[i];
      messages[i].msg_hdr.msg_flags = 0;
    }
  }
  int8_t* burst(int index) { return bytes.data() + static_cast<size_t>(index) * BURST_SIZE; }

  std::vector<int8_t> bytes = std::vector<int8_t>(static_cast<size_t>(BURSTS_PER_READ) * BURST_SIZE);
  mmsghdr messages[BURSTS_PER_READ] = {};
  iovec io[BURSTS_PER_READ] = {};
  sockaddr_storage senders[BURSTS_PER_READ] = {};
  alignas(cmsghdr) char control[BURSTS_PER_READ][CMSG_SPACE(sizeof(int))] = {};
};

UvUdp::SendCb::~SendCb() {
  if (!req) return;
  if (req->inFlight) {
    req->req.data = nullptr;  // the completion finds it detached and frees it
  } else {
    std::free(req);
  }
}

UvUdp::UvUdp(const sockaddr* addr, UvLoop* loop, RecvCb* recv_cb, SetsockoptCall setsockoptCall)
    : Resident(loop), handle(allocUv<uv_udp_t>()), recv_cb(recv_cb) {
  int status = uv_udp_init_ex(loop->uvLoop(), handle, AF_UNSPEC | UV_UDP_RECVMMSG);
  if (status != 0) {
    std::free(handle);
    handle = nullptr;
    checkStatus("uv_udp_init", status);
  }
  handle->data = this;
  const char* step = "uv_udp_bind";
  status = uv_udp_bind(handle, addr, 0);
  if (status == 0 && !startReadingBursts(setsockoptCall)) {
    step = "uv_udp_recv_start";
    status = uv_udp_recv_start(handle, onAlloc, onRecv);
  }
  if (status != 0) {
    // A failed socket is closed at once, so a retry on another port leaves nothing behind.
    close();
    checkStatus(step, status);
  }
  if (uv_udp_using_recvmmsg(handle)) readBufferSize = READ_BATCH * kMmsgSlot;
  probeSegmentation();
}

// A kernel that knows the option takes segment size 0 (no segmentation by default).
void UvUdp::probeSegmentation() {
  uv_os_fd_t fd;
  if (uv_fileno(reinterpret_cast<uv_handle_t*>(handle), &fd) != 0) return;
  const int none = 0;
  segmentation = setsockopt(fd, SOL_UDP, UDP_SEGMENT, &none, sizeof none) == 0;
}

// Polls a second descriptor of the socket, then asks the kernel to keep bursts whole: in that
// order, since a socket that gets whole bursts must never be read by libuv, which would take
// each burst for one oversized datagram. False leaves nothing behind.
bool UvUdp::startReadingBursts(SetsockoptCall setsockoptCall) {
  uv_os_fd_t fd;
  if (uv_fileno(reinterpret_cast<uv_handle_t*>(handle), &fd) != 0) return false;
  const int second = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (second < 0) return false;
  auto* poll = allocUv<uv_poll_t>();
  if (uv_poll_init_socket(handle->loop, poll, second) != 0) {
    std::free(poll);
    ::close(second);
    return false;
  }
  const int on = 1;
  if (setsockoptCall(fd, SOL_UDP, UDP_GRO, &on, sizeof on) != 0) {
    const int error = errno;
    closeAndFree(reinterpret_cast<uv_handle_t*>(poll));
    ::close(second);  // safe once the poll is closing
    UV_LOG("INFO") << "UDP receive offload refused (" << std::strerror(error) << "): datagrams are read one by one";
    return false;
  }
  poll->data = this;
  burstPoll = poll;
  burstFd = second;
  burstBuffers = std::make_unique<BurstBuffers>();
  uv_poll_start(poll, UV_READABLE, onReadable);  // fails only on a closing handle
  return true;
}

void UvUdp::stopReadingBursts() {
  if (!burstPoll) return;
  closeAndFree(reinterpret_cast<uv_handle_t*>(burstPoll));
  ::close(burstFd);
  burstPoll = nullptr;
  burstFd = -1;
}

UvUdp::~UvUdp() {
  if (handle) {
    // Deleted by its receiver during a read: stopping would keep libuv from handing the read's
    // buffer back, which the closed handle's last call then frees.
    if (!lent) {
      int status = uv_udp_recv_stop(handle);
      if (status != 0) printStatus("uv_udp_recv_stop", status);
    }
    close();
  }
  for (int8_t* buffer : recvBuffers) delete[] buffer;
}

void UvUdp::onLoopClosing() { close(); }

void UvUdp::close() {
  stopReadingBursts();
  if (!handle) return;
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

int UvUdp::sendSegments(const int8_t* bytes, int n, int segment, const sockaddr* addr) {
  if (!handle) throw std::runtime_error("uv_udp_send error: the loop is gone");
  if (!segmentation) return UV_ENOTSUP;
  // Datagrams that libuv still queues would be overtaken.
  if (uv_udp_get_send_queue_count(handle) != 0) return UV_EAGAIN;
  uv_os_fd_t fd;
  checkStatus("uv_fileno", uv_fileno(reinterpret_cast<uv_handle_t*>(handle), &fd));
  iovec io{const_cast<int8_t*>(bytes), static_cast<size_t>(n)};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(uint16_t))] = {};
  msghdr message{};
  message.msg_name = const_cast<sockaddr*>(addr);
  message.msg_namelen = sizeof(sockaddr_in);
  message.msg_iov = &io;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  cmsghdr* option = CMSG_FIRSTHDR(&message);
  option->cmsg_level = SOL_UDP;
  option->cmsg_type = UDP_SEGMENT;
  option->cmsg_len = CMSG_LEN(sizeof(uint16_t));
  const auto size = static_cast<uint16_t>(segment);
  std::memcpy(CMSG_DATA(option), &size, sizeof size);
  ssize_t sent;
  do {
    sent = sendmsgCall(fd, &message, 0);
  } while (sent < 0 && errno == EINTR);
  if (sent >= 0) return 0;
  const int error = errno;
  if (error == EAGAIN || error == EWOULDBLOCK || error == ENOBUFS) return UV_EAGAIN;
  if (!refusesSegmentation(error)) return -error;
  segmentation = false;
  UV_LOG("INFO") << "UDP segmentation offload refused (" << std::strerror(error) << "): datagrams go one by one";
  return UV_ENOTSUP;
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
  if (burstPoll) {
    stopReadingBursts();
    endRead();
    return;
  }
  checkStatus("uv_udp_recv_stop", uv_udp_recv_stop(handle));
  // Stopped during a read, libuv does not hand its buffer back, nor end the read: both are done
  // here, so that the receiver does not hold what it means to send at the end of the read.
  giveBack(lent);
  lent = nullptr;
  endRead();
}

int8_t* UvUdp::takeBuffer() {
  if (recvBuffers.empty()) return new int8_t[readBufferSize];
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
  UvLoop::guard(handle->loop, [&] {
    udp->lent = udp->takeBuffer();
    *buf = uv_buf_init(reinterpret_cast<char*>(udp->lent), static_cast<unsigned int>(udp->readBufferSize));
  });
}

// With recvmmsg libuv reports each datagram of a batch as a chunk of the buffer it was given,
// then hands that buffer back once in a last call (UV_UDP_MMSG_FREE, or nothing read, or an
// error) that carries no datagram of the batch; without it, each call is one datagram in its
// own buffer. The read ends where the buffer comes back.
void UvUdp::onRecv(uv_udp_t* handle, ssize_t nread, const uv_buf_t* buf, const sockaddr* addr, unsigned flags) {
  auto* bytes = reinterpret_cast<int8_t*>(buf->base);
  const bool bufferBack = (flags & UV_UDP_MMSG_CHUNK) == 0;
  // The receiver may delete the socket in any report; its handle then has no data (closeAndFree).
  const bool datagram = (flags & UV_UDP_MMSG_FREE) == 0;
  if (handle->data && datagram) static_cast<UvUdp*>(handle->data)->report(nread, bytes, addr, flags);
  if (!bufferBack) return;
  if (handle->data) static_cast<UvUdp*>(handle->data)->endRead();
  auto* udp = static_cast<UvUdp*>(handle->data);
  if (!udp) {
    delete[] bytes;
  } else if (udp->lent == bytes) {  // else stop() took it back already
    udp->lent = nullptr;
    udp->giveBack(bytes);
  }
}

void UvUdp::report(ssize_t nread, int8_t* bytes, const sockaddr* addr, unsigned flags) {
  uv_udp_t* udp = handle;
  UvLoop::guard(udp->loop, [&] {
    if (!reading) {
      reading = true;
      recv_cb->handleReadBegin();
      if (!udp->data) return;
    }
    if ((flags & UV_UDP_PARTIAL) || nread > BUFFER_SIZE) {
      recv_cb->handleRecvError(1, "buffer too small");
    } else if (nread < 0) {
      recv_cb->handleRecvError(2, "udp recv error");
    } else {
      recv_cb->handleRecv(bytes, static_cast<int>(nread), addr);
    }
  });
}

void UvUdp::endRead() {
  if (!reading) return;
  reading = false;
  UvLoop::guard(handle->loop, [&] { recv_cb->handleReadEnd(); });
}

void UvUdp::onReadable(uv_poll_t* poll, int status, int) {
  auto* udp = static_cast<UvUdp*>(poll->data);
  if (!udp) return;
  UvLoop::guard(poll->loop, [&] {
    const Liveness::Watch watch = udp->liveness.watch();
    if (status < 0) {
      // An error pending on the socket: libuv has stopped the poll. Taking the error clears it.
      int error = 0;
      socklen_t length = sizeof error;
      getsockopt(udp->burstFd, SOL_SOCKET, SO_ERROR, &error, &length);
      if (error != 0) {
        udp->report(-error, nullptr, nullptr, 0);
        if (watch.alive() && udp->burstPoll) udp->endRead();
      }
    }
    if (watch.alive() && udp->burstPoll) udp->readBursts();
    if (status < 0 && watch.alive() && udp->burstPoll == poll) uv_poll_start(poll, UV_READABLE, onReadable);
  });
}

// Reads after reads, each of up to BURSTS_PER_READ bursts, until the socket is empty or the
// turn's share of datagrams is spent; the receiver may delete or stop the socket in any report.
void UvUdp::readBursts() {
  const Liveness::Watch watch = liveness.watch();
  int datagrams = 0;
  while (watch.alive() && burstPoll && datagrams < DATAGRAMS_PER_TURN) {
    const int bursts = receiveBursts();
    if (bursts == 0) return;
    if (bursts < 0) report(bursts, nullptr, nullptr, 0);
    for (int i = 0; i < bursts; ++i) {
      if (!reportBurst(i, datagrams)) return;
    }
    if (!watch.alive() || !burstPoll) return;
    endRead();
    if (bursts < BURSTS_PER_READ) return;  // nothing more was waiting
  }
}

// The number of bursts read, 0 when none is waiting, or a negative libuv error.
int UvUdp::receiveBursts() {
  burstBuffers->rewind();
  int count;
  do {
    count = recvmmsg(burstFd, burstBuffers->messages, BURSTS_PER_READ, MSG_DONTWAIT, nullptr);
  } while (count < 0 && errno == EINTR);
  if (count >= 0) return count;
  if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
  return -errno;
}

// Reports each datagram of burst `index` as if it had come alone (an empty one too), and
// counts them; false once the receiver has deleted or stopped the socket.
bool UvUdp::reportBurst(int index, int& datagrams) {
  const Liveness::Watch watch = liveness.watch();
  mmsghdr& message = burstBuffers->messages[index];
  int8_t* bytes = burstBuffers->burst(index);
  const auto* sender = reinterpret_cast<const sockaddr*>(&burstBuffers->senders[index]);
  const int length = static_cast<int>(message.msg_len);
  if (message.msg_hdr.msg_flags & MSG_TRUNC) {
    ++datagrams;
    report(length, bytes, sender, UV_UDP_PARTIAL);
    return watch.alive() && burstPoll;
  }
  const int segment = segmentSize(message.msg_hdr, length);
  int offset = 0;
  do {
    const int n = std::min(segment, length - offset);
    ++datagrams;
    report(n, bytes + offset, sender, 0);  // one longer than BUFFER_SIZE is reported as too long
    if (!watch.alive() || !burstPoll) return false;
    offset += n;
  } while (offset < length);
  return true;
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
