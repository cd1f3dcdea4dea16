#include "ui/TaskBar.h"

#include <wx/aboutdlg.h>
#include <wx/menu.h>
#include <wx/msgdlg.h>
#include <wx/progdlg.h>
#include <wx/textdlg.h>
#include <wx/toplevel.h>
#include <wx/utils.h>

#include "ui/UiDump.h"
#include "ui/UiUtils.h"
#include "utils/Utils.h"

namespace {

// The library's text, filled with the engine's UTF-8 values; never used as a format itself.
wxString fill(const char* format, const std::string& first, const std::string& second = "") {
  return UiUtils::fromString(Utils::format(format, first.c_str(), second.c_str()));
}

}  // namespace

TaskBar::TaskBar(wxTopLevelWindow* window, UiContext* context, const wxIcon& icon)
    : context(context), window(window), timer(this), icon(icon) {
  Bind(wxEVT_TASKBAR_LEFT_DCLICK, &TaskBar::OnTaskBarDClick, this);
  Bind(wxEVT_TIMER, &TaskBar::OnTimerEvent, this);
  Bind(wxEVT_MENU, &TaskBar::onOpen, this, TASK_BAR_OPEN);
  Bind(wxEVT_MENU, &TaskBar::onLogin, this, TASK_BAR_LOGIN);
  Bind(wxEVT_MENU, &TaskBar::onRegister, this, TASK_BAR_REGISTER);
  Bind(wxEVT_MENU, &TaskBar::onForgot, this, TASK_BAR_FORGOT);
  Bind(wxEVT_MENU, &TaskBar::onAbout, this, TASK_BAR_ABOUT);
  Bind(wxEVT_MENU, &TaskBar::onExit, this, TASK_BAR_EXIT);
  SetIcon(icon, "Mirel");
}

TaskBar::~TaskBar() { stopProgress(); }

wxMenu* TaskBar::CreatePopupMenu() {
  auto* menu = new wxMenu();
  menu->Append(TASK_BAR_OPEN, "&Open");
  menu->AppendSeparator();
  menu->Append(TASK_BAR_LOGIN, "&Login");
  menu->Append(TASK_BAR_REGISTER, "&Register");
  menu->Append(TASK_BAR_FORGOT, "&Forgot Password");
  menu->AppendSeparator();
  menu->Append(TASK_BAR_ABOUT, "&About");
  menu->Append(TASK_BAR_EXIT, "E&xit");
  return menu;
}

void TaskBar::showWindow() {
  window->Show(true);
  window->Raise();
}

void TaskBar::OnTaskBarDClick(wxTaskBarIconEvent&) { showWindow(); }

void TaskBar::onOpen(wxCommandEvent&) { showWindow(); }

void TaskBar::onExit(wxCommandEvent&) { context->close(); }

void TaskBar::onAbout(wxCommandEvent&) {
  wxAboutDialogInfo info;
  info.SetIcon(icon);
  info.SetName(_("Mirel"));
  info.SetVersion(_("0.9 Beta"));
  info.SetDescription(_("This program does something great."));
  wxAboutBox(info);
}

void TaskBar::onLogin(wxCommandEvent&) {
  wxMessageDialog dialog(window, "Login with:", "Mirel Login",
                         wxYES_NO | wxCANCEL | wxCANCEL_DEFAULT | wxSTAY_ON_TOP | wxICON_AUTH_NEEDED);
  dialog.SetYesNoLabels("&Google account", "&Mirel");
  UiDump::note("Mirel Login", "Login with:");
  const int choice = dialog.ShowModal();
  if (choice == wxID_YES)
    loginGoogle();
  else if (choice == wxID_NO)
    loginMirel();
}

std::optional<TaskBar::Credentials> TaskBar::askCredentials(const wxString& caption, bool withPassword) {
  const wxString email = wxGetTextFromUser("Enter email:", caption, "", nullptr, wxDefaultCoord, wxDefaultCoord, true);
  if (email.empty()) return std::nullopt;
  wxString password;
  if (withPassword) {
    password = wxGetPasswordFromUser("Enter password:", caption, "", nullptr, wxDefaultCoord, wxDefaultCoord, true);
    if (password.empty()) return std::nullopt;
  }
  Credentials credentials{UiUtils::toString(email), UiUtils::toString(password)};
  if (credentials.username.empty() || (withPassword && credentials.password.empty())) {
    UiDump::messageBox("The text could not be read; please type it again.", caption, wxOK | wxICON_ERROR, nullptr);
    return std::nullopt;
  }
  return credentials;
}

void TaskBar::accountCommand(const wxString& caption, bool withPassword, bool busy, const AccountCommand& command) {
  const auto credentials = askCredentials(caption, withPassword);
  if (!credentials) return;
  net::Api* api = context->readyApi(nullptr);
  if (!api) return;
  const int id = context->newCommand(this);
  if (busy) wxBeginBusyCursor();  // until the answer
  command(*api, id, *credentials);
}

void TaskBar::loginMirel() {
  // The engine answers a login with LOGIN events of id 0: the title and the status line show them.
  accountCommand("Mirel Login", true, false, [](net::Api& api, int id, const Credentials& c) {
    api.login(id, c.username, c.password);
  });
}

void TaskBar::onRegister(wxCommandEvent&) { registerUser(); }

void TaskBar::registerUser() {
  accountCommand("Mirel New User", true, true, [](net::Api& api, int id, const Credentials& c) {
    api.newUser(id, c.username, c.password);
  });
}

