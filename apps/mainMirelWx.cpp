// mainMirelWx: the desktop program. A window with the Send, Receive and Status pages that lives
// in the tray; the engine runs on a worker thread behind net::Api, and its events come back to
// the user-interface thread, where the frame hands each to the page that asked for it.
#include <curl/curl.h>
#include <wx/app.h>
#include <wx/log.h>
#include <wx/notebook.h>
#include <wx/snglinst.h>
#include <wx/sizer.h>
#include <wx/taskbar.h>
#include <wx/thread.h>
#include <wx/wx.h>
#include <wx/weakref.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <memory>

#include "net/Api.h"
#include "p2p/uv/HttpRequest.h"
#include "p2p/uv/UvLoop.h"
#include "ui/EventForwarder.h"
#include "ui/Events.h"
#include "ui/MirelIcon.h"
#include "ui/RecvTab.h"
#include "ui/SendTab.h"
#include "ui/StatusLine.h"
#include "ui/StatusTab.h"
#include "ui/TaskBar.h"
#include "ui/UiContext.h"
#include "ui/UiDispatch.h"
#include "ui/UiDump.h"
#include "ui/UiTickets.h"
#include "ui/UiUtils.h"
#include "utils/Properties.h"
#include "utils/Utils.h"

namespace {

const char* const TITLE_WORD = "mirelcpp";
const char* const VERSION = "0.8.7";
// A second instance raises the first through this port, the settings' default: the settings
// are not read before the instance check.
const long RAISE_PORT = 5551;
const long RAISE_TIMEOUT_MS = 5000;
const int MIN_WIDTH = 480;
const int MIN_HEIGHT = 240;

}  // namespace

class MyFrame : public wxFrame, public wxThreadHelper, public UiContext, public UiDispatch::Table {
 public:
  explicit MyFrame(const wxString& title);
  ~MyFrame() override;

  bool StartApi();
  void dumpState();

  // UiContext
  net::Api* getApi() override { return api.load(); }
  int newCommand(UiEventListener* listener) override { return dispatch.newCommand(listener); }
  void removeCommand(int id) override { dispatch.removeCommand(id); }
  void addTicket(const std::string& to, const std::vector<std::string>& files, const std::string& code) override {
    UiTickets::add(to, files, code);
  }
  void close() override;
  void showStatus() override { notebook->SetSelection(2); }
  void showAndRaise() override;

 protected:
  wxThread::ExitCode Entry() override;

 private:
  // Once the window is going, events still queued are only freed: a handler that opens a dialog
  // would let the window be deleted under it.
  void OnUiEvent(UiEvent& event) {
    if (!closing) dispatch.dispatch(event);
  }
  void OnClose(wxCloseEvent& event);
  void queue(net::Api::Event* event);
  void joinWorker();

  // UiDispatch::Table
  void onStart() override;
  void onApiError(const net::Api::ErrorEvent& error) override;
  void onLogin(const UiEvent& event) override;
  void onSendRecv(const UiEvent& event) override { statusTab->OnUiEvent(event); }
  void onCommandRecv(const net::Api::CommandRecvEvent& command) override;
  void onCommandRaise() override { showAndRaise(); }
  void onUserUndefined() override { taskBarIcon->firstTimeLogin(); }

  // Null until START has come, and again from the moment the frame closes: the pages and the
  // tray refuse their actions meanwhile.
  std::atomic<net::Api*> api{nullptr};
  EventForwarder forwarder;  // outlives the engine, which holds it as listener
  net::Api engine;
  UiDispatch dispatch;
  std::atomic<bool> stopping{false};  // read by the worker before it runs the engine
  bool closing = false;
  bool workerStarted = false;  // joined then, whether or not it still runs

  wxNotebook* notebook;
  SendTab* sendTab;
  RecvTab* recvTab;
  StatusTab* statusTab;
  TaskBar* taskBarIcon;
  StatusLine* statusLine;
};

