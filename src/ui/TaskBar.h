// The tray icon: opens the window, offers login (a user of the web server, or a Google account
// in the browser), registration, password reset, About and Exit, and runs the welcome dialogs
// when the settings hold no usable user name. Account actions are engine commands whose
// answers come back to OnUiEvent.
#pragma once

#include <wx/icon.h>
#include <wx/taskbar.h>
#include <wx/timer.h>

#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "ui/Events.h"
#include "ui/Oauth2Poll.h"
#include "ui/UiContext.h"

class wxProgressDialog;
class wxTopLevelWindow;

class TaskBar : public wxTaskBarIcon, public UiEventListener {
 public:
  enum MenuId {
    TASK_BAR_OPEN = 1001,
    TASK_BAR_LOGIN = 1002,
    TASK_BAR_REGISTER = 1003,
    TASK_BAR_FORGOT = 1004,
    TASK_BAR_ABOUT = 1005,
    TASK_BAR_EXIT = 1006,
  };
  static constexpr int POLL_MS = 500;

  TaskBar(wxTopLevelWindow* window, UiContext* context, const wxIcon& icon);
  ~TaskBar() override;

  bool OnUiEvent(const UiEvent& event) override;
  void firstTimeLogin();
  void loginMirel();
  void loginGoogle();
  void stopProgress();

 protected:
  wxMenu* CreatePopupMenu() override;

 private:
  struct Credentials {
    std::string username;
    std::string password;
  };

  // The e-mail and (when asked) the password, as UTF-8; nothing when cancelled, empty, or
  // not convertible.
  std::optional<Credentials> askCredentials(const wxString& caption, bool withPassword);
  // Asks for the credentials, then issues `command` with a new id (under the busy cursor when
  // `busy`, which the answer ends).
  using AccountCommand = std::function<void(net::Api&, int, const Credentials&)>;
  void accountCommand(const wxString& caption, bool withPassword, bool busy, const AccountCommand& command);
  void showAnswer(const wxString& caption, int status, const wxString& success, const wxString& failure);

  void OnTaskBarDClick(wxTaskBarIconEvent& event);
  void OnTimerEvent(wxTimerEvent& event);
  void onOpen(wxCommandEvent& event);
  void onLogin(wxCommandEvent& event);
  void onRegister(wxCommandEvent& event);
  void onForgot(wxCommandEvent& event);
  void onAbout(wxCommandEvent& event);
  void onExit(wxCommandEvent& event);
  void registerUser();
  void showWindow();

  UiContext* context;
  wxTopLevelWindow* window;
  Oauth2Poll poll;
  wxProgressDialog* oauth2InProgress = nullptr;
  wxTimer timer;
  wxIcon icon;
};
