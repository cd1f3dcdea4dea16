// What the pages and the tray icon need from the main window.
#pragma once

#include <string>
#include <vector>

class UiEventListener;
class wxWindow;

namespace net {
class Api;
}

class UiContext {
 public:
  virtual ~UiContext() = default;

  // The running engine, or null until it has started (and again once it is stopping).
  virtual net::Api* getApi() = 0;
  // A new command id (1, 2, 3, ...) whose answering events go to `listener`.
  virtual int newCommand(UiEventListener* listener) = 0;
  virtual void removeCommand(int id) = 0;
  // Appends an offer to the offers file; throws std::runtime_error when it cannot.
  virtual void addTicket(const std::string& to, const std::vector<std::string>& files, const std::string& code) = 0;
  // Ends the program: stops the engine, removes the tray icon, destroys the window.
  virtual void close() = 0;
  virtual void showStatus() = 0;
  virtual void showAndRaise() = 0;

  // The engine for a user's action, or null after telling the user (over `parent`) that the
  // engine has not started yet: nothing may be sent to an engine that does not run.
  net::Api* readyApi(wxWindow* parent);
};
