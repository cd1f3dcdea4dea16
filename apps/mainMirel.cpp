// mainMirel: the console front end of the engine. One invocation logs in, offers one file or
// folder to another user, or receives a ticket: it checks its options, stores the account it
// was given in the settings file, starts the engine and, once the computer is logged in,
// issues the one send or receive (an offer under a code made earlier goes in at once). Then it
// keeps running, serving the transfer, until it is stopped; the user follows what happens in the
// log lines on the console and in the log file.
//
// Exit status: 0 after help; 2 for a command line that is refused (the help and the reason are
// printed); 1 when the engine cannot start or fails while running; 128 + the signal number
// after SIGINT or SIGTERM, which stop the engine in order.
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <ctime>
#include <cxxopts.hpp>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "StopSignals.h"
#include "net/handlers/Manager.h"
#include "p2p/uv/HttpRequest.h"
#include "p2p/uv/UvLog.h"
#include "p2p/uv/UvLoop.h"
#include "p2p/uv/UvTimer.h"
#include "utils/Properties.h"
#include "utils/Sha1.h"

namespace {

constexpr int EXIT_HELP = 0;
constexpr int EXIT_NOT_STARTED = 1;  // also: an exception ended the loop
constexpr int EXIT_REFUSED = 2;

const char* const USAGE =
    "\n"
    "Mirel Peer to Peer Send or Receive files.\n"
    "\n"
    "Usage Examples:\n"
    "\n"
    "  mainMirel -l -u [email] -p [password]\n"
    "    Login with [email] and [password]\n"
    "\n"
    "  mainMirel -s -f [filename] -t [email]\n"
    "    Sends [filename] to peer [email].\n"
    "\n"
    "  mainMirel -s -f [filename] -t [email] -c [code]\n"
    "    Sends [filename] to peer [email] using previously created [code].\n"
    "\n"
    "  mainMirel -r -c [code]\n"
    "    Receives filename from peer using [code]\n";

// The password option's value that means "read it from standard input".
const char* const PASSWORD_FROM_STDIN = "-";

void outOfMemHandler() {
  std::cerr << "std::bad_alloc\n";
  std::abort();
}

cxxopts::Options makeOptions() {
  cxxopts::Options options("mainSend", USAGE);
  options.add_options()
      ("r,recv", "receive file", cxxopts::value<bool>()->default_value("false"))
      ("s,send", "send file", cxxopts::value<bool>()->default_value("false"))
      ("l,login", "login", cxxopts::value<bool>()->default_value("false"))
      ("c,code", "code to send or receive", cxxopts::value<std::string>()->default_value(""))
      ("f,file", "file to send", cxxopts::value<std::string>()->default_value(""))
      ("t,to", "email to send to", cxxopts::value<std::string>()->default_value(""))
      ("u,user", "login user email", cxxopts::value<std::string>()->default_value(""))
      ("p,password", "login password", cxxopts::value<std::string>()->default_value(""))
      ("i,init", "initialization properties file", cxxopts::value<std::string>()->default_value("properties.ini"))
      ("h,help", "");
  return options;
}

// Prints the help, and the reason when the command line is refused, then ends the process.
[[noreturn]] void helpExit(const cxxopts::Options& options, const std::string& error) {
  std::cout << options.help() << std::endl;
  if (!error.empty()) std::cout << std::endl << "error parsing args: " << error << std::endl;
  std::exit(error.empty() ? EXIT_HELP : EXIT_REFUSED);
}

// What the command line asks for.
struct Command {
  bool send = false;
  bool recv = false;
  bool login = false;
  std::string code;
  std::string file;
  std::string to;
  std::string user;
  std::string password;
  std::string init;
};

Command parseCommand(cxxopts::Options& options, int argc, char** argv) {
  Command command;
  try {
    cxxopts::ParseResult result = options.parse(argc, argv);
    if (result.count("help")) helpExit(options, "");
    // A stray word is most often half of an unquoted path: refuse it rather than guess.
    if (!result.unmatched().empty()) helpExit(options, "unexpected argument " + result.unmatched().front());
    command.send = result["send"].as<bool>();
    command.recv = result["recv"].as<bool>();
    command.login = result["login"].as<bool>();
    command.code = result["code"].as<std::string>();
    command.file = result["file"].as<std::string>();
    command.to = result["to"].as<std::string>();
    command.user = result["user"].as<std::string>();
    command.password = result["password"].as<std::string>();
    command.init = result["init"].as<std::string>();
  } catch (const cxxopts::exceptions::exception& e) {
    helpExit(options, e.what());
  }
  return command;
}

// ---- the password from standard input ----

termios savedTerminal;

// A signal while echo is off must not leave the user's terminal without it.
extern "C" void restoreTerminalAndDie(int signum) {
  tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
  std::signal(signum, SIG_DFL);
  std::raise(signum);
}

// One line from standard input, without echo when it is a terminal. Empty at end of input.
std::string readPasswordLine() {
  const bool terminal = isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &savedTerminal) == 0;
  if (terminal) {
    std::cerr << "Password: " << std::flush;
    std::signal(SIGINT, restoreTerminalAndDie);
    std::signal(SIGTERM, restoreTerminalAndDie);
    termios quiet = savedTerminal;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  std::string line;
  std::getline(std::cin, line);
  if (terminal) {
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal);
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    std::cerr << std::endl;
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// ---- checks ----

// Why `path` cannot be offered, or "" when it can. Only files and folders travel.
std::string unreadableReason(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return std::generic_category().message(errno);
  if (!S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode)) return "not a file or folder";
  // Non-blocking, so that a path that turns into a pipe under us cannot hang the check.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::generic_category().message(errno);
  close(fd);
  return "";
}

// The receiver names what it writes after the offered path's last name, so the path goes out
// absolute and without "." or a trailing "/": "-f ." offers the folder itself by its name.
std::string offeredPath(const std::string& file) {
  std::string path = std::filesystem::absolute(file).lexically_normal().string();
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

void checkCommand(const cxxopts::Options& options, Command& command) {
  // Exactly one of the three, or all three together.
  if (command.login == (command.send != command.recv)) helpExit(options, "one of -s or -r or -l is required");
  if (command.send && command.file.empty()) helpExit(options, "file is required");
  if (command.send && command.to.empty()) helpExit(options, "to is required");
  if (command.login && command.user.empty()) helpExit(options, "user is required");
  if (command.login && command.password.empty()) helpExit(options, "password is required");
  // Without a code a receive could only ever be refused.
  if (command.recv && !command.send && command.code.empty()) helpExit(options, "code is required");
  if (command.send) {
    // Both what was typed ("a.txt/" is no folder) and what is offered ("link/.." is not the
    // link's parent) must be readable.
    std::string offered, reason = unreadableReason(command.file);
    try {
      offered = offeredPath(command.file);
      if (reason.empty()) reason = unreadableReason(offered);
    } catch (const std::exception& e) {
      reason = e.what();
    }
    if (!reason.empty()) helpExit(options, "cannot read " + command.file + ": " + reason);
    command.file = offered;
  }
  // Asked for last, so that nobody types a password for a command line that is refused anyway.
  if (command.password == PASSWORD_FROM_STDIN) {
    command.password = readPasswordLine();
    if (command.password.empty()) helpExit(options, "password is required");
  }
}

// ---- settings ----

bool isUnset(const std::string& value) { return value.empty() || value == "undefined"; }

// The account of the command line goes into the settings; what cannot log in is refused.
// Throws std::runtime_error when a value cannot be stored.
void storeAccount(const cxxopts::Options& options, const Command& command, Properties& settings) {
  // The stored key belongs to the stored name: a new name needs its own password.
  if (!command.user.empty() && command.user != settings.username && command.password.empty())
    helpExit(options, "password is required");
  if (!command.user.empty()) settings.setUsername(command.user);
  if (!command.password.empty()) {
    std::string key;
    Sha1::getInstance().encodePassword(settings.username, command.password, key);
    settings.setUserkey(key);
  }
  if (isUnset(settings.username)) helpExit(options, "login is required");
  if (isUnset(settings.userkey)) helpExit(options, "password is required");
}

// ---- the running program ----

// Calls its function at every expiry of the timer it is given to.
class TimerCB : public p2p::UvTimer::Cb {
 public:
  explicit TimerCB(std::function<void()> func) : func(std::move(func)) {}
  void handleTimer() override {
    UV_LOG("1") << "TimerCB";
    func();
  }

 private:
  std::function<void()> func;
};

// The log file sits beside the program; where it cannot be written, the console log goes on.
void openLog(p2p::UvLoop* loop, const std::string& fileName) {
  try {
    p2p::UvLog::init(loop, 0, 1, fileName);
  } catch (const std::exception& e) {
    p2p::UvLog::init(loop, 0, 1, "");
    UV_LOG("WARN") << "log file " << fileName << " not opened, logging to the console only: " << e.what();
  }
}

bool offersKnownCode(const Command& command) { return command.send && !command.code.empty(); }

// Issues the one operation of the command on the engine.
void issue(net::Manager& manager, const Command& command) {
  if (command.send) {
    if (!command.code.empty()) {
      UV_LOG("INFO") << "Offering " << command.file << " to " << command.to << " under ticket " << command.code;
      manager.ticketSendCode(0, command.to, {command.file}, command.code, std::time(nullptr));
    } else {
      manager.ticketSend(0, command.to, {command.file}, "from c++", true);
    }
  } else if (command.recv) {
    manager.ticketRecv(0, command.code);
  }
}

int run(const Command& command, const Properties& settings, const std::string& logFile) {
  p2p::UvLoop loop;
  openLog(&loop, logFile);
  for (const std::string& note : settings.notes) UV_LOG("WARN") << note;
  StopSignals signals(&loop);
  p2p::UvTimer timer(&loop);
  std::unique_ptr<net::Manager> manager;
  int status = 0;
  // Once a second until the computer is logged in; then the operation goes out once.
  TimerCB everySecond([&manager, &command, &timer] {
    if (!manager->isConnected()) return;
    issue(*manager, command);
    timer.stop();
  });
  // The engine is built on the loop's first turn, so that its start-up lines reach the log
  // file too (the log writes its file from the running loop only).
  TimerCB start([&] {
    try {
      manager = std::make_unique<net::Manager>(settings, &loop);
    } catch (const std::exception& e) {
      std::cerr << "cannot start the engine: " << e.what() << std::endl;
      status = EXIT_NOT_STARTED;
      loop.stop();
      return;
    }
    // An offer under a known code needs no answer from anybody: it is made before the engine
    // can take a request, so that a receiver resuming after a restart never hears of no offer.
    if (offersKnownCode(command)) {
      issue(*manager, command);
      return;
    }
    timer.start(1000, 1000, &everySecond);
  });
  timer.start(0, 0, &start);

  try {
    loop.run();
  } catch (const std::exception& e) {
    std::cerr << "Exception caught " << e.what() << "\n";
    status = EXIT_NOT_STARTED;
  }
  if (signals.received() != 0) status = 128 + signals.received();
  timer.stop();
  manager.reset();
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  std::set_new_handler(outOfMemHandler);
  // A closed console or log reader must not kill the engine in the middle of a transfer.
  std::signal(SIGPIPE, SIG_IGN);
  try {
    p2p::HttpRequest::globalInit();
  } catch (const std::exception& e) {
    std::cerr << e.what() << std::endl;
    return EXIT_NOT_STARTED;
  }

  cxxopts::Options options = makeOptions();
  Command command = parseCommand(options, argc, argv);
  checkCommand(options, command);

  Properties settings(command.init);
  try {
    storeAccount(options, command, settings);
    settings.save();
  } catch (const std::runtime_error& e) {
    std::cerr << e.what() << std::endl;
    return EXIT_NOT_STARTED;
  }
  return run(command, settings, std::string(argv[0]) + ".log");
}
