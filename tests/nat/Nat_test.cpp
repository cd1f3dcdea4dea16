// Hole punching and the peer stream across real address translators. The test builds its own
// network from namespaces: an "internet" bridge with the rendezvous server at 203.0.113.1, two
// home routers that masquerade their LANs behind 203.0.113.11 and .12 and drop unsolicited
// traffic from outside, and one computer behind each. Every address lives in those namespaces
// only. Needs root and `ip netns`; elsewhere the tests skip.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/TestSupport.h"
#include "utils/Sha1.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

const std::string kServerIp = "203.0.113.1";
const std::string kHttpsPort = "8443", kUdpPort = "4183";
const long long kBytes = 8 << 20;

// A child process writing to a file; killed and reaped on destruction, whatever happened.
class Child {
 public:
  Child(const std::vector<std::string>& args, std::string logPath) : logPath(std::move(logPath)) {
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, this->logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0600);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    const int error = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) throw std::runtime_error(args[0] + ": " + strerror(error));
  }
  ~Child() {
    if (pid > 0 && !wait(0)) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // The exit status once it has exited within the time (-1 for a signal), else nothing.
  std::optional<int> wait(int timeoutMs) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    do {
      if (status) return status;
      int raw = 0;
      if (waitpid(pid, &raw, WNOHANG) == pid) return status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (Clock::now() < end);
    return std::nullopt;
  }

  bool waitForOutput(const std::string& text, int timeoutMs) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (output().find(text) == std::string::npos) {
      if (Clock::now() > end || wait(0)) return output().find(text) != std::string::npos;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
  }

  std::string output() const { return testsupport::readFile(logPath); }

 private:
  std::string logPath;
  pid_t pid = -1;
  std::optional<int> status;
};

// The namespaces of one test, named after this process and a counter so that no two runs
// meet. Deleted on destruction; the processes inside must be gone first.
class Namespaces {
 public:
  explicit Namespaces(const testsupport::TempDir& temp) : temp(temp) {
    static int made = 0;
    prefix = "mirel" + std::to_string(getpid()) + "-" + std::to_string(++made) + "-";
  }
  ~Namespaces() {
    for (const std::string& name : names) {
      try {
        run({"ip", "netns", "del", name});
      } catch (const std::exception& e) {
        std::cerr << "ip netns del " << name << ": " << e.what() << std::endl;
      }
    }
  }
  Namespaces(const Namespaces&) = delete;
  Namespaces& operator=(const Namespaces&) = delete;

  std::string add(const std::string& role) {
    const std::string name = prefix + role;
    must({"ip", "netns", "add", name});
    names.push_back(name);
    must({"ip", "-n", name, "link", "set", "lo", "up"});
    return name;
  }

  // Runs a command to its end within 10 s; its exit status, and its output in `output`.
  int run(const std::vector<std::string>& args, std::string* output = nullptr) const {
    const std::string log = temp.file("command.log");
    testsupport::writeFile(log, "");
    Child child(args, log);
    const std::optional<int> status = child.wait(10000);
    if (output) *output = child.output();
    return status.value_or(-1);
  }

  void must(const std::vector<std::string>& args) const {
    std::string output;
    if (run(args, &output) == 0) return;
    std::string line;
    for (const std::string& arg : args) line += arg + " ";
    throw std::runtime_error(line + "failed: " + output);
  }

 private:
  const testsupport::TempDir& temp;
  std::string prefix;
  std::vector<std::string> names;
};

struct NatCase {
  const char* name;
  bool symmetricA;  // the connecting computer's router maps every new destination to a new port
  bool symmetricB;  // the listening computer's router does
  const char* path;
};
// Names the case in test listings, which would otherwise show its raw bytes.
void PrintTo(const NatCase& c, std::ostream* out) { *out << c.path; }

class NatTest : public ::testing::TestWithParam<NatCase> {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "network namespaces need root";
    try {
      internet = ns.add("inet");
    } catch (const std::exception& e) {
      GTEST_SKIP() << "cannot make a network namespace: " << e.what();
    }
    std::string output;
    if (ns.run({"ip", "netns", "exec", internet, "iptables", "-t", "nat", "-L", "-n"}, &output) != 0)
      GTEST_SKIP() << "no iptables inside a network namespace: " << output;

