#pragma once

#include <cstdint>
#include <string>

#include "net/messages/Message.h"

namespace net {

// Receiver to sender: opens a copy connection for one offered path of a ticket.
class CopyRequest : public FieldMessage<CopyRequest> {
 public:
  static constexpr char name[] = "CopyRequest";
  static constexpr int FROM_CLIENT = 0;
  static constexpr int FROM_SERVER = 1;

  CopyRequest() : FieldMessage(COPY_REQUEST) {}

  // The log names the copy by its ticket only.
  void dump(std::ostream& out) const override { out << name << " ticket:" << ticket; }

  template <typename Visit, typename M>
  static void fields(Visit& visit, M& m) {
    visit("uuid", m.uuid);
    visit("fromUuid", m.fromUuid);
    visit("toUuid", m.toUuid);
    visit("id", m.id);
    visit("fileName", m.fileName);
    visit("fromPath", m.fromPath);
    visit("toPath", m.toPath);
    visit("serverIp", m.serverIp);
    visit("serverPort", m.serverPort);
    visit("direction", m.direction);
    visit("sync", m.sync);
    visit("reason", m.reason);
    visit("ackPeriod", m.ackPeriod);
    visit("print", m.print);
    visit("myUserName", m.myUserName);
    visit(wire::secret("mySignature"), m.mySignature);
    visit("myComputerName", m.myComputerName);
    visit("shortcut", m.shortcut);
    visit("ticket", m.ticket);
  }

  std::string uuid;
  std::string fromUuid;
  std::string toUuid;
  int64_t id = 0;
  std::string fileName;
  std::string fromPath;
  std::string toPath;
  std::string serverIp;
  int32_t serverPort = 0;
  int32_t direction = 0;  // FROM_CLIENT or FROM_SERVER
  int32_t sync = 0;
  std::string reason;
  int32_t ackPeriod = 2000;  // ms
  int32_t print = 0;
  std::string myUserName;
  std::string mySignature;
  std::string myComputerName;
  std::string shortcut;
  std::string ticket;
};

}  // namespace net
