// The line under the pages: "connecting..." until the first login result, then hidden while
// logged in, or the reason the login failed.
#pragma once

#include <wx/textctrl.h>

#include "ui/Events.h"

class StatusLine : public wxTextCtrl, public UiEventListener {
 public:
  explicit StatusLine(wxWindow* parent);

  bool OnUiEvent(const UiEvent& event) override;
  void update(int status, const wxString& reason);
};
