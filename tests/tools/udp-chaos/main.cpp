// udp-chaos: the relay as a program. Prints the address it relays on, runs until SIGINT or
// SIGTERM, then prints what it did.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <string>

#include "UdpChaos.h"

namespace {

const char* const kUsage =
    "usage: udp-chaos [--host IP] [--port N] [--seed N] [--loss SHARE] [--duplicate SHARE]\n"
    "                 [--reorder SHARE] [--reorder-hold MS] [--delay MS] [--rate BYTES_PER_SECOND]\n"
    "                 [--sender-alias IP]\n"
    "                 [--spare N] [--max-queued N]\n"
    "Relays datagrams that begin with a proxy prefix between peers, losing, duplicating,\n"
    "reordering and delaying them. Shares are from 0 to 1; port 0 picks a free port.\n";

// The whole argument must be the number.
template <class T>
T parse(const std::string& text, T (*convert)(const std::string&, size_t*)) {
  size_t used = 0;
  const T value = convert(text, &used);
  if (used != text.size()) throw std::invalid_argument(text);
  return value;
}

double toDouble(const std::string& text) {
  return parse<double>(text, [](const std::string& s, size_t* used) { return std::stod(s, used); });
}

long long toInteger(const std::string& text) {
  return parse<long long>(text, [](const std::string& s, size_t* used) { return std::stoll(s, used); });
}

int toInt(const std::string& text) {
  const long long value = toInteger(text);
  if (value < -2147483647LL || value > 2147483647LL) throw std::out_of_range(text);
  return static_cast<int>(value);
}

udpchaos::UdpChaos::Options parseOptions(int argc, char** argv) {
  udpchaos::UdpChaos::Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    if (flag == "--help" || flag == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    }
    if (i + 1 >= argc) throw std::invalid_argument("missing value after " + flag);
    const std::string value = argv[++i];
    if (flag == "--host") {
      o.host = value;
    } else if (flag == "--port") {
      o.port = toInt(value);
    } else if (flag == "--seed") {
      o.seed = static_cast<uint64_t>(toInteger(value));
    } else if (flag == "--loss") {
      o.loss = toDouble(value);
    } else if (flag == "--duplicate") {
      o.duplicate = toDouble(value);
    } else if (flag == "--reorder") {
      o.reorder = toDouble(value);
    } else if (flag == "--reorder-hold") {
      o.reorderHoldMs = toInt(value);
    } else if (flag == "--delay") {
      o.delayMs = toInt(value);
    } else if (flag == "--sender-alias") {
      o.senderAlias = value;
    } else if (flag == "--rate") {
      o.rateBytesPerSecond = toInteger(value);
    } else if (flag == "--spare") {
      o.spareFirst = toInt(value);
    } else if (flag == "--max-queued") {
      const long long n = toInteger(value);
      if (n < 1) throw std::invalid_argument("--max-queued must be at least 1");
      o.maxQueued = static_cast<size_t>(n);
    } else {
      throw std::invalid_argument("unknown option " + flag);
    }
  }
  return o;
}

void print(const udpchaos::UdpChaos& chaos) {
  const udpchaos::UdpChaos::Counters c = chaos.total();
  std::printf("received %llu forwarded %llu dropped %llu duplicated %llu reordered %llu invalid %llu\n",
              static_cast<unsigned long long>(c.received), static_cast<unsigned long long>(c.forwarded),
              static_cast<unsigned long long>(c.dropped), static_cast<unsigned long long>(c.duplicated),
              static_cast<unsigned long long>(c.reordered), static_cast<unsigned long long>(chaos.invalid()));
}

}  // namespace

int main(int argc, char** argv) {
  udpchaos::UdpChaos::Options options;
  try {
    options = parseOptions(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "udp-chaos: bad arguments (%s)\n%s", e.what(), kUsage);
    return 2;
  }
  // Blocked before the relay thread starts, so that it inherits the mask and only sigwait sees them.
  // A shell starts background jobs with SIGINT ignored, which would discard it before sigwait.
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  try {
    udpchaos::UdpChaos chaos(options);
    const p2p::SocketAddress address = chaos.address();
    std::printf("udp-chaos relaying on %s:%d\n", address.getIp().c_str(), address.getPort());
    std::fflush(stdout);
    int received = 0;
    sigwait(&signals, &received);
    chaos.stop();
    print(chaos);
  } catch (const std::invalid_argument& e) {
    std::fprintf(stderr, "%s\n%s", e.what(), kUsage);
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
