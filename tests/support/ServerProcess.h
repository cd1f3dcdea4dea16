// Drives the real mirelServer from tests: a child process on free random ports, HTTPS
// through libcurl with the generated CA (as the clients call it), and raw UDP peers.
#pragma once

#include <arpa/inet.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "p2p/messages/ClientEcho.h"
#include "p2p/messages/Message.h"
#include "p2p/messages/ServerEcho.h"
#include "support/TestSupport.h"
#include "utils/ByteBuffer.h"
#include "utils/Sha1.h"

extern char** environ;

namespace servertest {

inline std::string sha1(const std::string& in) {
  std::string out;
  Sha1::getInstance().makeEncodedDigest(in, out);
  return out;
}

inline std::string userKey(const std::string& user, const std::string& password) {
  std::string out;
  Sha1::getInstance().encodePassword(user, password, out);
  return out;
}

inline sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// A port free for both TCP and UDP on 127.0.0.1 right now.
inline int randomFreePort() {
  static std::mt19937 engine(std::random_device{}());
  for (;;) {
    const int port = std::uniform_int_distribution<int>(20000, 30000)(engine);
    const sockaddr_in address = loopback(port);
    bool free = true;
    for (int type : {SOCK_STREAM, SOCK_DGRAM}) {
      const int fd = socket(AF_INET, type, 0);
      free = free && bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
      close(fd);
    }
    if (free) return port;
  }
}

struct HttpAnswer {
  long status = 0;  // 0: the transfer failed
  std::string body;
  std::string error;
};

// One GET (or a form POST) with a fresh handle, verifying the server against `caPath`
// exactly as the clients do.
inline HttpAnswer https(const std::string& url, const std::string& caPath,
                        const std::string* postForm = nullptr) {
  HttpAnswer answer;
  CURL* curl = curl_easy_init();
  char error[CURL_ERROR_SIZE] = "";
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_CAINFO, caPath.c_str());
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 10000L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  if (postForm) curl_easy_setopt(curl, CURLOPT_POSTFIELDS, postForm->c_str());
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer.body);
  curl_easy_setopt(
      curl, CURLOPT_WRITEFUNCTION, +[](char* data, size_t size, size_t count, void* out) {
        static_cast<std::string*>(out)->append(data, size * count);
        return size * count;
      });
  if (curl_easy_perform(curl) == CURLE_OK)
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &answer.status);
  else
    answer.error = error;
  curl_easy_cleanup(curl);
  return answer;
}

inline std::string enc(const std::string& s) {
  char* escaped = curl_easy_escape(nullptr, s.data(), static_cast<int>(s.size()));
  const std::string out = escaped;
  curl_free(escaped);
  return out;
}

// The query of a client's Login, with the key only when `withKey`.
inline std::string loginQuery(const std::string& uuid, const std::string& name,
                              const std::string& key, bool withKey, long long challenge = 77) {
  std::string query = "Login?uuid=" + uuid + "&name=" + enc(name);
  if (withKey) query += "&key=" + key;
  return query + "&challenge=" + std::to_string(challenge) +
         "&chkey=" + sha1(std::to_string(challenge) + key);
}

