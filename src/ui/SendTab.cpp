#include "ui/SendTab.h"

#include <wx/button.h>
#include <wx/clipbrd.h>
#include <wx/menu.h>
#include <wx/msgdlg.h>
#include <wx/sizer.h>
#include <wx/textdlg.h>
#include <wx/utils.h>

#include <memory>

#include "ui/UiTickets.h"
#include "ui/UiUtils.h"
#include "utils/Utils.h"

namespace {

}  // namespace

// ---- AutoCompleter ----

bool AutoCompleter::Start(const wxString& prefix) {
  if (values.empty()) return false;
  prefixValues.clear();
  // Pushed in ascending order to the front: handed out in descending order.
  for (const wxString& value : values)
    if (value.StartsWith(prefix)) prefixValues.push_front(value);
  return true;
}

wxString AutoCompleter::GetNext() {
  if (prefixValues.empty()) return wxString();
  wxString next = prefixValues.front();
  prefixValues.pop_front();
  return next;
}

// ---- DnDTarget ----

wxDragResult DnDTarget::OnDragOver(wxCoord, wxCoord, wxDragResult) { return wxDragCopy; }

bool DnDTarget::OnDropFiles(wxCoord, wxCoord, const wxArrayString& names) {
  if (!m_pOwner) return true;
  for (const wxString& name : names)
    if (m_pOwner->FindString(name, true) == wxNOT_FOUND) m_pOwner->Append(name);
  wxCommandEvent changed(wxEVT_LISTBOX, m_pOwner->GetId());
  changed.SetEventObject(m_pOwner);
  m_pOwner->GetEventHandler()->ProcessEvent(changed);
  return true;
}

// ---- SendTab ----

SendTab::SendTab(wxWindow* parent, UiContext* context) : wxPanel(parent, wxID_ANY), context(context) {
  contextMenu = std::make_unique<wxMenu>();
  contextMenu->Append(wxID_DELETE, "Remove");
  Bind(wxEVT_MENU, &SendTab::onRemove, this, wxID_DELETE);

  files = new wxListBox(this, wxID_ANY, wxDefaultPosition, wxDefaultSize, 0, nullptr,
                        wxLB_SINGLE | wxLB_HSCROLL | wxLB_ALWAYS_SB | wxBORDER_NONE);
  files->SetDropTarget(new DnDTarget(files));
  files->Bind(wxEVT_CONTEXT_MENU, &SendTab::onContextMenu, this);
  files->Bind(wxEVT_LISTBOX, &SendTab::onFilesChanged, this);
  files->Bind(wxEVT_KEY_DOWN, &SendTab::onKeyDown, this);
  files->Hide();

  filesHint = new wxTextCtrl(this, wxID_ANY, "\n\n\n\nDrag and Drop files or folders", wxDefaultPosition, wxDefaultSize,
                             wxTE_MULTILINE | wxTE_READONLY | wxTE_CENTRE | wxBORDER_NONE);
  filesHint->SetForegroundColour(*wxLIGHT_GREY);
  filesHint->SetDropTarget(new DnDTarget(files));
  filesHint->Bind(wxEVT_SET_FOCUS, &SendTab::onFilesHintFocus, this);

  to = new wxTextCtrl(this, wxID_ANY, "");
  to->SetHint("Enter email");
  to->Bind(wxEVT_TEXT, &SendTab::onToChanged, this);

  autoCompleter = new AutoCompleter();
  for (const UiTicket& ticket : UiTickets::read()) autoCompleter->Add(UiUtils::fromString(ticket.to));
  to->AutoComplete(autoCompleter);

  sendButton = new wxButton(this, wxID_ANY, "Send");
  sendButton->Bind(wxEVT_BUTTON, &SendTab::buttonClicked, this);
  sendButton->Disable();

  auto* hBox = new wxBoxSizer(wxHORIZONTAL);
  hBox->Add(to, 1, wxALL, 2);
  hBox->Add(sendButton, 0, wxALL, 2);
  vBox = new wxBoxSizer(wxVERTICAL);
  vBox->Add(filesHint, 1, wxEXPAND, 0);
  vBox->Add(hBox, 0, wxEXPAND | wxALL, 2);
  SetSizer(vBox);
}

void SendTab::updateSendButton() {
  sendButton->Enable(files->GetCount() > 0 && pending.empty() && UiUtils::isValidEmail(to->GetValue()));
}

void SendTab::onToChanged(wxCommandEvent&) { updateSendButton(); }

void SendTab::onFilesChanged(wxCommandEvent&) { filesChanged(); }

void SendTab::filesChanged() {
  if (files->GetCount() > 0 && !files->IsShown()) {
    filesHint->Hide();
    vBox->Detach(filesHint);
    files->Show();
    vBox->Insert(0, files, 1, wxEXPAND, 0);
    Layout();
  } else if (files->GetCount() == 0 && files->IsShown()) {
    files->Hide();
    vBox->Detach(files);
    filesHint->Show();
    vBox->Insert(0, filesHint, 1, wxEXPAND, 0);
    Layout();
  }
  updateSendButton();
}

