#include "Options.h"

#include <arpa/inet.h>

#include <stdexcept>

namespace {

int parsePort(const std::string& option, const std::string& text) {
  size_t used = 0;
  int port = 0;
  try {
    port = std::stoi(text, &used, 10);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != text.size() || port < 1 || port > 65535)
    throw std::runtime_error(option + " needs a port from 1 to 65535, not \"" + text + "\"");
  return port;
}

}  // namespace

Options Options::parse(const std::vector<std::string>& args) {
  Options options;
  auto value = [&](size_t& i) -> const std::string& {
    if (i + 1 >= args.size()) throw std::runtime_error(args[i] + " needs a value");
    return args[++i];
  };
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--data") {
      options.dataDir = value(i);
    } else if (arg == "--host") {
      options.host = value(i);
    } else if (arg == "--https-port") {
      options.httpsPort = parsePort(arg, value(i));
    } else if (arg == "--udp-port") {
      options.udpPort = parsePort(arg, value(i));
    } else if (arg == "--add-user") {
      options.addUser = true;
      options.addUserEmail = value(i);
      options.addUserPassword = value(i);
    } else if (arg == "--relay-via") {
      const std::string& where = value(i);
      const size_t colon = where.rfind(':');
      in_addr parsed;
      if (colon == std::string::npos || inet_pton(AF_INET, where.substr(0, colon).c_str(), &parsed) != 1)
        throw std::runtime_error("--relay-via needs IPV4:PORT, not \"" + where + "\"");
      options.relayViaIp = where.substr(0, colon);
      options.relayViaPort = parsePort(arg, where.substr(colon + 1));
    } else if (arg == "--no-relay") {
      options.noRelay = true;
    } else if (arg == "--verbose") {
      options.verbose = true;
    } else {
      throw std::runtime_error("unknown argument \"" + arg + "\"");
    }
  }
  if (options.dataDir.empty()) throw std::runtime_error("--data is required");
  // The rendezvous address and the certificate both name the host as an IPv4 address.
  in_addr unused;
  if (inet_pton(AF_INET, options.host.c_str(), &unused) != 1 || unused.s_addr == INADDR_ANY)
    throw std::runtime_error("--host needs the IPv4 address clients reach, not \"" + options.host +
                             "\"");
  if (options.addUser && (options.addUserEmail.empty() || options.addUserPassword.empty()))
    throw std::runtime_error("--add-user needs an e-mail address and a password");
  return options;
}

std::string Options::usage() {
  return "usage: mirelServer --data DIR [--host IPV4] [--https-port N] [--udp-port N]\n"
         "                   [--no-relay | --relay-via IPV4:PORT] [--verbose]\n"
         "       mirelServer --data DIR --add-user EMAIL PASSWORD\n";
}
