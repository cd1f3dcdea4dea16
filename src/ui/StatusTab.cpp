#include "ui/StatusTab.h"

#include <wx/menu.h>
#include <wx/utils.h>

#include "p2p/uv/UvFile.h"
#include "ui/UiUtils.h"

StatusTab::StatusTab(wxWindow* parent, UiContext* context)
    : wxListView(parent, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxLC_REPORT), context(context) {
  AppendColumn(_("name"), wxLIST_FORMAT_LEFT, -1);
  AppendColumn(_("from"), wxLIST_FORMAT_LEFT, -1);
  AppendColumn(_("to"), wxLIST_FORMAT_LEFT, -1);
  AppendColumn(_("size"), wxLIST_FORMAT_RIGHT, -1);
  AppendColumn(_("%completed"), wxLIST_FORMAT_RIGHT, -1);
  AppendColumn(_("bytes/sec"), wxLIST_FORMAT_RIGHT, -1);

  contextMenu = std::make_unique<wxMenu>();
  contextMenu->Append(MENU_PAUSE, "Pause");
  contextMenu->Append(MENU_RESUME, "Resume");
  contextMenu->AppendSeparator();
  contextMenu->Append(MENU_REMOVE, "Remove");
  contextMenu->Append(MENU_REMOVE_COMPLETED, "Remove All Completed");
  contextMenu->Append(MENU_REMOVE_ALL, "Remove All");
  contextMenu->AppendSeparator();
  contextMenu->Append(MENU_OPEN, "Open");
  contextMenu->Append(MENU_OPEN_FOLDER, "Open Folder");

  Bind(wxEVT_MENU, &StatusTab::onMenu, this);
  Bind(wxEVT_CONTEXT_MENU, &StatusTab::onContextMenu, this);
}

bool StatusTab::OnUiEvent(const UiEvent& event) {
  if (event.event->type == net::Api::TICKET_GET) {
    // The answer to a Resume: only a refusal needs a word; the rows show the rest.
    const auto& answer = static_cast<const net::Api::TicketGetEvent&>(*event.event);
    if (answer.reason.empty()) return true;
    context->removeCommand(answer.commandId);
    UiDump::messageBox(UiUtils::fromString(answer.reason), "Error", wxOK | wxICON_WARNING, this);
    return true;
  }
  if (event.event->type != net::Api::SEND_RECV) return false;
  merge(static_cast<const net::Api::SendRecvEvent&>(*event.event));
  return true;
}

void StatusTab::merge(const net::Api::SendRecvEvent& e) {
  bool appended = false;
  const long row = static_cast<long>(rows.merge(e, &appended));
  if (appended) {
    InsertItem(row, "");
    SetItem(row, 0, UiUtils::fromString(e.fileName));
    SetItem(row, 1, UiUtils::fromString(e.fromUsername));
    SetItem(row, 2, UiUtils::fromString(e.toUsername));
  }
  SetItem(row, 3, UiUtils::formatSize(e.size));
  SetItem(row, 4, UiUtils::formatPercent(e.offset, e.size));
  SetItem(row, 5, UiUtils::formatSize(e.bytesSec));
}

void StatusTab::onContextMenu(wxContextMenuEvent& event) {
  if (event.GetPosition() == wxDefaultPosition) return;  // from the keyboard: no row is meant
  const wxPoint position = ScreenToClient(event.GetPosition());
  // Row rectangles rather than HitTest: the generic list's HitTest wants coordinates below its
  // header, the rectangles are in the list's own.
  long row = 0;
  wxRect rect;
  while (row < GetItemCount() && !(GetItemRect(row, rect) && rect.Contains(position))) ++row;
  if (row >= GetItemCount() || static_cast<size_t>(row) >= rows.size()) return;
  for (long selected = GetFirstSelected(); selected != -1; selected = GetNextSelected(selected)) Select(selected, false);
  Select(row);
  const StatusRows::Record& record = rows.at(static_cast<size_t>(row));
  contextMenu->Enable(MENU_PAUSE, StatusRows::canPause(record));
  contextMenu->Enable(MENU_RESUME, StatusRows::canResume(record));
  contextMenu->Enable(MENU_OPEN, StatusRows::canOpen(record) && !record.localPath.empty());
  PopupMenu(contextMenu.get(), position);
}

void StatusTab::removeRow(long row) {
  rows.remove(static_cast<size_t>(row));
  DeleteItem(row);
}

void StatusTab::onMenu(wxCommandEvent& event) {
  const long row = GetFirstSelected();
  if (event.GetId() == MENU_REMOVE_ALL) {
    rows.clear();
    DeleteAllItems();
    return;
  }
  if (event.GetId() == MENU_REMOVE_COMPLETED) {
    for (const size_t removed : rows.removeCompleted()) DeleteItem(static_cast<long>(removed));
    return;
  }
  if (row == -1 || static_cast<size_t>(row) >= rows.size()) return;
  // Copied: removing the row frees its record.
  const StatusRows::Record record = rows.at(static_cast<size_t>(row));
  switch (event.GetId()) {
    case MENU_REMOVE:
      removeRow(row);
      break;
    case MENU_OPEN:
      if (StatusRows::canOpen(record) && !record.localPath.empty())
        wxLaunchDefaultApplication(UiUtils::fromString(record.localPath));
      break;
    case MENU_OPEN_FOLDER:
      wxLaunchDefaultApplication(UiUtils::fromString(p2p::UvFile::getDir(record.localPath)));
      break;
    case MENU_PAUSE:
    case MENU_RESUME: {
      net::Api* api = context->readyApi(this);
      if (!api) break;
      const int id = context->newCommand(this);
      if (event.GetId() == MENU_PAUSE)
        api->ticketPause(id, record.code);
      else
        api->ticketResume(id, record.code);
      break;
    }
    default:
      event.Skip();
  }
}

void StatusTab::dump(UiDump::Writer& writer) const {
  static const char* const columns[] = {"name", "from", "to", "size", "percent", "rate"};
  writer.Key("rows");
  writer.StartArray();
  for (size_t i = 0; i < rows.size(); ++i) {
    const StatusRows::Record& record = rows.at(i);
    writer.StartObject();
    for (int column = 0; column < 6; ++column)
      UiDump::writeString(writer, columns[column], GetItemText(static_cast<long>(i), column));
    UiDump::writeString(writer, "code", UiUtils::fromString(record.code));
    UiDump::writeString(writer, "localPath", UiUtils::fromString(record.localPath));
    UiDump::writeString(writer, "reason", UiUtils::fromString(record.reason));
    writer.Key("commandId");
    writer.Int(record.commandId);
    writer.Key("bytes");
    writer.Int64(record.size);
    writer.Key("offset");
    writer.Int64(record.offset);
    writer.EndObject();
  }
  writer.EndArray();
}
