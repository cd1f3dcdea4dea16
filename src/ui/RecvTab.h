// The Receive page: the user types the code the sender got and presses Receive; a local
// "/RECV" request starts the same receive from outside. When the ticket has been fetched the
// page lists the names being received and turns to the Status page.
#pragma once

#include <wx/panel.h>

#include <map>
#include <string>
#include <vector>

#include "ui/Events.h"
#include "ui/UiContext.h"
#include "ui/UiDump.h"

class wxButton;
class wxTextCtrl;

class RecvTab : public wxPanel, public UiEventListener {
 public:
  RecvTab(wxWindow* parent, UiContext* context);

  // A receive asked for from outside: as if the user had typed the code and pressed Receive.
  void commandRecv(const std::string& ticket);
  bool OnUiEvent(const UiEvent& event) override;
  void dump(UiDump::Writer& writer) const;

  // "Receiving" and the last name of each path, one per line.
  static std::string receivingText(const std::vector<std::string>& paths);

 private:
  void buttonClicked(wxCommandEvent& event);
  void onCodeChanged(wxCommandEvent& event);
  void receive();
  bool ticketGot(const net::Api::TicketGetEvent& answer);

  UiContext* context;
  wxTextCtrl* code;
  wxButton* recvButton;
  std::map<int, std::string> pending;  // code by command id, until the ticket has come
};
