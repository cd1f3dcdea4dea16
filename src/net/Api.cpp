#include "net/Api.h"

#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <utility>

#include "net/handlers/Manager.h"
#include "p2p/uv/UvLog.h"
#include "p2p/uv/UvLoop.h"
#include "utils/Properties.h"
#include "utils/Utils.h"

namespace net {

// ---- events ----

Api::Event::Event(EventType type) : type(type), commandId(0) {}

Api::Event::Event(EventType type, int commandId) : type(type), commandId(commandId) {}

Api::StartEvent::StartEvent() : Event(START) {}

Api::ErrorEvent::ErrorEvent(int commandId, const std::exception& exception)
    : Event(API_ERROR, commandId), error(exception.what()) {}

Api::LoginEvent::LoginEvent(int commandId, const std::string& username, int status, const std::string& reason)
    : Event(LOGIN, commandId), status(status), username(username), reason(reason) {}

Api::NewUserEvent::NewUserEvent(int commandId, const std::string& username, int status, const std::string& reason)
    : Event(NEW_USER, commandId), status(status), username(username), reason(reason) {}

Api::ForgotPasswordEvent::ForgotPasswordEvent(int commandId, const std::string& username, int status,
                                              const std::string& reason)
    : Event(FORGOT_PASSWORD, commandId), status(status), username(username), reason(reason) {}

Api::Oauth2ResponseEvent::Oauth2ResponseEvent(int commandId, const std::string& username, const std::string& error)
    : Event(OAUTH2_RESPONSE, commandId), username(username), error(error) {}

Api::TicketCreateEvent::TicketCreateEvent(int commandId, const std::string& code, const std::string& reason)
    : Event(TICKET_CREATE, commandId), code(code), reason(reason) {}

Api::TicketGetEvent::TicketGetEvent(int commandId, const std::string& code, const std::vector<std::string>& paths,
                                    const std::string& reason)
    : Event(TICKET_GET, commandId), code(code), paths(paths), reason(reason) {}

Api::SendRecvEvent::SendRecvEvent(int commandId, const std::string& code, const std::string& fileName,
                                  const std::string& localPath, const std::string& fromUsername,
                                  const std::string& toUsername, int64_t size, int64_t offset, int64_t bytesSec,
                                  const std::string& reason)
    : Event(SEND_RECV, commandId),
      code(code),
      fileName(fileName),
      fromUsername(fromUsername),
      toUsername(toUsername),
      size(size),
      offset(offset),
      bytesSec(bytesSec),
      reason(reason),
      localPath(localPath) {}

Api::CommandRecvEvent::CommandRecvEvent(int commandId, const std::string& ticket)
    : Event(COMMAND_RECV, commandId), ticket(ticket) {}

// ---- delivery ----

// The events on their way to the listener. It outlives the Api while a pool job drains it.
// Lock order: deliveryLock before queueLock, never the other way round.
struct Api::Delivery {
  std::mutex queueLock;  // guards pending and draining
  std::deque<std::unique_ptr<Event>> pending;
  bool draining = false;  // a pool job is running drain()

  // Held while an event is taken and handed to the listener, so setListener and the
  // destructor can wait out a delivery in progress. Recursive: a listener may call
  // setListener, or delete the Api, from inside its own onEvent.
  std::recursive_mutex deliveryLock;
  // Null once the Api is gone; guarded by deliveryLock. Nulled by the Api rather than read
  // through a Liveness ref, which is for the loop thread: the delivery runs on a pool thread,
  // and the Api's destructor must wait out the one in progress.
  Api* owner;

  explicit Delivery(Api* api) : owner(api) {}

  // Returned rather than freed here, so that no event is destroyed under the lock.
  std::deque<std::unique_ptr<Event>> takeAll() {
    std::deque<std::unique_ptr<Event>> taken;
    std::lock_guard<std::mutex> lock(queueLock);
    taken.swap(pending);
    return taken;
  }
};

// Forgets the loop when it is destroyed; events that were still waiting are freed then.
class Api::LoopLink : public p2p::UvLoop::Resident {
 public:
  LoopLink(p2p::UvLoop* loop, std::shared_ptr<Delivery> delivery)
      : Resident(loop), _delivery(std::move(delivery)) {}

 protected:
  void onLoopClosing() override { _delivery->takeAll(); }

