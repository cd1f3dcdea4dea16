#include "ui/RecvTab.h"

#include "p2p/uv/UvFile.h"

#include <wx/button.h>
#include <wx/msgdlg.h>
#include <wx/sizer.h>
#include <wx/textctrl.h>
#include <wx/utils.h>

#include <algorithm>

#include "ui/UiUtils.h"
#include "utils/Utils.h"

RecvTab::RecvTab(wxWindow* parent, UiContext* context) : wxPanel(parent, wxID_ANY), context(context) {
  code = new wxTextCtrl(this, wxID_ANY, "");
  code->SetHint("Enter code");
  code->Bind(wxEVT_TEXT, &RecvTab::onCodeChanged, this);

  recvButton = new wxButton(this, wxID_ANY, "Receive");
  recvButton->Bind(wxEVT_BUTTON, &RecvTab::buttonClicked, this);
  recvButton->Disable();

  auto* hBox = new wxBoxSizer(wxHORIZONTAL);
  hBox->Add(code, 1, wxALL, 2);
  hBox->Add(recvButton, 0, wxALL, 2);
  auto* vBox = new wxBoxSizer(wxVERTICAL);
  vBox->AddStretchSpacer(1);
  vBox->Add(hBox, 0, wxEXPAND | wxALL, 2);
  SetSizer(vBox);
}

void RecvTab::onCodeChanged(wxCommandEvent&) { recvButton->Enable(code->GetValue().length() > 5); }

void RecvTab::buttonClicked(wxCommandEvent&) { receive(); }

void RecvTab::commandRecv(const std::string& ticket) {
  context->showAndRaise();
  code->SetValue(UiUtils::fromString(ticket));
  receive();
}

void RecvTab::receive() {
  const std::string ticket = UiUtils::toString(code->GetValue());
  const bool alreadyAsked = std::any_of(pending.begin(), pending.end(), [&](const auto& p) { return p.second == ticket; });
  if (alreadyAsked) {
    // Two clicks, or two "/RECV" requests, must not start two receives of one code.
    UiDump::messageBox(UiUtils::fromString("already receiving " + ticket), "Error", wxOK | wxICON_WARNING, this);
    return;
  }
  net::Api* api = context->readyApi(this);
  if (!api) return;
  const int id = context->newCommand(this);
  pending[id] = ticket;
  wxBeginBusyCursor();
  api->ticketRecv(id, ticket);
}

std::string RecvTab::receivingText(const std::vector<std::string>& paths) {
  std::vector<std::string> names;
  for (const std::string& path : paths) names.push_back(p2p::UvFile::getName(path));
  return Utils::format("Receiving\n  %s", Utils::join(names.begin(), names.end(), "\n  ").c_str());
}

bool RecvTab::OnUiEvent(const UiEvent& event) {
  const net::Api::Event& e = *event.event;
  if (e.type == net::Api::API_ERROR && pending.erase(e.commandId) != 0) {
    context->removeCommand(e.commandId);
    return false;  // the frame shows the error and ends the busy cursor
  }
  if (e.type != net::Api::TICKET_GET) return false;
  return ticketGot(static_cast<const net::Api::TicketGetEvent&>(e));
}

bool RecvTab::ticketGot(const net::Api::TicketGetEvent& answer) {
  if (pending.erase(answer.commandId) == 0) return false;
  // Later answers under this id (the engine retrying the exchange) are dropped by the frame;
  // the Status page's rows show how the receive goes on.
  context->removeCommand(answer.commandId);
  UiUtils::endBusyCursor();
  if (!answer.reason.empty()) {
    UiDump::messageBox(UiUtils::fromString(answer.reason), "Error", wxOK | wxICON_WARNING, this);
    return true;
  }
  UiDump::messageBox(UiUtils::fromString(receivingText(answer.paths)), "Info", wxOK, this);
  context->showStatus();
  return true;
}

void RecvTab::dump(UiDump::Writer& writer) const {
  writer.Key("recv");
  writer.StartObject();
  UiDump::writeString(writer, "code", code->GetValue());
  writer.Key("enabled");
  writer.Bool(recvButton->IsEnabled());
  writer.Key("pending");
  writer.Uint(static_cast<unsigned>(pending.size()));
  writer.EndObject();
}
