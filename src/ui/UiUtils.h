// Small text helpers of the desktop program. Text crosses into the engine as UTF-8, never
// through the C locale: under a C locale the libc conversion turns every non-ASCII name,
// path or password into an empty string.
#pragma once

#include <wx/string.h>

#include <cstdint>
#include <string>

class UiUtils {
 public:
  // True when an address-like part (word@word.word) occurs anywhere in the text.
  static bool isValidEmail(const wxString& text);

  // The text as UTF-8.
  static std::string toString(const wxString& text);
  static wxString fromString(const std::string& utf8) { return wxString::FromUTF8(utf8.data(), utf8.size()); }

  // A byte count in powers of 1000 with one decimal: "999.0  B", "1.0 KB", "1.5 MB".
  static std::string formatSize(int64_t n);
  // How much of `size` `offset` is, in percent with one decimal; an empty file is "100.0".
  static std::string formatPercent(int64_t offset, int64_t size);

  // Ends the busy cursor of a command that has its answer, if one shows.
  static void endBusyCursor();
};
