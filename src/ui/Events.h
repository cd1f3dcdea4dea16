// The desktop's carrier of engine events: the frame wraps each net::Api::Event that reaches it
// on an engine thread into a UiEvent and queues it to the user-interface thread, where the
// dispatch hands it to the page that asked for it or to the frame's own table.
#pragma once

#include <wx/event.h>

#include <memory>

#include "net/Api.h"

class UiEvent : public wxEvent {
 public:
  UiEvent(wxEventType type, int winid, net::Api::Event* event);

  // A clone shares the engine event; the dispatch frees it once, whichever copy it holds.
  wxEvent* Clone() const override { return new UiEvent(*this); }

  std::shared_ptr<net::Api::Event> event;
};

wxDECLARE_EVENT(UiEventType, UiEvent);

// A page or the tray icon waiting for the answer to a command it issued.
class UiEventListener {
 public:
  virtual ~UiEventListener() = default;
  // True when handled: the frame then only frees the event.
  virtual bool OnUiEvent(const UiEvent& event) = 0;
};
