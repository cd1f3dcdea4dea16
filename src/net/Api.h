// The engine's front towards a user interface. Every result of the engine leaves it as an
// Api::Event, built on the loop thread and handed through notify() to the one Api::Listener
// that the front end registered.
//
// Running: one thread calls run(), which builds the loop, the log and the Manager and becomes
// the engine's loop thread until stop(). Every operation below may be called from any thread
// once START has arrived: it is packed into a closure and runs on the loop thread (at once when
// called there). A call while no engine runs is answered with an API_ERROR event.
//
// Delivery: events reach the listener in the order they were emitted, one at a time, on a
// libuv pool thread, so the loop never waits for the user interface and a late progress
// event can never overtake a newer state. The listener owns every event it receives.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class Properties;

namespace p2p {
class OnLoopExecutor;
class UvLoop;
}  // namespace p2p

namespace net {

class Manager;

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

  static constexpr const char* DEFAULT_LOG_FILE = "mainMirelWx.log";
  static constexpr int RESTART_DELAY_MS = 1000;

  // A new facade with nothing running.
  static Api* newInstance();

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

  // Becomes the engine's loop thread: builds the loop, the log (`logFile`; empty for none) and
  // the Manager, emits START and runs the loop until stop(). An exception out of the loop is
  // reported (API_ERROR) and the loop runs again after RESTART_DELAY_MS. Returns once stopped,
  // with the engine torn down; returns at once when stop() came first. A Manager that cannot be
  // built is reported as API_ERROR and run() returns.
  void run(const Properties& properties, const std::string& logFile = DEFAULT_LOG_FILE);
  // Any thread; also before run().
  void stop();
  // What run() builds its engine with (tests put their own here); call before run().
  using ManagerFactory = std::function<std::unique_ptr<Manager>(const Properties&, p2p::UvLoop*)>;
  void setManagerFactory(ManagerFactory factory) { managerFactory = std::move(factory); }
  bool running() const { return isRunning.load(); }

  // The browser sign-in address of this computer; empty before START.
  std::string getGoogleOauth2Url() const;

  // The engine's operations, from any thread; the answers carry commandId.
  void ticketSend(int commandId, const std::string& toUsername, const std::vector<std::string>& files,
                  const std::string& text, bool sendMail);
  void ticketSendCode(int commandId, const std::string& toUsername, const std::vector<std::string>& files,
                      const std::string& code, int64_t createdAt);
  void ticketRecv(int commandId, const std::string& code);
  void ticketPause(int commandId, const std::string& code);
  // A resume is a new receive of the same code.
  void ticketResume(int commandId, const std::string& code);
  void oauth2Response(int commandId);
  void login(int commandId, const std::string& username, const std::string& password);
  void newUser(int commandId, const std::string& username, const std::string& password);
  void forgotPassword(int commandId, const std::string& username);

 private:
  // Runs f with the Manager on the loop thread; an exception becomes an API_ERROR event with
  // commandId.
  void executeOnLoop(int commandId, std::function<void(Manager&)> f);
  void runOnLoop(int commandId, const std::function<void(Manager&)>& f);
  // Answers on the caller's thread: there is no loop to carry the event.
  void refuse(int commandId, const std::string& why);
  bool waitBeforeRestart();
  struct Delivery;
  class LoopLink;

  static void drain(const std::shared_ptr<Delivery>& delivery);

  std::atomic<Listener*> listener;
  std::shared_ptr<Delivery> _delivery;  // shared with the pool job that is draining it
  std::unique_ptr<LoopLink> _loopLink;

  // The running engine. The pointers are set and cleared by run() under stateLock; the Manager
  // itself is used on the loop thread only.
  mutable std::mutex stateLock;
  std::condition_variable stopped;  // wakes the wait before a restart
  Manager* manager = nullptr;
  p2p::OnLoopExecutor* onLoopExecutor = nullptr;
  p2p::UvLoop* engineLoop = nullptr;
  std::atomic<bool> isRunning{false};
  bool stopRequested = false;
  std::string oauth2Url;
  ManagerFactory managerFactory;
};

}  // namespace net
