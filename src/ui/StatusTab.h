// The Status page: one row per transferred file, on both sides, merged from every progress
// event; its pop-up menu pauses, resumes, removes and opens transfers.
#pragma once

#include <memory>

#include <wx/listctrl.h>

#include "ui/Events.h"
#include "ui/StatusRows.h"
#include "ui/UiContext.h"
#include "ui/UiDump.h"

class wxMenu;

class StatusTab : public wxListView, public UiEventListener {
 public:
  enum MenuId {
    MENU_REMOVE = 2001,
    MENU_REMOVE_COMPLETED = 2002,
    MENU_REMOVE_ALL = 2003,
    MENU_OPEN = 2004,
    MENU_OPEN_FOLDER = 2005,
    MENU_PAUSE = 2006,
    MENU_RESUME = 2007,
  };

  StatusTab(wxWindow* parent, UiContext* context);

  // Merges SEND_RECV; the page's pause and resume ids stay registered for the progress that
  // follows them.
  bool OnUiEvent(const UiEvent& event) override;
  void merge(const net::Api::SendRecvEvent& e);
  void dump(UiDump::Writer& writer) const;

 private:
  void onContextMenu(wxContextMenuEvent& event);
  void onMenu(wxCommandEvent& event);
  void removeRow(long row);

  std::unique_ptr<wxMenu> contextMenu;
  UiContext* context;
  StatusRows rows;  // row i of the list shows record i
};
