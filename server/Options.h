#pragma once

#include <string>
#include <vector>

// The stand-in server's command line.
struct Options {
  std::string dataDir;
  std::string host = "127.0.0.1";
  int httpsPort = 4443;
  int udpPort = 4183;
  bool addUser = false;
  std::string addUserEmail;
  std::string addUserPassword;
  bool noRelay = false;
  // An outside relay (ip and port) that peers must use instead of meeting directly: for runs
  // through a relay that delays or loses on purpose.
  std::string relayViaIp;
  int relayViaPort = 0;
  bool verbose = false;

  // Throws std::runtime_error naming the offending argument; `args` excludes the program name.
  static Options parse(const std::vector<std::string>& args);
  static std::string usage();
};
