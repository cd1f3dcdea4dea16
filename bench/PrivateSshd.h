// A private sshd on 127.0.0.1 for benchmarks that put a transfer beside scp: its own host and
// client keys in a temporary folder, one cipher (chacha20-poly1305), stopped and removed with the
// object. openssh-server is installed through apt-get when sshd is missing; it is a benchmark's
// need, not a test's.
//
//   PrivateSshd sshd;
//   if (!sshd.ok()) skip(sshd.why());
//   double seconds = sshd.copy("/dev/shm/a", "/dev/shm/b");  // negative: scp failed
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace benchsupport {

class PrivateSshd {
 public:
  static constexpr const char* Cipher = "chacha20-poly1305@openssh.com";

  PrivateSshd() { start(); }
  ~PrivateSshd() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
    if (!dir.empty()) run({"rm", "-rf", dir});
  }
  PrivateSshd(const PrivateSshd&) = delete;
  PrivateSshd& operator=(const PrivateSshd&) = delete;

  bool ok() const { return pid > 0; }
  const std::string& why() const { return failure; }

  // Copies `from` (a folder too, with `recursive`) to `to` through the private sshd with scp;
  // the seconds it took, or -1.
  double copy(const std::string& from, const std::string& to, bool recursive = false) const {
    const auto start = std::chrono::steady_clock::now();
    const int status = run({"scp", recursive ? "-qr" : "-q", "-P", std::to_string(port), "-i", dir + "/client", "-c",
                            Cipher, "-o", "BatchMode=yes", "-o", "Compression=no", "-o", "StrictHostKeyChecking=no",
                            "-o", "UserKnownHostsFile=/dev/null", "-o", "LogLevel=ERROR", from, "127.0.0.1:" + to});
    if (status != 0) return -1;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }

  // Runs a program found on PATH with its output thrown away; its exit status, or -1.
  static int run(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t child = -1;
    const int spawned = posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return -1;
    int status = 0;
    if (waitpid(child, &status, 0) != child) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  static constexpr const char* Sshd = "/usr/sbin/sshd";

  void start() {
    if (access(Sshd, X_OK) != 0 && !install()) return;
    if (access("/usr/bin/scp", X_OK) != 0) return fail("scp is missing");
    char folder[] = "/tmp/mirel-sshd-XXXXXX";
    if (!mkdtemp(folder)) return fail("no temporary folder");
    dir = folder;
    // sshd refuses to start without its privilege separation folder.
    mkdir("/run/sshd", 0755);
    for (const char* key : {"host", "client"}) {
      if (run({"ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", dir + "/" + key}) != 0)
        return fail("ssh-keygen failed");
    }
    if (run({"cp", dir + "/client.pub", dir + "/authorized_keys"}) != 0) return fail("no authorized_keys");
    port = freePort();
    if (port <= 0) return fail("no free port on 127.0.0.1");
    std::ofstream config(dir + "/sshd_config");
    config << "ListenAddress 127.0.0.1\nPort " << port << "\nHostKey " << dir << "/host\n"
           << "AuthorizedKeysFile " << dir << "/authorized_keys\nPidFile " << dir << "/sshd.pid\n"
           << "Ciphers " << Cipher << "\nPasswordAuthentication no\nKbdInteractiveAuthentication no\n"
           << "PermitRootLogin prohibit-password\nStrictModes no\nUsePAM no\nSubsystem sftp internal-sftp\n";
    config.close();
    if (!config) return fail("cannot write sshd_config");
    const std::string configPath = dir + "/sshd_config";
    char* const argv[] = {const_cast<char*>(Sshd), const_cast<char*>("-D"), const_cast<char*>("-e"),
                          const_cast<char*>("-f"), const_cast<char*>(configPath.c_str()), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string log = dir + "/sshd.log";
    posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    // Nothing of the caller's (a pipe a script waits on) stays open in the daemon.
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    const int spawned = posix_spawn(&pid, Sshd, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
      pid = -1;
      return fail("cannot start sshd");
    }
    for (int i = 0; i < 100 && !listening(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (!listening()) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
      pid = -1;
      return fail("sshd did not listen (see " + log + ")");
    }
  }

  bool install() {
    std::fprintf(stderr, "sshd is missing: installing openssh-server\n");
    setenv("DEBIAN_FRONTEND", "noninteractive", 1);
    run({"apt-get", "update", "-q"});
    if (run({"apt-get", "install", "-y", "-q", "--no-install-recommends", "openssh-server"}) == 0 &&
        access(Sshd, X_OK) == 0)
      return true;
    fail("sshd is missing and openssh-server could not be installed");
    return false;
  }

  static int freePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int found = -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
      found = ntohs(address.sin_port);
    close(fd);
    return found;
  }

  bool listening() const {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool up = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return up;
  }

  void fail(const std::string& why) { failure = why; }

  pid_t pid = -1;
  int port = 0;
  std::string dir;
  std::string failure;
};

}  // namespace benchsupport
