// The receiving side of one copy connection (being built).
#pragma once

#include <string>

#include "net/handlers/IHandler.h"

namespace net {

class CopyRecvHandler : public IHandler {
 public:
  CopyRecvHandler(IContext* context, const std::string& ticket, const std::string& username, const std::string& uuid,
                  const std::string& path)
      : IHandler(context), ticket(ticket), username(username), uuid(uuid), path(path) {
    handlerName = "CopyRecvHandler";
  }
  void handleRecv(const Message*) override {}
  void handleSend() override {
    finalFailure = true;
    context->close(false, "copying is not built yet");
  }

 private:
  std::string ticket, username, uuid, path;
};

}  // namespace net
