// The base of the protocol handlers a connection hosts (ticket exchange, copy sender and
// receiver). The connection owns its handler and destroys it with itself.
#pragma once

#include <string>

#include "net/handlers/IContext.h"

namespace net {

class Message;

class IHandler {
 public:
  explicit IHandler(IContext* context) : context(context) {}
  virtual ~IHandler() = default;
  IHandler(const IHandler&) = delete;
  IHandler& operator=(const IHandler&) = delete;

  virtual std::string name() const { return handlerName; }
  // False while the handler still uses the last message it was given (data written in place):
  // the connection then holds further bytes back.
  virtual bool recvReady() const { return true; }
  // One message from the peer; valid only during the call.
  virtual void handleRecv(const Message* m) = 0;
  // The connection can take a message now.
  virtual void handleSend() = 0;
  virtual void pause() {}

  // True when the handler's failure will not go away by trying again (a refusal by the peer,
  // names that must not be written): the owner then does not retry.
  bool failedForGood() const { return finalFailure; }

 protected:
  IContext* context;
  std::string handlerName = "undefined";
  bool finalFailure = false;
};

}  // namespace net
