// One connection to one peer computer, on either side of a transfer: the hole punch (calling
// side), the encrypted stream, the framing of the peer messages, and the one protocol handler it
// hosts, to which it is the IContext. Its owner (the Manager on the serving side, a receive on
// the receiving side) hears progress and the end through a Listener.
//
// Lifetime: a connection owns itself. It ends by close() (its handler's verdict, the owner's
// pause or shutdown), by the end of its stream, or by a failed punch; the listener hears
// onClose exactly once, with an empty reason only when the handler finished its work, and the
// connection is deleted on a later loop turn. Nothing a peer sends leaves it as an exception: a
// frame that cannot be read closes this connection with the reason.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "net/handlers/IContext.h"
#include "net/handlers/IHandler.h"
#include "p2p/processes/PeerHole.h"
#include "p2p/processes/PeerStream.h"
#include "p2p/processes/SocketAddress.h"
#include "p2p/uv/Liveness.h"
#include "p2p/uv/UvTimer.h"
#include "utils/ByteBuffer.h"

namespace p2p {
class Connect;
}

namespace net {

class Manager;

class PeerManager : public IContext, public p2p::PeerHole::Cb, public p2p::PeerStream::Cb, private p2p::UvTimer::Cb {
 public:
  class Listener {
   public:
    virtual ~Listener() = default;
    // Progress data of the hosted handler, valid during the call.
    virtual void onNotify(PeerManager* pm, void* data) = 0;
    // Once per connection; empty when the handler finished its work.
    virtual void onClose(PeerManager* pm, const std::string& reason) = 0;
  };

  using HandlerFactory = std::function<IHandler*(IContext*)>;

  static const std::string UNDEFINED;
  // Frames are at most this long, and so are the two buffers.
  static constexpr int32_t BUFFER_SIZE = 61440;
  static constexpr int32_t MIN_FRAME_LENGTH = 8;
  static constexpr int HOLE_RETRIES = 3;
  // An accepted connection that has not said what it wants by then is closed.
  static constexpr int REQUEST_TIMEOUT_MS = 30000;
  // Packets its stream holds out of order until the request has chosen a handler; a request is a
  // frame or two, and a stranger should not pin the whole pool.
  static constexpr int32_t HELD_BEFORE_REQUEST = 32;

  // Accepting side, for a `connect` from `address`: null when the stream refuses it (nothing
  // is left behind). The first frame chooses the handler.
  static PeerManager* accept(Manager* manager, const p2p::Connect* connect, const p2p::SocketAddress& address);

  // Calling side: hosts factory(this), punches a hole to the computer `peerUuid` (with
  // retries), opens the stream and starts the handler once connected.
  PeerManager(Manager* manager, const std::string& peerUuid, const HandlerFactory& factory);

  ~PeerManager() override;
  PeerManager(const PeerManager&) = delete;
  PeerManager& operator=(const PeerManager&) = delete;

  void setListener(Listener* l) { listener = l; }
  // The handler's name, or UNDEFINED before there is one.
  std::string handlerName() const;
  // Before the stream is up this closes at once with "Paused"; afterwards the handler pauses.
  void pause();
  bool isAccepting() const { return accepting; }
  bool hasHandler() const { return handler != nullptr; }
  bool isClosing() const { return closing; }
  // The stream's channel and peer, for telling a repeated `connect` from a new one.
  bool carries(int32_t channelId, const p2p::SocketAddress& address) const;
  // The peer as the stream has it; invalid while punching.
  p2p::SocketAddress address() const;
  // The handler failed in a way that trying again will not mend.
  bool failedForGood() const { return handler && handler->failedForGood(); }

  // IContext.
  const std::string& uuid() const override;
  const std::string& username() const override;
  const std::string& computerName() const override;
  const std::string& recvPath() const override;
  void makeSignature(const std::string& peeruuid, std::string& signature) const override;
  p2p::UvLoop* loop() const override;
  p2p::Server* server() const override;
  void verify(const std::string& peerUuid, const std::string& peerUsername, const std::string& peerSignature,
              p2p::Server::ServerCb<bool>* cb) override;
  bool canSend() const override;
  bool send(const Message* m) override;
  ByteBuffer* getSendBuffer() override { return sendBuffer.get(); }
  void close(bool immidiately, const std::string& reason) override;
  void notify(void* data) override;
  void recvReadyAgain() override;
  Ticket findTicket(const std::string& code, const std::string& username) override;
  FilePort* files() override;
  std::shared_ptr<void> holdBuffers() const override;

  // PeerHole::Cb and PeerStream::Cb.
  void handleHole(const std::string& uuid, const p2p::SocketAddress& addr, int32_t protocol) override;
  void handle_connect() override;
  void handle_recv(ByteBuffer* chunk) override;
  void handle_send() override;
  void handle_close(const std::string& reason) override;

 private:
  explicit PeerManager(Manager* manager);

  void handleTimer() override;  // the accepting side's request time-out
  // The handler may send its next message on the next loop turn (the stream took the last one
  // whole, so no acknowledgement will ask for more).
  void pumpSoon();
  bool takeLength(ByteBuffer* chunk);
  void dispatch();
  void chooseHandler(const Message* first);
  template <class F>
  void guarded(F&& call);
  void reportClose(const std::string& reason);
  void deleteSoon();

  Manager* manager;
  std::unique_ptr<p2p::PeerHole> hole;
  std::unique_ptr<p2p::PeerStream> stream;
  std::unique_ptr<IHandler> handler;
  std::unique_ptr<p2p::UvTimer> requestTimer;
  std::unique_ptr<FilePort> filePort;  // made on first use
  std::string peerUuid;
  int32_t recvLength = 0;  // of the frame being gathered; 0 between frames
  uint8_t lengthBytes[4] = {};
  int lengthHave = 0;  // bytes of the next length field gathered so far
  std::shared_ptr<ByteBuffer> recvBuffer;
  std::shared_ptr<ByteBuffer> sendBuffer;
  Listener* listener = nullptr;
  int retries = 0;
  bool accepting = false;
  bool closing = false;
  bool closeReported = false;
  bool deleting = false;
  bool heldBack = false;  // bytes were left in the stream for a handler that was not ready
  bool pumpDue = false;
  p2p::Liveness liveness;
};

}  // namespace net
