#include "ui/UiContext.h"

#include <wx/msgdlg.h>

#include "ui/UiDump.h"

net::Api* UiContext::readyApi(wxWindow* parent) {
  net::Api* api = getApi();
  if (!api) UiDump::messageBox("Not connected yet, please try again in a moment.", "Mirel", wxOK | wxICON_INFORMATION, parent);
  return api;
}
