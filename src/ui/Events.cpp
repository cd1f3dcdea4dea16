#include "ui/Events.h"

wxDEFINE_EVENT(UiEventType, UiEvent);

UiEvent::UiEvent(wxEventType type, int winid, net::Api::Event* event) : wxEvent(winid, type), event(event) {}
