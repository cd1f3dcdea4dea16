// magic-wormhole on 127.0.0.1 for benchmarks that put a transfer beside it: its mailbox server
// and its transit relay (twist3 with the plugins "wormhole-mailbox" and "transitrelay") on free
// ports, each in a folder of its own, and one send/receive pair per transfer with a fixed code.
// Everything started is stopped with the object (or with the transfer, on its failure). Nothing
// is installed here: where the Debian packages magic-wormhole,
// python3-magic-wormhole-mailbox-server and magic-wormhole-transit-relay are missing, ok() is
// false and why() says so.
//
//   WormholeRig wormhole(dir);
//   if (!wormhole.ok()) skip(wormhole.why());
//   double seconds = wormhole.transfer("/dev/shm/src/big.bin", "/dev/shm/in", "7-big");  // < 0: failed
#pragma once

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/ServerProcess.h"
#include "support/TestSupport.h"

namespace benchsupport {

class WormholeRig {
 public:
  using Clock = std::chrono::steady_clock;

  explicit WormholeRig(const std::string& dir) : dir(dir) { start(); }

  bool ok() const { return mailbox && relay; }
  const std::string& why() const { return failure; }
  int transitPort() const { return relayPort; }

  struct Transfer {
    double receiverSeconds = -1;  // from the receiver's start to its exit; negative: it failed
    double senderSeconds = -1;    // from the sender's start to its code (a folder is zipped first)
    std::string failure;
  };

  // Sends `path` (a file or a folder) under `code` and receives it in the folder `into`, made
  // here. With `transitPort` the data goes only through that port (no direct connection): a
  // delay line in front of the relay, say.
  Transfer transfer(const std::string& path, const std::string& into, const std::string& code,
                    int onlyThroughPort = 0, int limitMs = 600000) const {
    Transfer result;
    std::filesystem::create_directories(into);
    const std::string helper = "tcp:127.0.0.1:" + std::to_string(onlyThroughPort ? onlyThroughPort : relayPort);
    const std::vector<std::string> common = {"wormhole", "--relay-url", "ws://127.0.0.1:" + std::to_string(mailboxPort) + "/v1",
                                       "--transit-helper", helper};
    std::vector<std::string> send = common, receive = common;
    send.insert(send.end(), {"send", "--code", code, "--hide-progress"});
    receive.insert(receive.end(), {"receive", "--accept-file", "--hide-progress"});
    if (onlyThroughPort) {
      send.push_back("--no-listen");
      receive.push_back("--no-listen");
    }
    const std::filesystem::path from(path);
    send.push_back(from.filename().string());
    receive.push_back(code);

    testsupport::Spawn sender(send);
    sender.dir = from.parent_path().string();
    sender.out = into + ".send.log";
    const auto senderStart = Clock::now();
    testsupport::ChildProcess sending(sender);
    if (!testsupport::eventually([&] { return contains(sender.out, "Wormhole code is"); }, limitMs)) {
      result.failure = "the sender gave no code: " + testsupport::readFile(sender.out);
      return result;
    }
    result.senderSeconds = secondsSince(senderStart);

    testsupport::Spawn receiver(receive);
    receiver.dir = into;
    receiver.out = into + ".receive.log";
    const auto receiverStart = Clock::now();
    testsupport::ChildProcess receiving(receiver);
    const int status = receiving.waitExit(limitMs);
    const double seconds = secondsSince(receiverStart);
    if (status != 0) {
      result.failure = "the receiver ended with " + std::to_string(status) + ": " + testsupport::readFile(receiver.out);
      return result;
    }
    result.receiverSeconds = seconds;
    sending.waitExit(10000);
    return result;
  }

 private:
  static double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
  }

  static bool contains(const std::string& file, const std::string& text) {
    return testsupport::readFile(file).find(text) != std::string::npos;
  }

  static bool onPath(const std::string& program) {
    return testsupport::runToEnd({"sh", "-c", "command -v " + program}).find('/') != std::string::npos;
  }

  static bool listening(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = servertest::loopback(port);
    const bool up = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return up;
  }

  void start() {
    const char* const packages =
        " (apt-get install magic-wormhole python3-magic-wormhole-mailbox-server magic-wormhole-transit-relay)";
    if (!onPath("wormhole")) return fail(std::string("wormhole is missing") + packages);
    const std::string twist = onPath("twist3") ? "twist3" : onPath("twist") ? "twist" : "";
    if (twist.empty()) return fail(std::string("twist (python3-twisted) is missing") + packages);
    const std::string plugins = testsupport::runToEnd({twist, "--help"});
    for (const char* plugin : {"wormhole-mailbox", "transitrelay"})
      if (plugins.find(plugin) == std::string::npos)
        return fail(std::string("the twist plugin ") + plugin + " is missing" + packages);
    std::filesystem::create_directories(dir + "/mailbox");
    std::filesystem::create_directories(dir + "/relay");
    mailboxPort = servertest::randomFreePort();
    mailbox = serve({twist, "--log-file=" + dir + "/mailbox.log", "wormhole-mailbox",
                     "--port=tcp:" + std::to_string(mailboxPort) + ":interface=127.0.0.1",
                     "--channel-db=" + dir + "/mailbox/relay.sqlite"},
                    dir + "/mailbox", mailboxPort);
    if (!mailbox) return fail("the mailbox server did not listen (see " + dir + "/mailbox.log)");
    relayPort = servertest::randomFreePort();
    relay = serve({twist, "--log-file=" + dir + "/relay.log", "transitrelay",
                   "--port=tcp:" + std::to_string(relayPort) + ":interface=127.0.0.1"},
                  dir + "/relay", relayPort);
    if (!relay) {
      mailbox.reset();
      return fail("the transit relay did not listen (see " + dir + "/relay.log)");
    }
  }

  std::unique_ptr<testsupport::ChildProcess> serve(const std::vector<std::string>& args, const std::string& in,
                                                   int port) const {
    testsupport::Spawn spawn(args);
    spawn.dir = in;
    spawn.out = in + ".out";
    auto child = std::make_unique<testsupport::ChildProcess>(spawn);
    if (testsupport::eventually([&] { return listening(port) || !child->running(); }, 20000) && child->running())
      return child;
    return nullptr;
  }

  void fail(const std::string& why) { failure = why; }

  std::string dir;
  std::string failure;
  int mailboxPort = 0;
  int relayPort = 0;
  std::unique_ptr<testsupport::ChildProcess> mailbox, relay;
};

}  // namespace benchsupport
