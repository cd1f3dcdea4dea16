#include "ui/UiUtils.h"

#include <wx/regex.h>
#include <wx/utils.h>

#include <algorithm>
#include <cmath>

#include "utils/Utils.h"

bool UiUtils::isValidEmail(const wxString& text) {
  wxRegEx email(R"(\w+([-+.]\w+)*@\w+([-.]\w+)*\.\w+([-.]\w+)*)", wxRE_ADVANCED);
  return email.IsValid() && email.Matches(text);
}

std::string UiUtils::toString(const wxString& text) {
  const wxScopedCharBuffer utf8 = text.utf8_str();
  return std::string(utf8.data(), utf8.length());
}

std::string UiUtils::formatSize(int64_t n) {
  static const char units[] = " KMGTPE";
  const double m = static_cast<double>(std::max<int64_t>(n, 1));
  const int e = std::clamp(static_cast<int>(std::log10(m) / std::log10(1000.0)), 0, 6);
  return Utils::format("%.1f %cB", static_cast<double>(n) / std::pow(1000.0, e), units[e]);
}

std::string UiUtils::formatPercent(int64_t offset, int64_t size) {
  if (size <= 0) return "100.0";
  const double done = static_cast<double>(static_cast<float>(offset));
  return Utils::format("%.1f", 100.0 * done / static_cast<double>(size));
}

void UiUtils::endBusyCursor() {
  if (wxIsBusy()) wxEndBusyCursor();
}
