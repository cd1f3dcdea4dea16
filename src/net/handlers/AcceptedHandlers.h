// The handler that the first message of an accepted connection asks for.
#pragma once

#include <memory>

#include "net/handlers/IHandler.h"

namespace net {

// Null when the message is no request (the connection then waits for one).
std::unique_ptr<IHandler> newAcceptedHandler(IContext* context, const Message* first);

}  // namespace net
