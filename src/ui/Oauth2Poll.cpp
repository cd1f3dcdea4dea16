#include "ui/Oauth2Poll.h"

void Oauth2Poll::start() {
  isRunning = true;
  current = 0;
  username.clear();
  failure.clear();
}

void Oauth2Poll::stop() {
  isRunning = false;
  current = 0;
}

Oauth2Poll::Step Oauth2Poll::tick(bool cancelled) {
  if (!isRunning || cancelled) return Step::Stop;
  if (!username.empty()) return Step::Succeeded;
  if (!failure.empty()) return Step::Failed;
  // Also an old question, asked before a restart, is waited for: never two in flight.
  if (inFlight != 0) return Step::Wait;
  return Step::Ask;
}

void Oauth2Poll::asked(int commandId) { current = inFlight = commandId; }

bool Oauth2Poll::answer(int commandId, const std::string& name, const std::string& error) {
  if (commandId == 0) return false;
  if (commandId == inFlight) inFlight = 0;
  if (commandId != current) return false;
  current = 0;
  username = name;
  failure = error;
  return true;
}