void SendTab::onContextMenu(wxContextMenuEvent& event) {
  if (event.GetPosition() == wxDefaultPosition) return;  // from the keyboard: no row is meant
  const wxPoint position = files->ScreenToClient(event.GetPosition());
  const int item = files->HitTest(position);
  if (item == wxNOT_FOUND) return;
  files->SetSelection(item);
  files->PopupMenu(contextMenu.get(), position);
}

void SendTab::onRemove(wxCommandEvent&) {
  const int selected = files->GetSelection();
  if (selected == wxNOT_FOUND) return;
  files->Delete(static_cast<unsigned>(selected));
  filesChanged();
}

void SendTab::onKeyDown(wxKeyEvent& event) {
  if (event.ControlDown() && event.GetKeyCode() == 'V') {
    paste();
    return;
  }
  event.Skip();  // arrows and the like keep moving the selection
}

void SendTab::paste() {
  if (!wxTheClipboard->Open()) return;
  if (wxTheClipboard->IsSupported(wxDF_FILENAME)) {
    wxFileDataObject data;
    auto* target = static_cast<DnDTarget*>(files->GetDropTarget());
    if (wxTheClipboard->GetData(data)) target->OnDropFiles(0, 0, data.GetFilenames());
  }
  wxTheClipboard->Close();
}

void SendTab::onFilesHintFocus(wxFocusEvent& event) {
  if (event.GetEventType() == wxEVT_SET_FOCUS) to->SetFocus();
  event.Skip();
}

void SendTab::buttonClicked(wxCommandEvent&) {
  if (!pending.empty() || !context->readyApi(this)) return;
  const wxString recipient = to->GetValue();
  wxTextEntryDialog dialog(this, "About to send files to " + recipient + "\nYou can add short message...", "Send Files",
                           "", wxOK | wxCANCEL | wxTE_MULTILINE);
  UiDump::note("Send Files", "About to send files to " + recipient);
  if (dialog.ShowModal() != wxID_OK) return;
  net::Api* api = context->readyApi(this);
  if (!api) return;

  PendingSend send;
  send.to = UiUtils::toString(recipient);
  autoCompleter->Add(recipient);
  for (const wxString& file : files->GetStrings()) send.files.push_back(UiUtils::toString(file));
  const std::string message = UiUtils::toString(dialog.GetValue());

  const int id = context->newCommand(this);
  pending[id] = send;
  updateSendButton();
  wxBeginBusyCursor();
  api->ticketSend(id, send.to, send.files, message, true);
}

bool SendTab::OnUiEvent(const UiEvent& event) {
  const net::Api::Event& e = *event.event;
  if (e.type == net::Api::API_ERROR && pending.erase(e.commandId) != 0) {
    // The engine failed the request: the frame shows why; the page may send again.
    context->removeCommand(e.commandId);
    updateSendButton();
    return false;
  }
  if (e.type != net::Api::TICKET_CREATE) return false;
  return ticketCreated(static_cast<const net::Api::TicketCreateEvent&>(e));
}

bool SendTab::ticketCreated(const net::Api::TicketCreateEvent& answer) {
  const auto it = pending.find(answer.commandId);
  if (it == pending.end()) return false;
  const PendingSend send = std::move(it->second);
  pending.erase(it);
  context->removeCommand(answer.commandId);
  UiUtils::endBusyCursor();
  if (!answer.reason.empty()) {
    updateSendButton();
    UiDump::messageBox(UiUtils::fromString(answer.reason), "Error", wxOK | wxICON_WARNING, this);
    return true;
  }
  try {
    context->addTicket(send.to, send.files, answer.code);
  } catch (const std::exception& failure) {
    // The engine offers the files for this run all the same; the user learns that they will
    // not be offered again after a restart, and still gets the code.
    UiDump::messageBox(failure.what(), "Error", wxOK | wxICON_WARNING, this);
  }
  UiDump::messageBox(UiUtils::fromString(Utils::format("Code %s", answer.code.c_str())), "Info", wxOK, this);
  // The emptied list stays shown; the hint comes back with the next change of the list.
  files->Clear();
  sendButton->Disable();
  return true;
}

void SendTab::dump(UiDump::Writer& writer) const {
  writer.Key("send");
  writer.StartObject();
  writer.Key("files");
  writer.StartArray();
  for (const wxString& file : files->GetStrings()) {
    const std::string utf8 = UiUtils::toString(file);
    writer.String(utf8.c_str(), static_cast<rapidjson::SizeType>(utf8.size()));
  }
  writer.EndArray();
  UiDump::writeString(writer, "to", to->GetValue());
  writer.Key("listShown");
  writer.Bool(files->IsShown());
  writer.Key("sendEnabled");
  writer.Bool(sendButton->IsEnabled());
  writer.Key("pending");
  writer.Uint(static_cast<unsigned>(pending.size()));
  writer.EndObject();
}
