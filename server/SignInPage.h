#pragma once

#include <string>

// The browser sign-in of the stand-in: with no outside identity provider, a form that
// takes the e-mail address and password of an existing account.
class SignInPage {
 public:
  // The form, posting back to "Oauth2" with the computer's uuid; `message` (may be empty)
  // is shown above it.
  static std::string form(const std::string& uuid, const std::string& message);
  static std::string done(const std::string& name);
  static std::string failed(const std::string& message);

  // Text made safe inside HTML element content and attribute values.
  static std::string escape(const std::string& text);

  // Allows nothing but the page's own inline style and the form posting back.
  static const char* const CONTENT_SECURITY_POLICY;
};
