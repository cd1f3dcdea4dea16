// The frame's routing of engine events on the user-interface thread: an event goes first to
// the listener registered under its command id; when there is none, or that listener leaves
// it, the frame's own table handles it by type. Every event is freed exactly once, after
// dispatch, whoever handled it.
#pragma once

#include <map>

#include "ui/Events.h"

class UiDispatch {
 public:
  // The frame's own handling of the events no listener took.
  class Table {
   public:
    virtual ~Table() = default;
    virtual void onStart() = 0;
    virtual void onApiError(const net::Api::ErrorEvent& error) = 0;
    virtual void onLogin(const UiEvent& event) = 0;
    virtual void onSendRecv(const UiEvent& event) = 0;
    virtual void onCommandRecv(const net::Api::CommandRecvEvent& command) = 0;
    virtual void onCommandRaise() = 0;
    virtual void onUserUndefined() = 0;
  };

  explicit UiDispatch(Table& table) : table(table) {}

  // Ids are 1, 2, 3, ... and never 0, which marks events that answer no command.
  int newCommand(UiEventListener* listener);
  void removeCommand(int id) { commands.erase(id); }
  size_t commandCount() const { return commands.size(); }

  // Routes the event and frees the engine event it carries.
  void dispatch(UiEvent& event);

 private:
  void handleByType(const UiEvent& event);

  Table& table;
  int nextCommandId = 0;
  std::map<int, UiEventListener*> commands;  // not owned
};