void TaskBar::onForgot(wxCommandEvent&) {
  accountCommand("Mirel Reset Password", false, true,
                 [](net::Api& api, int id, const Credentials& c) { api.forgotPassword(id, c.username); });
}

void TaskBar::showAnswer(const wxString& caption, int status, const wxString& success, const wxString& failure) {
  UiUtils::endBusyCursor();
  if (status != 0)
    UiDump::messageBox(success, caption, wxOK | wxICON_INFORMATION, nullptr);
  else
    UiDump::messageBox(failure, caption, wxOK | wxICON_ERROR, nullptr);
}

bool TaskBar::OnUiEvent(const UiEvent& event) {
  const net::Api::Event& e = *event.event;
  switch (e.type) {
    case net::Api::NEW_USER: {
      context->removeCommand(e.commandId);
      const auto& answer = static_cast<const net::Api::NewUserEvent&>(e);
      showAnswer("Mirel New User", answer.status,
                 fill("Congratulations! %s created.\n\nCheck your email for activation.", answer.username),
                 fill("Can't create %s: %s", answer.username, answer.reason));
      return true;
    }
    case net::Api::FORGOT_PASSWORD: {
      context->removeCommand(e.commandId);
      const auto& answer = static_cast<const net::Api::ForgotPasswordEvent&>(e);
      showAnswer("Mirel Forgot Password", answer.status,
                 fill("To reset password, please check %s email for instructions", answer.username),
                 fill("Can't change password for %s: %s", answer.username, answer.reason));
      return true;
    }
    case net::Api::OAUTH2_RESPONSE: {
      context->removeCommand(e.commandId);
      const auto& answer = static_cast<const net::Api::Oauth2ResponseEvent&>(e);
      poll.answer(e.commandId, answer.username, answer.error);  // the next tick acts on it
      return true;
    }
    case net::Api::API_ERROR:
      context->removeCommand(e.commandId);
      if (e.commandId == poll.questionInFlight()) {
        // A poll the engine could not run: the sign-in fails with its reason.
        poll.answer(e.commandId, "", static_cast<const net::Api::ErrorEvent&>(e).error);
        return true;
      }
      return false;  // the frame ends the busy cursor and shows the error
    default:
      return false;
  }
}

void TaskBar::loginGoogle() {
  net::Api* api = context->readyApi(nullptr);
  if (!api) return;
  poll.start();
  const std::string url = api->getGoogleOauth2Url();
  if (url.empty() || !wxLaunchDefaultBrowser(UiUtils::fromString(url), wxBROWSER_NOBUSYCURSOR)) {
    poll.stop();
    UiDump::messageBox("Can't launch browser", "Mirel Login", wxOK | wxICON_ERROR, nullptr);
    return;
  }
  delete oauth2InProgress;
  oauth2InProgress = new wxProgressDialog("Mirel Google Login", "Opened browser for Google login. Waiting for approve...",
                                          1000, window,
                                          wxPD_CAN_ABORT | wxPD_APP_MODAL | wxPD_AUTO_HIDE | wxPD_SMOOTH);
  UiDump::note("Mirel Google Login", "Opened browser for Google login. Waiting for approve...");
  timer.Start(POLL_MS);
}

void TaskBar::OnTimerEvent(wxTimerEvent&) {
  const bool cancelled = !oauth2InProgress || !oauth2InProgress->Pulse();
  switch (poll.tick(cancelled)) {
    case Oauth2Poll::Step::Stop:
      stopProgress();
      break;
    case Oauth2Poll::Step::Succeeded:
      stopProgress();
      showWindow();
      break;
    case Oauth2Poll::Step::Failed: {
      const std::string error = poll.error();
      stopProgress();
      UiDump::messageBox(UiUtils::fromString(error), "Mirel Google Login Error", wxOK | wxICON_ERROR, nullptr);
      break;
    }
    case Oauth2Poll::Step::Wait:
      break;
    case Oauth2Poll::Step::Ask: {
      net::Api* api = context->getApi();
      if (!api) {
        stopProgress();
        context->readyApi(nullptr);  // tells the user
        break;
      }
      const int id = context->newCommand(this);
      poll.asked(id);
      api->oauth2Response(id);
      break;
    }
  }
}

void TaskBar::stopProgress() {
  timer.Stop();
  poll.stop();
  delete oauth2InProgress;
  oauth2InProgress = nullptr;
}

void TaskBar::firstTimeLogin() {
  wxMessageDialog welcome(window, "Welcome to Mirel!", "Mirel Welcome",
                          wxYES_NO | wxCANCEL | wxSTAY_ON_TOP | wxICON_AUTH_NEEDED);
  welcome.SetExtendedMessage("Login with your Google account or with Mirel user.");
  welcome.SetYesNoLabels("&Google account", "&Mirel User");
  UiDump::note("Mirel Welcome", "Welcome to Mirel!");
  const int choice = welcome.ShowModal();
  if (choice == wxID_YES) {
    loginGoogle();
  } else if (choice == wxID_NO) {
    wxMessageDialog known(window, "Already has Mirel User?", "Mirel Welcome",
                          wxYES_NO | wxSTAY_ON_TOP | wxICON_AUTH_NEEDED);
    UiDump::note("Mirel Welcome", "Already has Mirel User?");
    if (known.ShowModal() == wxID_YES)
      loginMirel();
    else
      registerUser();
  } else {
    UiDump::messageBox("You can login later from Mirel task bar icon", "Mirel Welcome", wxOK | wxICON_INFORMATION,
                       nullptr);
  }
}
