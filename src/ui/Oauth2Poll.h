// The state of a browser sign-in: the program asks the engine every tick whether the sign-in
// in the browser has finished, one question at a time, until it succeeds, fails or the user
// cancels. Only the answer to the current question counts: an answer to a question asked
// before the sign-in was started again, or after it stopped, is ignored.
#pragma once

#include <string>

class Oauth2Poll {
 public:
  enum class Step {
    Stop,       // cancelled or not running: end the waiting
    Succeeded,  // signed in as name()
    Failed,     // error() tells why
    Wait,       // a question is on its way
    Ask,        // ask now, then call asked() with the command id
  };

  // A new sign-in: nothing known, no question counts yet.
  void start();
  // The waiting ended; later answers are ignored.
  void stop();

  // One timer tick; `cancelled` when the user pressed Cancel.
  Step tick(bool cancelled);
  void asked(int commandId);
  // An answer under `commandId`; true when it was the current question's.
  bool answer(int commandId, const std::string& username, const std::string& error);

  bool running() const { return isRunning; }
  int questionInFlight() const { return inFlight; }
  const std::string& name() const { return username; }
  const std::string& error() const { return failure; }

 private:
  bool isRunning = false;
  int current = 0;   // the question whose answer counts; 0 when none
  int inFlight = 0;  // the question not yet answered, current or not
  std::string username;
  std::string failure;
};
