// What a sender makes of the web server's answer to Verify: the peer is confirmed, the server
// refused it (a refusal stands), or the server could not be asked (the peer may try again).
#pragma once

#include <string>

#include "p2p/processes/Server.h"

namespace net {

enum class VerifyVerdict { Confirmed, Refused, Unreachable };

// Confirmed: status 200 and no error. Refused: status 300 to 499. Unreachable: everything
// else (no HTTP answer at all, a 5xx, a 200 whose body could not be read).
VerifyVerdict verifyVerdict(const p2p::Server::ServerResponse<bool>& answer);

// The same rule for any answer of the web server, by its status and error text.
VerifyVerdict serverVerdict(int status, const std::string& error);

// Why the server could not be asked, as one short line for the peer: "web server unreachable: "
// or "web server failed: " and the error text. Empty for an answer that is not Unreachable.
std::string verifyFailure(const p2p::Server::ServerResponse<bool>& answer);
std::string serverFailure(int status, const std::string& error);

}  // namespace net
