// A window into the program for the desktop tests, kept out of the user's way: only when the
// environment variable MIREL_UI_DUMP names a file does the program note the message boxes it
// shows and, on SIGUSR1, write its visible state (title, pages, rows, messages) there as one
// JSON object. The file is replaced whole, so a reader never sees half of it.
#pragma once

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <wx/string.h>

#include <string>

class wxWindow;

class UiDump {
 public:
  using Writer = rapidjson::Writer<rapidjson::StringBuffer>;

  static constexpr const char* ENVIRONMENT = "MIREL_UI_DUMP";

  // The dump file; empty when the hook is off.
  static const std::string& path();
  static bool enabled() { return !path().empty(); }

  // wxMessageBox, noting caption and text first when the hook is on.
  static int messageBox(const wxString& text, const wxString& caption, long style, wxWindow* parent);
  // Notes a message shown another way (a dialog of the library's log).
  static void note(const wxString& caption, const wxString& text);

  // Writes "messages": [{"caption": ..., "text": ...}, ...] into an open object.
  static void writeMessages(Writer& writer);
  static void writeString(Writer& writer, const char* key, const wxString& value);

  // Replaces the dump file with `json` (through a temporary file and a rename).
  static void save(const std::string& json);
};