    ns.must({"ip", "-n", internet, "link", "add", "br0", "type", "bridge"});
    ns.must({"ip", "-n", internet, "link", "set", "br0", "up"});
    ns.must({"ip", "-n", internet, "addr", "add", kServerIp + "/24", "dev", "br0"});
    hostA = homeNetwork("a", "203.0.113.11", "198.51.100", GetParam().symmetricA);
    hostB = homeNetwork("b", "203.0.113.12", "198.18.0", GetParam().symmetricB);
  }

  void TearDown() override {
    // The processes first: a namespace with a process inside outlives its deletion.
    peers.clear();
    server.reset();
  }

  // A router namespace masquerading a LAN behind `wanIp`, and one computer on that LAN.
  std::string homeNetwork(const std::string& id, const std::string& wanIp, const std::string& lan, bool symmetric) {
    const std::string router = ns.add("nat-" + id), host = ns.add("host-" + id);
    auto in = [&](const std::string& name, std::vector<std::string> args) {
      args.insert(args.begin(), {"ip", "netns", "exec", name});
      ns.must(args);
    };
    ns.must(
        {"ip", "link", "add", "wan", "netns", router, "type", "veth", "peer", "name", "port-" + id, "netns", internet});
    ns.must({"ip", "-n", internet, "link", "set", "port-" + id, "master", "br0", "up"});
    ns.must({"ip", "-n", router, "addr", "add", wanIp + "/24", "dev", "wan"});
    ns.must({"ip", "-n", router, "link", "set", "wan", "up"});
    ns.must({"ip", "link", "add", "lan", "netns", router, "type", "veth", "peer", "name", "eth0", "netns", host});
    ns.must({"ip", "-n", router, "addr", "add", lan + ".1/24", "dev", "lan"});
    ns.must({"ip", "-n", router, "link", "set", "lan", "up"});
    ns.must({"ip", "-n", host, "addr", "add", lan + ".2/24", "dev", "eth0"});
    ns.must({"ip", "-n", host, "link", "set", "eth0", "up"});
    ns.must({"ip", "-n", host, "route", "add", "default", "via", lan + ".1"});
    in(router, {"sysctl", "-q", "-w", "net.ipv4.ip_forward=1"});
    std::vector<std::string> masquerade = {"iptables", "-t",  "nat", "-A",        "POSTROUTING",
                                           "-o",       "wan", "-j",  "MASQUERADE"};
    if (symmetric) masquerade.push_back("--random-fully");
    in(router, masquerade);
    // As home routers do. Without it the peer's first punch is tracked as a connection to the
    // router itself, and the host's own punch is then mapped to another port.
    for (const char* chain : {"INPUT", "FORWARD"})
      in(router, {"iptables", "-A", chain, "-i", "wan", "-m", "conntrack", "--ctstate", "NEW", "-j", "DROP"});
    return host;
  }

  void startServer() {
    const std::string data = temp.file("data");
    for (const auto& [user, password] : {std::pair{"ann@example.org", "pw-ann"}, {"bob@example.org", "pw-bob"}})
      ns.must({"ip", "netns", "exec", internet, MIREL_SERVER_PATH, "--data", data, "--add-user", user, password});
    server = std::make_unique<Child>(
        std::vector<std::string>{"ip", "netns", "exec", internet, MIREL_SERVER_PATH, "--data", data, "--host",
                                 kServerIp, "--https-port", kHttpsPort, "--udp-port", kUdpPort},
        temp.file("server.log"));
    ASSERT_TRUE(server->waitForOutput("serving https://", 10000)) << server->output();
  }

  Child& startPeer(const std::string& host, const std::string& name, std::vector<std::string> role) {
    std::vector<std::string> args = {"ip",
                                     "netns",
                                     "exec",
                                     host,
                                     P2P_PEER_PATH,
                                     "--server",
                                     "https://" + kServerIp + ":" + kHttpsPort + "/",
                                     "--ca",
                                     temp.file("data/cacert.pem"),
                                     "--udp-port",
                                     kUdpPort};
    args.insert(args.end(), role.begin(), role.end());
    peers.push_back(std::make_unique<Child>(args, temp.file(name + ".log")));
    return *peers.back();
  }

  // `ip` and the tools it runs in a namespace live in the administrator's folders.
  testsupport::ScopedEnv path{"PATH",
                              std::string(getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin") + ":/usr/sbin:/sbin"};
  testsupport::TempDir temp;
  Namespaces ns{temp};
  std::string internet, hostA, hostB;
  std::unique_ptr<Child> server;
  std::vector<std::unique_ptr<Child>> peers;
};

std::smatch find(const std::string& text, const std::string& pattern) {
  std::smatch match;
  std::regex_search(text, match, std::regex(pattern));
  return match;
}

TEST_P(NatTest, ComputersBehindNatsStream8MiB) {
  ASSERT_NO_FATAL_FAILURE(startServer());
  std::string bobKey;
  Sha1::getInstance().encodePassword("bob@example.org", "pw-bob", bobKey);
  Child& listener = startPeer(
      hostB, "listener",
      {"--user", "bob@example.org", "--key", bobKey, "--uuid", "pc-listener", "--listen", "--timeout-ms", "60000"});
  ASSERT_TRUE(listener.waitForOutput("ready\n", 20000)) << listener.output() << server->output();
  Child& connector =
      startPeer(hostA, "connector",
                {"--user", "ann@example.org", "--password", "pw-ann", "--uuid", "pc-connector", "--connect",
                 "pc-listener", "--bytes", std::to_string(kBytes), "--seed", "42", "--timeout-ms", "50000"});
  const std::optional<int> sent = connector.wait(55000);
  const std::optional<int> got = listener.wait(10000);
  const std::string sentText = connector.output(), gotText = listener.output();
  const std::string logs = "connector:\n" + sentText + "listener:\n" + gotText + "server:\n" + server->output();
  ASSERT_EQ(0, sent.value_or(-2)) << logs;
  ASSERT_EQ(0, got.value_or(-2)) << logs;

  const std::smatch sentLine = find(sentText, "sha256=([0-9a-f]{64}) path=(\\w+)");
  const std::smatch gotLine = find(gotText, "sha256=([0-9a-f]{64}) bytes=(\\d+) path=(\\w+)");
  const std::smatch times = find(sentText, "ms login=(\\d+) punch=(\\d+) stream=(\\d+)");
  ASSERT_FALSE(sentLine.empty() || gotLine.empty() || times.empty()) << logs;
  EXPECT_EQ(sentLine[1], gotLine[1]);
  EXPECT_EQ(std::to_string(kBytes), gotLine[2]);
  EXPECT_EQ(std::string(GetParam().path), sentLine[2]) << logs;
  EXPECT_EQ(std::string(GetParam().path), gotLine[3]) << logs;

  const double streamMs = std::stod(times[3]);
  std::cout << "[ figures  ] " << GetParam().name << ": login " << times[1] << " ms, punch " << times[2]
            << " ms, 8 MiB " << GetParam().path << " in " << times[3] << " ms ("
            << (streamMs > 0 ? 8000.0 / streamMs : 0) << " MiB/s)" << std::endl;
  RecordProperty("punch_ms", times[2]);
  RecordProperty("stream_ms", times[3]);
}

INSTANTIATE_TEST_SUITE_P(Nat, NatTest,
                         ::testing::Values(NatCase{"MasqueradingNatsMeetDirectly", false, false, "direct"},
                                           NatCase{"SymmetricNatOnTheConnectorTakesTheRelay", true, false, "relay"},
                                           NatCase{"SymmetricNatsOnBothSidesTakeTheRelay", true, true, "relay"}),
                         [](const ::testing::TestParamInfo<NatCase>& info) { return std::string(info.param.name); });

}  // namespace
