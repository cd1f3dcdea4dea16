#include "SignInPage.h"

const char* const SignInPage::CONTENT_SECURITY_POLICY =
    "default-src 'none'; style-src 'unsafe-inline'; form-action 'self'; frame-ancestors 'none'";

namespace {

std::string page(const std::string& body) {
  return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Mirel sign-in</title>"
         "<style>body{font-family:sans-serif;max-width:24em;margin:3em auto}"
         "label,input{display:block;margin:.4em 0}input{width:100%}</style></head><body>" +
         body + "</body></html>\n";
}

}  // namespace

std::string SignInPage::form(const std::string& uuid, const std::string& message) {
  std::string body = "<h1>Sign in to Mirel</h1>";
  if (!message.empty()) body += "<p><strong>" + escape(message) + "</strong></p>";
  body +=
      "<form method=\"post\" action=\"Oauth2\">"
      "<input type=\"hidden\" name=\"uuid\" value=\"" +
      escape(uuid) +
      "\">"
      "<label>E-mail <input type=\"email\" name=\"email\" required maxlength=\"254\"></label>"
      "<label>Password <input type=\"password\" name=\"password\" required maxlength=\"256\">"
      "</label><input type=\"submit\" value=\"Sign in\"></form>";
  return page(body);
}

std::string SignInPage::done(const std::string& name) {
  return page("<h1>Signed in</h1><p>This computer is signed in as " + escape(name) +
              ". You can close this window and go back to Mirel.</p>");
}

std::string SignInPage::failed(const std::string& message) {
  return page("<h1>Sign-in failed</h1><p>" + escape(message) + "</p>");
}

std::string SignInPage::escape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}
