// A stranger on the engine's UDP port: a raw socket on a loopback address of its own (127.0.0.2,
// 127.0.0.3, ... are all this computer) that sends hand-built stream messages and counts the
// answers. For the tests and the benchmark of what the engine lets in.
#pragma once

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "p2p/messages/Connect.h"
#include "p2p/messages/Message.h"
#include "p2p/processes/PeerStream.h"
#include "utils/Base64.h"
#include "utils/ByteBuffer.h"
#include "utils/DH.h"

namespace enginetest {

// A `connect` with the built-in group and one public key made once: the engine's work is the
// same for each, the stranger's nearly nothing.
inline p2p::Connect keyedConnect(int32_t channel) {
  static const struct Key {
    std::string p, g, pk;
    Key() {
      DHKeyExchange dh;
      dh.setPG();
      pk = base64_encode(dh.genPublicKey());
      dh.getPG(p, g);
    }
  } key;
  return p2p::Connect(channel, p2p::PeerStream::RecvPoolSize, p2p::PeerStream::MyProtocol, key.p, key.g, key.pk);
}

class Stranger {
 public:
  explicit Stranger(const std::string& ip) : fd(socket(AF_INET, SOCK_DGRAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    if (fd < 0 || inet_pton(AF_INET, ip.c_str(), &address.sin_addr) != 1 ||
        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
      throw std::runtime_error("stranger cannot bind " + ip);
    const int size = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    self = p2p::SocketAddress(reinterpret_cast<sockaddr*>(&address));
  }
  ~Stranger() { close(fd); }
  Stranger(const Stranger&) = delete;
  Stranger& operator=(const Stranger&) = delete;

  // To the engine's UDP port on 127.0.0.1.
  void send(p2p::Message& message, int port) {
    ByteBuffer buffer(1500);
    message.encode(buffer);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(fd, buffer.array(), static_cast<size_t>(buffer.position()), 0, reinterpret_cast<sockaddr*>(&to),
           sizeof to);
  }

  // Takes every datagram waiting (for up to timeoutMs for the first), counts it by opcode and
  // hands it to `heard` when given.
  template <class Heard>
  void collect(int timeoutMs, Heard&& heard) {
    for (pollfd p{fd, POLLIN, 0}; poll(&p, 1, timeoutMs) > 0; timeoutMs = 0) {
      int8_t bytes[2048];
      const ssize_t n = recv(fd, bytes, sizeof bytes, 0);
      if (n <= 0) return;
      try {
        ByteBuffer view(bytes, static_cast<int32_t>(n));
        std::unique_ptr<p2p::Message> m(p2p::Message::decodeMessage(view));
        ++answers[m->getOpcode()];
        heard(*m);
      } catch (const std::exception&) {
        ++answers[-1];
      }
    }
  }
  void collect(int timeoutMs = 0) {
    collect(timeoutMs, [](const p2p::Message&) {});
  }
  int heard(p2p::Message::Opcode opcode) const {
    auto it = answers.find(opcode);
    return it == answers.end() ? 0 : it->second;
  }

  const p2p::SocketAddress& address() const { return self; }

 private:
  int fd;
  p2p::SocketAddress self;
  std::map<int, int> answers;
};

}  // namespace enginetest