 private:
  std::shared_ptr<Delivery> _delivery;
};

Api::Api() : listener(nullptr), _delivery(std::make_shared<Delivery>(this)) {}

Api::~Api() {
  _loopLink.reset();
  // Free the waiting events first, so that a delivery in progress finds nothing more to do,
  // then wait for that delivery and detach from the pool job.
  _delivery->takeAll();
  std::lock_guard<std::recursive_mutex> lock(_delivery->deliveryLock);
  _delivery->owner = nullptr;
}

void Api::setListener(Listener* listener) {
  // Stored first: a burst being delivered turns to the new listener at its next event, so
  // the wait below covers one delivery at most.
  this->listener = listener;
  std::lock_guard<std::recursive_mutex> waitForDeliveryInProgress(_delivery->deliveryLock);
}

void Api::setEventLoop(p2p::UvLoop* loop) {
  _loopLink.reset();
  if (loop) _loopLink = std::make_unique<LoopLink>(loop, _delivery);
}

void Api::notify(Event* event) {
  std::unique_ptr<Event> owned(event);
  if (!owned || !listener.load()) return;
  p2p::UvLoop* loop = _loopLink ? _loopLink->residentLoop() : nullptr;
  if (!loop) {
    UV_LOG("WARN") << "Event " << owned->type << " dropped: no loop";
    return;
  }
  {
    std::lock_guard<std::mutex> lock(_delivery->queueLock);
    _delivery->pending.push_back(std::move(owned));
    if (_delivery->draining) return;  // the running job takes it in turn
    _delivery->draining = true;
  }
  std::shared_ptr<Delivery> delivery = _delivery;
  try {
    loop->executeAsync(new std::function<void()>([delivery] { drain(delivery); }));
  } catch (const std::exception& e) {
    // The events stay queued; the next notify tries again, shutdown frees them.
    UV_LOG("ERROR") << "Event delivery not started: " << e.what();
    std::lock_guard<std::mutex> lock(_delivery->queueLock);
    _delivery->draining = false;
  }
}

// On a pool thread: hands the events over one by one until none is left.
void Api::drain(const std::shared_ptr<Delivery>& delivery) {
  for (;;) {
    std::lock_guard<std::recursive_mutex> deliveryLock(delivery->deliveryLock);
    std::unique_ptr<Event> event;
    {
      std::lock_guard<std::mutex> lock(delivery->queueLock);
      if (delivery->pending.empty()) {
        delivery->draining = false;
        return;
      }
      event = std::move(delivery->pending.front());
      delivery->pending.pop_front();
    }
    Listener* target = delivery->owner ? delivery->owner->listener.load() : nullptr;
    if (!target) continue;  // nobody listens any more: the event is freed
    try {
      target->onEvent(event.release());
    } catch (const std::exception& e) {
      UV_LOG("ERROR") << "Event listener failed: " << e.what();
    } catch (...) {
      UV_LOG("ERROR") << "Event listener failed";
    }
  }
}

// ---- running the engine ----

Api* Api::newInstance() { return new Api(); }

void Api::run(const Properties& properties, const std::string& logFile) {
  {
    std::lock_guard<std::mutex> lock(stateLock);
    if (stopRequested) return;  // stopped before it started
    isRunning = true;
  }
  p2p::UvLoop loop;
  setEventLoop(&loop);
  if (!logFile.empty()) {
    try {
      p2p::UvLog::init(&loop, 0, 1, logFile);
    } catch (const std::exception& e) {
      // The console log goes on; the front end hears why there is no file.
      notify(new ErrorEvent(0, std::runtime_error(std::string("log file not opened: ") + e.what())));
    }
  }
  // What loading the settings replaced, said once the log is up.
  for (const std::string& note : properties.notes) UV_LOG("WARN") << note;
  std::unique_ptr<Manager> engine;
  std::unique_ptr<p2p::OnLoopExecutor> executor;
  try {
    engine = managerFactory ? managerFactory(properties, &loop) : std::make_unique<Manager>(properties, &loop);
    engine->setListener(this);
    executor.reset(loop.newOnLoopExecutor());
  } catch (const std::exception& e) {
    UV_LOG("ERROR") << "Exception caught " << e.what();
    notify(new ErrorEvent(0, e));
    engine.reset();
    isRunning = false;
    setEventLoop(nullptr);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(stateLock);
    manager = engine.get();
    onLoopExecutor = executor.get();
    engineLoop = &loop;
    oauth2Url = Utils::format("%sOauth2?uuid=%s&provider=google", properties.serverUrl.c_str(),
                              properties.uuid.c_str());
    if (stopRequested) loop.stop();  // stop() came while the engine was being built
  }
  notify(new StartEvent());
  for (;;) {
    try {
      loop.run();
    } catch (const std::exception& e) {
      UV_LOG("ERROR") << "Exception caught " << e.what();
      notify(new ErrorEvent(0, e));
    }
    if (!waitBeforeRestart()) break;
    UV_LOG("WARN") << "Restarting loop";
  }
  {
    std::lock_guard<std::mutex> lock(stateLock);
    manager = nullptr;
    onLoopExecutor = nullptr;
    engineLoop = nullptr;
  }
  executor.reset();
  engine.reset();
  setEventLoop(nullptr);
}

// True when the loop is to run again: the engine still runs after the pause.
bool Api::waitBeforeRestart() {
  std::unique_lock<std::mutex> lock(stateLock);
  if (!isRunning) return false;
  stopped.wait_for(lock, std::chrono::milliseconds(RESTART_DELAY_MS), [this] { return !isRunning.load(); });
  return isRunning;
}

void Api::stop() {
  std::lock_guard<std::mutex> lock(stateLock);
  stopRequested = true;
  isRunning = false;
  if (engineLoop) engineLoop->stop();
  stopped.notify_all();
}

std::string Api::getGoogleOauth2Url() const {
  std::lock_guard<std::mutex> lock(stateLock);
  return oauth2Url;
}

void Api::refuse(int commandId, const std::string& why) {
  std::lock_guard<std::recursive_mutex> lock(_delivery->deliveryLock);
  Listener* target = listener.load();
  if (!target) return;
  try {
    target->onEvent(new ErrorEvent(commandId, std::runtime_error(why)));
  } catch (const std::exception& e) {
    UV_LOG("ERROR") << "Event listener failed: " << e.what();
  }
}

void Api::runOnLoop(int commandId, const std::function<void(Manager&)>& f) {
  Manager* engine;
  {
    std::lock_guard<std::mutex> lock(stateLock);
    engine = manager;
  }
  if (!engine) return;  // torn down meanwhile
  try {
    f(*engine);
  } catch (const std::exception& e) {
    UV_LOG("ERROR") << "Exception caught " << e.what();
    notify(new ErrorEvent(commandId, e));
  }
}

void Api::executeOnLoop(int commandId, std::function<void(Manager&)> f) {
  std::unique_lock<std::mutex> lock(stateLock);
  if (!manager || !isRunning) {
    lock.unlock();
    refuse(commandId, "the engine is not running");
    return;
  }
  if (engineLoop->executingOnLoop()) {
    lock.unlock();
    runOnLoop(commandId, f);
    return;
  }
  // Queued under the lock, so the executor cannot be torn down meanwhile; it only queues here.
  onLoopExecutor->execute(new std::function<void()>([this, commandId, f] { runOnLoop(commandId, f); }));
}

void Api::ticketSend(int commandId, const std::string& toUsername, const std::vector<std::string>& files,
                     const std::string& text, bool sendMail) {
  executeOnLoop(commandId, [=](Manager& m) { m.ticketSend(commandId, toUsername, files, text, sendMail); });
}

void Api::ticketSendCode(int commandId, const std::string& toUsername, const std::vector<std::string>& files,
                         const std::string& code, int64_t createdAt) {
  executeOnLoop(commandId, [=](Manager& m) { m.ticketSendCode(commandId, toUsername, files, code, createdAt); });
}

void Api::ticketRecv(int commandId, const std::string& code) {
  executeOnLoop(commandId, [=](Manager& m) { m.ticketRecv(commandId, code); });
}

void Api::ticketPause(int commandId, const std::string& code) {
  executeOnLoop(commandId, [=](Manager& m) { m.ticketPause(commandId, code); });
}

void Api::ticketResume(int commandId, const std::string& code) { ticketRecv(commandId, code); }

void Api::oauth2Response(int commandId) {
  executeOnLoop(commandId, [=](Manager& m) { m.oauth2(commandId); });
}

void Api::login(int commandId, const std::string& username, const std::string& password) {
  executeOnLoop(commandId, [=](Manager& m) { m.doLogin(commandId, username, password); });
}

void Api::newUser(int commandId, const std::string& username, const std::string& password) {
  executeOnLoop(commandId, [=](Manager& m) { m.newUser(commandId, username, password); });
}

void Api::forgotPassword(int commandId, const std::string& username) {
  executeOnLoop(commandId, [=](Manager& m) { m.forgotPassword(commandId, username); });
}

}  // namespace net