MyFrame::MyFrame(const wxString& title)
    : wxFrame(nullptr, wxID_ANY, title, wxDefaultPosition, wxSize(250, 150)),
      wxThreadHelper(wxTHREAD_JOINABLE),
      forwarder([this](net::Api::Event* event) { queue(event); }),
      dispatch(*this) {
  notebook = new wxNotebook(this, wxID_ANY);
  statusLine = new StatusLine(this);
  sendTab = new SendTab(notebook, this);
  recvTab = new RecvTab(notebook, this);
  statusTab = new StatusTab(notebook, this);
  notebook->AddPage(sendTab, "Send");
  notebook->AddPage(recvTab, "Receive");
  notebook->AddPage(statusTab, "Status");

  // GTK reports tiny best sizes before the window is shown; a floor keeps the tabs and the
  // Status columns readable.
  const wxSize best = notebook->GetBestVirtualSize();
  SetMinSize(wxSize(std::max(best.GetWidth(), MIN_WIDTH),
                    std::max(best.GetHeight(), MIN_HEIGHT) + 40 + statusLine->GetBestVirtualSize().GetHeight()));
  auto* box = new wxBoxSizer(wxVERTICAL);
  box->Add(notebook, 1, wxEXPAND | wxFIXED_MINSIZE, 0);
  box->Add(statusLine, 0, wxEXPAND, 0);
  SetSizer(box);
  Fit();
  Layout();

  taskBarIcon = new TaskBar(this, this, wxIcon(mirel_icon_xpm));
  Bind(UiEventType, &MyFrame::OnUiEvent, this);
  Bind(wxEVT_CLOSE_WINDOW, &MyFrame::OnClose, this);
  engine.setListener(&forwarder);
}

// Normally OnClose has done this already.
MyFrame::~MyFrame() {
  forwarder.close();
  engine.stop();
  joinWorker();
}

void MyFrame::joinWorker() {
  if (!workerStarted) return;
  workerStarted = false;
  GetThread()->Wait();
}

// On an engine thread (or the worker): only wrap and queue.
void MyFrame::queue(net::Api::Event* event) {
  auto* uiEvent = new UiEvent(UiEventType, GetId(), event);
  uiEvent->SetEventObject(this);
  QueueEvent(uiEvent);
}

bool MyFrame::StartApi() {
  if (CreateThread(wxTHREAD_JOINABLE) != wxTHREAD_NO_ERROR) {
    wxLogError("Could not create the worker thread!");
    return false;
  }
  if (GetThread()->Run() != wxTHREAD_NO_ERROR) {
    wxLogError("Could not run the worker thread!");
    return false;
  }
  workerStarted = true;
  return true;
}

wxThread::ExitCode MyFrame::Entry() {
  if (GetThread()->TestDestroy() || stopping) return nullptr;
  const Properties properties("properties.ini");
  if (!UiUtils::isValidEmail(UiUtils::fromString(properties.username)))
    forwarder.onEvent(new net::Api::Event(net::Api::USER_UNDEFINED));
  // An Exit that came meanwhile is not lost: run() returns at once after stop().
  if (!stopping) engine.run(properties);
  return nullptr;
}

void MyFrame::onStart() {
  api = &engine;
  for (const UiTicket& ticket : UiTickets::read())
    if (!ticket.isExpired()) engine.ticketSendCode(0, ticket.to, ticket.files, ticket.code, ticket.createdAt);
}

void MyFrame::onApiError(const net::Api::ErrorEvent& error) {
  UiUtils::endBusyCursor();
  UiDump::note("Mirel", "Unxpected error: " + UiUtils::fromString(error.error));
  wxLogMessage("Unxpected error: %s", UiUtils::fromString(error.error));
}

void MyFrame::onLogin(const UiEvent& event) {
  const auto& login = static_cast<const net::Api::LoginEvent&>(*event.event);
  SetTitle(UiUtils::fromString(Utils::format("%s %s %s", TITLE_WORD, VERSION, login.username.c_str())));
  statusLine->OnUiEvent(event);
}

void MyFrame::onCommandRecv(const net::Api::CommandRecvEvent& command) {
  notebook->SetSelection(1);
  recvTab->commandRecv(command.ticket);
}

void MyFrame::showAndRaise() {
  if (IsIconized()) Iconize(false);
  Show(true);
  Raise();
}

void MyFrame::close() {
  closing = true;
  Close(true);
}

void MyFrame::OnClose(wxCloseEvent& event) {
  // With a tray the close box only hides the window. Without one (GNOME, Wayland, a bare X
  // server) a hidden window could never come back, so the close box ends the program.
  if (!closing && event.CanVeto() && wxTaskBarIcon::IsAvailable()) {
    Hide();
    event.Veto();
    return;
  }
  closing = true;
  // No event may reach this window once it is going; then the engine may stop.
  forwarder.close();
  api = nullptr;
  stopping = true;
  engine.stop();
  joinWorker();
  // A sign-in's waiting dialog is this window's child: it goes with the window, not later.
  taskBarIcon->stopProgress();
  taskBarIcon->RemoveIcon();
  taskBarIcon->Destroy();
  Destroy();
}