// mirelServer as a child process; stopped (and killed if it will not stop) on destruction.
class ServerProcess {
 public:
  explicit ServerProcess(const std::string& dataDir, const std::vector<std::string>& extra = {})
      : dataDir(dataDir) {
    // A port taken between the check and the bind makes the child exit: try new ones.
    for (int attempt = 0; attempt < 5; ++attempt) {
      httpsPort = randomFreePort();
      udpPort = randomFreePort();
      logPath = dataDir + ".log." + std::to_string(httpsPort);
      startArgs = {"--data", dataDir, "--https-port", std::to_string(httpsPort), "--udp-port", std::to_string(udpPort)};
      startArgs.insert(startArgs.end(), extra.begin(), extra.end());
      pid = spawn(startArgs, logPath);
      if (started()) return;
      stop();
    }
    throw std::runtime_error("mirelServer did not start: " + log());
  }
  ~ServerProcess() { stop(); }
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // SIGTERM, then SIGKILL after 5 s. The exit status, or -1 when it had to be killed.
  int stop() {
    if (!running()) return exitStatus;
    kill(pid, SIGTERM);
    for (int i = 0; i < 500 && running(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (running()) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      pid = -1;
    }
    return exitStatus;
  }

  // Stops the server and starts it again on the same ports and data (so with the same
  // certificates): what its clients see of a server restarted, every connection closed.
  void restart() {
    stop();
    const size_t logged = log().size();
    pid = spawn(startArgs, logPath);
    if (!started(logged)) throw std::runtime_error("mirelServer did not start again: " + log());
  }

  // Reaps the child once it has exited, so its id is never signalled afterwards.
  bool running() { return testsupport::stillRunning(pid, exitStatus); }

  std::string log() const { return testsupport::readFile(logPath); }
  std::string url(const std::string& pathAndQuery) const {
    return "https://127.0.0.1:" + std::to_string(httpsPort) + "/" + pathAndQuery;
  }
  std::string caPath() const { return dataDir + "/cacert.pem"; }
  HttpAnswer get(const std::string& query) const { return https(url(query), caPath()); }

  // The client's login: without the key first, again with it after 423. The challenge.
  long long login(const std::string& uuid, const std::string& name, const std::string& key) const {
    HttpAnswer answer = get(loginQuery(uuid, name, key, false));
    if (answer.status == 423) answer = get(loginQuery(uuid, name, key, true));
    if (answer.status != 200 || answer.body.find_first_not_of("0123456789") != std::string::npos)
      throw std::runtime_error("login " + uuid + ": " + std::to_string(answer.status) + " " +
                               answer.body + answer.error);
    return std::stoll(answer.body);
  }

  // Runs mirelServer once to completion (for --add-user); its exit status.
  static int runToEnd(const std::vector<std::string>& args, const std::string& logPath) {
    int status = 0;
    waitpid(spawn(args, logPath), &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::string dataDir;
  std::string logPath;
  int httpsPort = 0;
  int udpPort = 0;

 private:
  // Once the log says so after its first `logged` bytes.
  bool started(size_t logged = 0) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < end && running()) {
      if (log().find("serving https://", logged) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  static pid_t spawn(const std::vector<std::string>& args, const std::string& logPath) {
    std::vector<char*> argv = {const_cast<char*>(MIREL_SERVER_PATH)};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, logPath.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    pid_t child = -1;
    const int error = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) throw std::runtime_error(std::string("posix_spawn: ") + strerror(error));
    return child;
  }

  std::vector<std::string> startArgs;  // the options it runs with
  pid_t pid = -1;
  int exitStatus = -1;
};

// A raw UDP endpoint on 127.0.0.1 speaking the datagram codec.
class UdpPeer {
 public:
  UdpPeer() {
    fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address = loopback(0);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
      throw std::runtime_error("udp bind");
    const int size = 4 * 1024 * 1024;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
  }
  ~UdpPeer() { close(fd); }
  UdpPeer(const UdpPeer&) = delete;
  UdpPeer& operator=(const UdpPeer&) = delete;

  void sendRaw(const std::vector<int8_t>& bytes, int toPort) const {
    const sockaddr_in to = loopback(toPort);
    sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  }
  void send(p2p::Message& message, int toPort) const { sendRaw(encode(message), toPort); }

  // The next datagram within the time, or nothing.
  std::optional<std::vector<int8_t>> receive(int timeoutMs = 2000) const {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return std::nullopt;
    std::vector<int8_t> bytes(2048);
    const ssize_t n = recv(fd, bytes.data(), bytes.size(), 0);
    if (n < 0) return std::nullopt;
    bytes.resize(static_cast<size_t>(n));
    return bytes;
  }

  // The next datagram decoded as a T, or null when none came or it is something else.
  template <typename T>
  std::unique_ptr<T> receiveMessage(p2p::Message::Opcode opcode, int timeoutMs = 2000) const {
    std::optional<std::vector<int8_t>> bytes = receive(timeoutMs);
    if (!bytes) return nullptr;
    ByteBuffer view(bytes->data(), static_cast<int32_t>(bytes->size()));
    std::unique_ptr<p2p::Message> message(p2p::Message::decodeMessage(view));
    if (message->getOpcode() != opcode) return nullptr;
    return std::unique_ptr<T>(static_cast<T*>(message.release()));
  }

  // Echoes as a client computer would; `challenge` 0 sends no key. The answer, or null.
  std::unique_ptr<p2p::ServerEcho> echo(int serverPort, const std::string& uuid,
                                        const std::string& user, const std::string& key,
                                        long long challenge) const {
    p2p::ClientEcho message;
    message.uuid = uuid;
    message.userName = user;
    message.internalIp = "10.0.0.1";
    message.udpPort = port;
    message.computer = uuid + "'s computer";
    if (challenge) message.key = sha1(std::to_string(challenge) + key);
    send(message, serverPort);
    return receiveMessage<p2p::ServerEcho>(p2p::Message::serverEcho);
  }

  static std::vector<int8_t> encode(p2p::Message& message) {
    ByteBuffer buffer(1500);
    message.encode(buffer);
    return std::vector<int8_t>(buffer.array(), buffer.array() + buffer.position());
  }

  int fd = -1;
  int port = 0;
};

}  // namespace servertest
