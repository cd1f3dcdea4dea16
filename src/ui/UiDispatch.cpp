#include "ui/UiDispatch.h"

int UiDispatch::newCommand(UiEventListener* listener) {
  if (++nextCommandId <= 0) nextCommandId = 1;  // after two billion commands, start again
  commands[nextCommandId] = listener;
  return nextCommandId;
}

void UiDispatch::dispatch(UiEvent& event) {
  // Held here too, so that it is freed on the way out even when a handler throws.
  const std::shared_ptr<net::Api::Event> engineEvent = event.event;
  if (!engineEvent) return;
  const auto it = engineEvent->commandId != 0 ? commands.find(engineEvent->commandId) : commands.end();
  const bool handled = it != commands.end() && it->second->OnUiEvent(event);
  if (!handled) handleByType(event);
  event.event.reset();
}

void UiDispatch::handleByType(const UiEvent& event) {
  const net::Api::Event& e = *event.event;
  switch (e.type) {
    case net::Api::START:
      table.onStart();
      break;
    case net::Api::API_ERROR:
      table.onApiError(static_cast<const net::Api::ErrorEvent&>(e));
      break;
    case net::Api::LOGIN:
      table.onLogin(event);
      break;
    case net::Api::SEND_RECV:
      table.onSendRecv(event);
      break;
    case net::Api::COMMAND_RECV:
      table.onCommandRecv(static_cast<const net::Api::CommandRecvEvent&>(e));
      break;
    case net::Api::COMMAND_RAISE:
      table.onCommandRaise();
      break;
    case net::Api::USER_UNDEFINED:
      table.onUserUndefined();
      break;
    default:
      // Answers to commands (TICKET_CREATE, TICKET_GET, OAUTH2_RESPONSE, NEW_USER,
      // FORGOT_PASSWORD) belong to their listener; without one they are dropped.
      break;
  }
}
