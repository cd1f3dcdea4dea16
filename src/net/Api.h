// The engine's front towards a user interface. Every result of the engine leaves it as an
// Api::Event, built on the loop thread and handed through notify() to the one Api::Listener
// that the front end registered.
//
// Delivery: events reach the listener in the order they were emitted, one at a time, on a
// libuv pool thread, so the loop never waits for the user interface and a late progress
// event can never overtake a newer state. The listener owns every event it receives.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

namespace p2p {
class UvLoop;
}

namespace net {

class Api {
 public:
  enum EventType : int {
    START = 0,
    API_ERROR = 1,
    LOGIN = 2,
    TICKET_CREATE = 3,
    TICKET_GET = 4,
    SEND_RECV = 5,
    OAUTH2_RESPONSE = 6,
    NEW_USER = 7,
    FORGOT_PASSWORD = 8,
    COMMAND_RECV = 9,
    COMMAND_RAISE = 10,
    USER_UNDEFINED = 11,
  };

  // The listener tells the records apart by `type` and frees them through this base.
  class Event {
   public:
    explicit Event(EventType type);
    Event(EventType type, int commandId);
    virtual ~Event() = default;

    const EventType type;
    // The caller's number for the operation this event answers; 0 when it answers none.
    const int commandId;
  };

  class Listener {
   public:
    virtual ~Listener() = default;
    // Called on a libuv pool thread, never on two threads at once; takes over the event.
    virtual void onEvent(Event* event) = 0;
  };

  class StartEvent : public Event {
   public:
    StartEvent();
  };

  class ErrorEvent : public Event {
   public:
    ErrorEvent(int commandId, const std::exception& exception);
    const std::string error;  // the exception's what()
  };

  class LoginEvent : public Event {
   public:
    LoginEvent(int commandId, const std::string& username, int status, const std::string& reason);
    const int status;  // the rendezvous login status
    const std::string username;
    const std::string reason;
  };

  class NewUserEvent : public Event {
   public:
    NewUserEvent(int commandId, const std::string& username, int status, const std::string& reason);
    const int status;  // 1 ok, 0 error
    const std::string username;
    const std::string reason;
  };

  class ForgotPasswordEvent : public Event {
   public:
    ForgotPasswordEvent(int commandId, const std::string& username, int status, const std::string& reason);
    const int status;  // 1 ok, 0 error
    const std::string username;
    const std::string reason;
  };

  class Oauth2ResponseEvent : public Event {
   public:
    Oauth2ResponseEvent(int commandId, const std::string& username, const std::string& error);
    std::string username;
    std::string error;
  };

  class TicketCreateEvent : public Event {
   public:
    TicketCreateEvent(int commandId, const std::string& code, const std::string& reason);
    const std::string code;
    const std::string reason;
  };

  class TicketGetEvent : public Event {
   public:
    TicketGetEvent(int commandId, const std::string& code, const std::vector<std::string>& paths,
                   const std::string& reason);
    const std::string code;
    const std::vector<std::string> paths;
    const std::string reason;
  };

  // Progress and end of one file, on either side. The counters and the reason stay writable:
  // a status display keeps a copy per file and merges later events into it.
  class SendRecvEvent : public Event {
   public:
    SendRecvEvent(int commandId, const std::string& code, const std::string& fileName, const std::string& localPath,
                  const std::string& fromUsername, const std::string& toUsername, int64_t size, int64_t offset,
                  int64_t bytesSec, const std::string& reason);
    SendRecvEvent(const SendRecvEvent& other) = default;

    const std::string code;
    const std::string fileName;
    const std::string fromUsername;
    const std::string toUsername;
    int64_t size;
    int64_t offset;
    int64_t bytesSec;
    std::string reason;
    const std::string localPath;
  };

  class CommandRecvEvent : public Event {
   public:
    CommandRecvEvent(int commandId, const std::string& ticket);
    const std::string ticket;  // the code given in the request
  };

  // No listener and no loop yet: events are dropped until both are set.
  Api();
  // Events still waiting are freed, not delivered; an onEvent in progress is waited for.
  ~Api();
  Api(const Api&) = delete;
  Api& operator=(const Api&) = delete;

  // Safe from any thread, including from inside onEvent. Once it has returned, the previous
  // listener receives no further onEvent. Null drops the events emitted from then on.
  void setListener(Listener* listener);

  // The loop whose thread pool delivers events. Call on the loop thread or before it runs.
  // When the loop is destroyed, events still waiting are freed and later ones dropped.
  void setEventLoop(p2p::UvLoop* loop);

  // Emits one event and takes ownership of it; call on the loop thread. Without a listener
  // or a loop the event is freed at once.
  void notify(Event* event);

 private:
  struct Delivery;
  class LoopLink;

  static void drain(const std::shared_ptr<Delivery>& delivery);

  std::atomic<Listener*> listener;
  std::shared_ptr<Delivery> _delivery;  // shared with the pool job that is draining it
  std::unique_ptr<LoopLink> _loopLink;
};

}  // namespace net
