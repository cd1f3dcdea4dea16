#include "ui/UiDump.h"

#include <wx/msgdlg.h>

#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

#include "ui/UiUtils.h"

namespace {

std::vector<std::pair<std::string, std::string>>& notedMessages() {
  static std::vector<std::pair<std::string, std::string>> messages;
  return messages;
}

}  // namespace

const std::string& UiDump::path() {
  static const std::string file = [] {
    const char* value = std::getenv(ENVIRONMENT);
    return std::string(value ? value : "");
  }();
  return file;
}

int UiDump::messageBox(const wxString& text, const wxString& caption, long style, wxWindow* parent) {
  note(caption, text);
  return wxMessageBox(text, caption, style, parent);
}

void UiDump::note(const wxString& caption, const wxString& text) {
  if (enabled()) notedMessages().emplace_back(UiUtils::toString(caption), UiUtils::toString(text));
}

void UiDump::writeMessages(Writer& writer) {
  writer.Key("messages");
  writer.StartArray();
  for (const auto& [caption, text] : notedMessages()) {
    writer.StartObject();
    writer.Key("caption");
    writer.String(caption.c_str(), static_cast<rapidjson::SizeType>(caption.size()));
    writer.Key("text");
    writer.String(text.c_str(), static_cast<rapidjson::SizeType>(text.size()));
    writer.EndObject();
  }
  writer.EndArray();
}

void UiDump::writeString(Writer& writer, const char* key, const wxString& value) {
  const std::string utf8 = UiUtils::toString(value);
  writer.Key(key);
  writer.String(utf8.c_str(), static_cast<rapidjson::SizeType>(utf8.size()));
}

void UiDump::save(const std::string& json) {
  if (!enabled()) return;
  const std::string temporary = path() + ".tmp";
  FILE* file = std::fopen(temporary.c_str(), "w");
  if (!file) return;
  const bool written = std::fwrite(json.data(), 1, json.size(), file) == json.size();
  if (std::fclose(file) == 0 && written) std::rename(temporary.c_str(), path().c_str());
}