void MyFrame::dumpState() {
  rapidjson::StringBuffer buffer;
  UiDump::Writer writer(buffer);
  writer.StartObject();
  UiDump::writeString(writer, "title", GetTitle());
  writer.Key("shown");
  writer.Bool(IsShown());
  writer.Key("page");
  writer.Int(notebook->GetSelection());
  writer.Key("engine");
  writer.Bool(getApi() != nullptr);
  writer.Key("tray");
  writer.Bool(wxTaskBarIcon::IsAvailable());
  writer.Key("statusLineShown");
  writer.Bool(statusLine->IsShown());
  UiDump::writeString(writer, "statusLine", statusLine->GetValue());
  sendTab->dump(writer);
  recvTab->dump(writer);
  statusTab->dump(writer);
  UiDump::writeMessages(writer);
  writer.EndObject();
  UiDump::save(std::string(buffer.GetString(), buffer.GetSize()));
}

class MyApp : public wxApp {
 public:
  bool OnInit() override;
  void OnLaunched() override;
  int OnExit() override;

 private:
  void sendRaise();
  static void onDumpSignal(int);

  wxWeakRef<MyFrame> frame;  // null once the window is deleted: the dump signal may come late
  wxSingleInstanceChecker* instanceChecker = nullptr;

 public:
  // A second instance that handed over to the first ends in order (status 0); one whose
  // request went unanswered ends with 1.
  static bool secondInstance;
  static bool raised;
};

bool MyApp::secondInstance = false;
bool MyApp::raised = false;

wxIMPLEMENT_APP_NO_MAIN(MyApp);

bool MyApp::OnInit() {
  instanceChecker = new wxSingleInstanceChecker();
  // A lock file that cannot be made (no home folder) does not keep the program from running.
  if (instanceChecker->CreateDefault() && instanceChecker->IsAnotherRunning()) {
    sendRaise();
    secondInstance = true;
    delete instanceChecker;
    instanceChecker = nullptr;
    return false;
  }
  // Before the window shows, so that a test that sees the window may ask for a dump.
  if (UiDump::enabled()) SetSignalHandler(SIGUSR1, &MyApp::onDumpSignal);
  auto* window = new MyFrame(UiUtils::fromString(Utils::format("%s %s", TITLE_WORD, VERSION)));
  frame = window;
  window->SetIcon(wxIcon(mirel_icon_xpm));
  window->Show(true);
  return true;
}

void MyApp::OnLaunched() {
  wxApp::OnLaunched();
  frame->StartApi();
}

int MyApp::OnExit() {
  delete instanceChecker;
  instanceChecker = nullptr;
  return wxApp::OnExit();
}

void MyApp::onDumpSignal(int) {
  auto* app = static_cast<MyApp*>(wxTheApp);
  if (app && app->frame) app->frame->dumpState();
}

// Raises the running instance; says so when it does not answer.
void MyApp::sendRaise() {
  long status = 0;
  if (CURL* curl = curl_easy_init()) {
    curl_easy_setopt(curl, CURLOPT_URL, "http://127.0.0.1/RAISE");
    curl_easy_setopt(curl, CURLOPT_PORT, RAISE_PORT);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, RAISE_TIMEOUT_MS);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, +[](char*, size_t size, size_t count, void*) { return size * count; });
    if (curl_easy_perform(curl) == CURLE_OK) curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_cleanup(curl);
  }
  raised = status == 200;
  if (raised) return;
  UiDump::note("Mirel", "Already running, aborting.");
  wxLogMessage(_("Already running, aborting."));
  wxLog::FlushActive();
}

int main(int argc, char** argv) {
  // libcurl's global state and the thread pool's size (an environment variable) before any
  // other thread exists; a peer that goes away mid-write must not end the program.
  try {
    p2p::HttpRequest::globalInit();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  p2p::UvLoop::threadPoolSize();
  std::signal(SIGPIPE, SIG_IGN);
  const int status = wxEntry(argc, argv);
  if (MyApp::secondInstance) return MyApp::raised ? 0 : 1;
  return status;
}
