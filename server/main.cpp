// mirelServer: the stand-in web and rendezvous server.
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "MirelServer.h"
#include "Options.h"
#include "ServerLog.h"

int main(int argc, char** argv) {
  Options options;
  try {
    options = Options::parse(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n%s", e.what(), Options::usage().c_str());
    return 2;
  }
  ServerLog::setVerbose(options.verbose);

  // A peer that closes its connection mid-answer must not end the process.
  signal(SIGPIPE, SIG_IGN);
  // Only this thread takes SIGINT and SIGTERM; the workers started below inherit the mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  try {
    if (options.addUser) {
      MirelServer::addUser(options);
      return 0;
    }
    MirelServer server(options);
    server.start();
    int signal = 0;
    sigwait(&stopSignals, &signal);
    SERVER_LOG << "stopping on signal " << signal;
    server.stop();
    SERVER_LOG << "stopped";
  } catch (const std::exception& e) {
    SERVER_LOG << "error: " << e.what();
    std::fprintf(stderr, "mirelServer: %s\n", e.what());
    return 1;
  }
  return 0;
}
