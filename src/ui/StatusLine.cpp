#include "ui/StatusLine.h"

#include "ui/UiUtils.h"

StatusLine::StatusLine(wxWindow* parent)
    : wxTextCtrl(parent, wxID_ANY, "", wxDefaultPosition, wxDefaultSize, wxTE_CENTRE | wxTE_RICH | wxTE_READONLY) {
  SetValue("connecting...");
}

bool StatusLine::OnUiEvent(const UiEvent& event) {
  if (event.event->type != net::Api::LOGIN) return false;
  const auto& login = static_cast<const net::Api::LoginEvent&>(*event.event);
  update(login.status, UiUtils::fromString(login.reason));
  return true;
}

void StatusLine::update(int status, const wxString& reason) {
  if (status == 0) {
    Hide();
  } else {
    SetValue(reason);
    Show();
  }
  GetParent()->Layout();
}
