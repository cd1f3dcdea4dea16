// The Send page: the user drops (or pastes) files and folders, types the recipient (completed
// from earlier recipients), presses Send and gets the ticket code. The offer is kept in the
// offers file once the code has come.
#pragma once

#include <memory>

#include <wx/dnd.h>
#include <wx/listbox.h>
#include <wx/panel.h>
#include <wx/textcompleter.h>
#include <wx/textctrl.h>

#include <forward_list>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "ui/Events.h"
#include "ui/UiContext.h"
#include "ui/UiDump.h"

class wxButton;
class wxBoxSizer;
class wxMenu;

// The recipients known from the offers file and this run's sends.
class AutoCompleter : public wxTextCompleter {
 public:
  void Add(const wxString& value) { values.insert(value); }
  bool Start(const wxString& prefix) override;
  wxString GetNext() override;

 private:
  std::set<wxString> values;
  std::forward_list<wxString> prefixValues;  // the completions still to hand out
};

// Fills the file list with dropped names, each once, in the order given.
class DnDTarget : public wxFileDropTarget {
 public:
  explicit DnDTarget(wxListBox* owner) : m_pOwner(owner) {}
  // A copy: sources that offer only copy (most file managers) refuse a link.
  wxDragResult OnDragOver(wxCoord x, wxCoord y, wxDragResult suggested) override;
  bool OnDropFiles(wxCoord x, wxCoord y, const wxArrayString& names) override;

 private:
  wxListBox* m_pOwner;
};

class SendTab : public wxPanel, public UiEventListener {
 public:
  SendTab(wxWindow* parent, UiContext* context);

  bool OnUiEvent(const UiEvent& event) override;
  void dump(UiDump::Writer& writer) const;

 private:
  // A send waiting for its code: what is stored under the code once it comes.
  struct PendingSend {
    std::string to;
    std::vector<std::string> files;
  };

  void buttonClicked(wxCommandEvent& event);
  void onToChanged(wxCommandEvent& event);
  void onFilesChanged(wxCommandEvent& event);
  void onContextMenu(wxContextMenuEvent& event);
  void onKeyDown(wxKeyEvent& event);
  void onRemove(wxCommandEvent& event);
  void onFilesHintFocus(wxFocusEvent& event);

  void filesChanged();
  void updateSendButton();
  void paste();
  bool ticketCreated(const net::Api::TicketCreateEvent& answer);

  UiContext* context;
  wxTextCtrl* to;
  wxTextCtrl* filesHint;
  wxListBox* files;
  wxButton* sendButton;
  std::unique_ptr<wxMenu> contextMenu;
  AutoCompleter* autoCompleter;  // owned by `to` once handed over
  wxBoxSizer* vBox;
  std::map<int, PendingSend> pending;  // by command id
};
