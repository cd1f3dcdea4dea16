// What a protocol handler sees of the connection that hosts it: the local identity, the web
// server, the one-message send path, the listener and the sender's ticket offers. A handler
// reaches the world only through this interface (and the loop's clock), so that tests can host
// one on a scripted connection.
#pragma once

#include <cstdint>
#include <forward_list>
#include <memory>
#include <string>
#include <utility>

#include "p2p/processes/Server.h"

class ByteBuffer;

namespace p2p {
class UvLoop;
}

namespace net {

class FilePort;
class Message;

class IContext {
 public:
  // One offer of this computer's user: paths offered to `toUsername` under `code`. A ticket
  // with an empty code means that no offer was found.
  struct Ticket {
    std::string toUsername;
    std::forward_list<std::string> files;  // in the order they were offered
    std::string code;
    int64_t createdAt = 0;  // seconds since 1970

    Ticket() = default;
    Ticket(std::string toUsername, std::forward_list<std::string> files, std::string code, int64_t createdAt)
        : toUsername(std::move(toUsername)), files(std::move(files)), code(std::move(code)), createdAt(createdAt) {}
  };

  // An offer is valid for this many seconds after it was made.
  static constexpr int64_t TICKET_LIFETIME = 604800;

  virtual ~IContext() = default;

  virtual const std::string& uuid() const = 0;
  virtual const std::string& username() const = 0;
  virtual const std::string& computerName() const = 0;
  virtual const std::string& recvPath() const = 0;
  // This side's signature towards the computer `peeruuid`.
  virtual void makeSignature(const std::string& peeruuid, std::string& signature) const = 0;
  virtual p2p::UvLoop* loop() const = 0;
  virtual p2p::Server* server() const = 0;
  // Asks the web server whether the peer on this connection is who it claims to be. The answer
  // comes to `cb` on the loop thread, unless `cb` is destroyed first.
  virtual void verify(const std::string& peerUuid, const std::string& peerUsername, const std::string& peerSignature,
                      p2p::Server::ServerCb<bool>* cb) = 0;
  // True when a message can be sent now.
  virtual bool canSend() const = 0;
  // Encodes and queues one message; false (nothing done) while the previous one is still going
  // out or the connection is closing. The caller keeps `m`.
  virtual bool send(const Message* m) = 0;
  // The buffer that send() encodes into, for writing file data in place before the header.
  virtual ByteBuffer* getSendBuffer() = 0;
  // Ends the connection: an empty reason when the handler has finished its work, otherwise why
  // it stopped. `immidiately` drops what is still queued.
  virtual void close(bool immidiately, const std::string& reason) = 0;
  // The handler's recvReady() may have turned true again: bytes held back are offered at once.
  virtual void recvReadyAgain() {}
  // Hands progress data to the connection's listener.
  virtual void notify(void* data) = 0;
  // The newest offer of this computer with this code, made to this user and still valid.
  virtual Ticket findTicket(const std::string& code, const std::string& username) = 0;
  // The files the copy handlers read and write.
  virtual FilePort* files() = 0;
  // Keeps the send and receive buffers allocated for as long as the result is held: a file
  // request that reads into the send buffer or writes from the receive buffer holds it until it
  // completes, even if the connection is gone by then.
  virtual std::shared_ptr<void> holdBuffers() const = 0;
};

}  // namespace net
