// engine-peer: one engine (net::Api over net::Manager) in a process of its own, for the
// two-engine tests and benchmarks.
//
//   engine-peer --dir DIR [--log FILE] [--log-level N]
//
// Runs in DIR, where properties.ini and cacert.pem are. Reads one JSON command per line on
// standard input and writes one JSON line per engine event on standard output (flushed):
//   {"op":"send","id":1,"to":"bob@x","files":["/a","/b"]}       ticketSend (no mail)
//   {"op":"sendcode","id":2,"to":"bob@x","code":"C","createdAt":0,"files":[...]}
//   {"op":"recv","id":3,"code":"C"}   {"op":"pause","id":4,"code":"C"}
//   {"op":"login","id":5,"user":"u","password":"p"}   {"op":"quit"}
// Events: {"type":"LOGIN","id":0,"status":0,...}, one object per event with its fields; the
// console log goes to standard error.
// End of input is "quit". Exit 0 after an orderly stop, 2 for bad options.
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "net/Api.h"
#include "p2p/uv/HttpRequest.h"
#include "utils/Properties.h"

using json = nlohmann::json;

namespace {

const char* typeName(net::Api::EventType type) {
  static const char* const names[] = {"START",    "API_ERROR",       "LOGIN",    "TICKET_CREATE",
                                      "TICKET_GET", "SEND_RECV",     "OAUTH2_RESPONSE", "NEW_USER",
                                      "FORGOT_PASSWORD", "COMMAND_RECV", "COMMAND_RAISE", "USER_UNDEFINED"};
  return type >= 0 && type <= net::Api::USER_UNDEFINED ? names[type] : "UNKNOWN";
}

json describe(const net::Api::Event& e) {
  json out = {{"type", typeName(e.type)}, {"id", e.commandId}};
  using A = net::Api;
  switch (e.type) {
    case A::API_ERROR:
      out["error"] = static_cast<const A::ErrorEvent&>(e).error;
      break;
    case A::LOGIN: {
      const auto& l = static_cast<const A::LoginEvent&>(e);
      out.update({{"status", l.status}, {"username", l.username}, {"reason", l.reason}});
      break;
    }
    case A::TICKET_CREATE: {
      const auto& t = static_cast<const A::TicketCreateEvent&>(e);
      out.update({{"code", t.code}, {"reason", t.reason}});
      break;
    }
    case A::TICKET_GET: {
      const auto& t = static_cast<const A::TicketGetEvent&>(e);
      out.update({{"code", t.code}, {"paths", t.paths}, {"reason", t.reason}});
      break;
    }
    case A::SEND_RECV: {
      const auto& s = static_cast<const A::SendRecvEvent&>(e);
      out.update({{"code", s.code},
                  {"fileName", s.fileName},
                  {"localPath", s.localPath},
                  {"from", s.fromUsername},
                  {"to", s.toUsername},
                  {"size", s.size},
                  {"offset", s.offset},
                  {"bytesSec", s.bytesSec},
                  {"reason", s.reason}});
      break;
    }
    case A::NEW_USER:
    case A::FORGOT_PASSWORD: {
      const auto& n = static_cast<const A::NewUserEvent&>(e);
      out.update({{"status", n.status}, {"username", n.username}, {"reason", n.reason}});
      break;
    }
    case A::OAUTH2_RESPONSE: {
      const auto& o = static_cast<const A::Oauth2ResponseEvent&>(e);
      out.update({{"username", o.username}, {"error", o.error}});
      break;
    }
    case A::COMMAND_RECV:
      out["code"] = static_cast<const A::CommandRecvEvent&>(e).ticket;
      break;
    default:
      break;
  }
  return out;
}

// Events arrive on pool threads; lines must not interleave.
class Printer : public net::Api::Listener {
 public:
  explicit Printer(FILE* out) : out(out) {}
  void onEvent(net::Api::Event* event) override {
    std::unique_ptr<net::Api::Event> owned(event);
    const std::string line = describe(*owned).dump(-1, ' ', false, json::error_handler_t::replace);
    std::lock_guard<std::mutex> lock(mutex);
    std::fputs((line + "\n").c_str(), out);
    std::fflush(out);
  }

 private:
  FILE* out;
  std::mutex mutex;
};

void command(net::Api& api, const json& c) {
  const std::string op = c.value("op", "");
  const int id = c.value("id", 0);
  if (op == "send") {
    api.ticketSend(id, c.at("to"), c.at("files").get<std::vector<std::string>>(), c.value("text", ""), false);
  } else if (op == "sendcode") {
    api.ticketSendCode(id, c.at("to"), c.at("files").get<std::vector<std::string>>(), c.at("code"),
                       c.value("createdAt", int64_t{0}));
  } else if (op == "recv") {
    api.ticketRecv(id, c.at("code"));
  } else if (op == "pause") {
    api.ticketPause(id, c.at("code"));
  } else if (op == "login") {
    api.login(id, c.at("user"), c.at("password"));
  } else {
    std::fprintf(stderr, "unknown op %s\n", op.c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir, logFile;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    if (flag == "--dir") {
      dir = argv[i + 1];
    } else if (flag == "--log") {
      logFile = argv[i + 1];
    } else {
      std::fprintf(stderr, "unknown option %s\n", flag.c_str());
      return 2;
    }
  }
  if (dir.empty() || chdir(dir.c_str()) != 0) {
    std::fprintf(stderr, "usage: engine-peer --dir DIR [--log FILE]\n");
    return 2;
  }
  // Events keep standard output to themselves; the console log goes to standard error.
  FILE* events = fdopen(dup(STDOUT_FILENO), "w");
  dup2(STDERR_FILENO, STDOUT_FILENO);
  p2p::HttpRequest::globalInit();
  net::Api api;
  Printer printer(events);
  api.setListener(&printer);
  std::thread input([&api] {
    std::string line;
    while (std::getline(std::cin, line)) {
      if (line.empty()) continue;
      try {
        const json c = json::parse(line);
        if (c.value("op", "") == "quit") break;
        command(api, c);
      } catch (const std::exception& e) {
        std::fprintf(stderr, "bad command %s: %s\n", line.c_str(), e.what());
      }
    }
    api.stop();
  });
  api.run(Properties("properties.ini"), logFile);
  input.join();
  api.setListener(nullptr);
  return 0;
}
