// p2p-peer: one computer of the end-to-end network tests. It logs in to the web and rendezvous
// server, then either waits for a peer's stream (--listen) or finds a peer, punches a hole and
// streams pseudo-random bytes to it (--connect), with the engine's own objects in the engine's
// order: router, web-server client, peer acceptor, rendezvous login.
//
// Output (one line each, flushed): "ready" once logged in; at the end "sha256=<hex> bytes=<n>
// path=direct|relay" (listener) or "sha256=<hex> path=direct|relay" followed by
// "ms login=<n> punch=<n> stream=<n>" (connector). Exit 0 on success, 1 on failure with the
// reason on standard error, 2 for bad options.
#include <openssl/evp.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>

#include "p2p/messages/Connect.h"
#include "p2p/processes/LoginEcho.h"
#include "p2p/processes/PeerAcceptor.h"
#include "p2p/processes/PeerHole.h"
#include "p2p/processes/PeerStream.h"
#include "p2p/processes/Server.h"
#include "p2p/processes/UdpRouter.h"
#include "p2p/uv/UvLog.h"
#include "p2p/uv/UvLoop.h"
#include "p2p/uv/UvTimer.h"
#include "utils/ByteBuffer.h"
#include "utils/Sha1.h"

using namespace p2p;

namespace {

const char* const kUsage =
    "usage: p2p-peer --server URL --ca FILE --udp-port N --user EMAIL (--key KEY | --password PW)\n"
    "                --uuid UUID (--listen | --connect UUID --bytes N --seed S)\n"
    "                [--timeout-ms N] [--verbose LEVEL]\n";

struct Options {
  std::string serverUrl, caFile, user, key, uuid, peerUuid;
  int udpPort = 4183;
  bool listen = false;
  long long bytes = 0;
  uint64_t seed = 0;
  long long timeoutMs = 30000;
  int verbose = 0;
};

long long number(const std::string& flag, const std::string& text, long long low, long long high) {
  size_t used = 0;
  long long value = 0;
  try {
    value = std::stoll(text, &used, 10);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != text.size() || value < low || value > high)
    throw std::invalid_argument(flag + " needs a number from " + std::to_string(low) + " to " + std::to_string(high));
  return value;
}

Options parseOptions(int argc, char** argv) {
  Options o;
  std::string password;
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    if (flag == "--listen") {
      o.listen = true;
      continue;
    }
    if (i + 1 >= argc) throw std::invalid_argument(flag + " needs a value");
    const std::string value = argv[++i];
    const std::map<std::string, std::string*> texts = {
        {"--server", &o.serverUrl}, {"--ca", &o.caFile}, {"--user", &o.user},       {"--key", &o.key},
        {"--password", &password},  {"--uuid", &o.uuid}, {"--connect", &o.peerUuid}};
    if (texts.count(flag))
      *texts.at(flag) = value;
    else if (flag == "--udp-port")
      o.udpPort = static_cast<int>(number(flag, value, 1, 65535));
    else if (flag == "--bytes")
      o.bytes = number(flag, value, 0, 1LL << 40);
    else if (flag == "--seed")
      o.seed = static_cast<uint64_t>(number(flag, value, 0, INT64_MAX));
    else if (flag == "--timeout-ms")
      o.timeoutMs = number(flag, value, 1, 3600000);
    else if (flag == "--verbose")
      o.verbose = static_cast<int>(number(flag, value, 0, 3));
    else
      throw std::invalid_argument("unknown option " + flag);
  }
  if (!password.empty() && o.key.empty()) Sha1::getInstance().encodePassword(o.user, password, o.key);
  if (o.serverUrl.empty() || o.caFile.empty() || o.user.empty() || o.key.empty() || o.uuid.empty())
    throw std::invalid_argument("--server, --ca, --user, --key or --password, and --uuid are required");
  if (o.listen == !o.peerUuid.empty()) throw std::invalid_argument("give exactly one of --listen and --connect");
  return o;
}

class Sha256 {
 public:
  Sha256() : context(EVP_MD_CTX_new()) {
    if (!context || EVP_DigestInit_ex(context, EVP_sha256(), nullptr) != 1) throw std::runtime_error("sha256 init");
  }
  ~Sha256() { EVP_MD_CTX_free(context); }
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void add(const int8_t* bytes, size_t n) {
    if (EVP_DigestUpdate(context, bytes, n) != 1) throw std::runtime_error("sha256 update");
  }
  std::string hex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(context, digest, &size) != 1) throw std::runtime_error("sha256 final");
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < size; ++i) {
      out += digits[digest[i] >> 4];
      out += digits[digest[i] & 15];
    }
    return out;
  }

 private:
  EVP_MD_CTX* context;
};

void say(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

long long msSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

class Peer : public LoginEcho::Cb,
             public PeerAcceptor::Cb,
             public PeerHole::Cb,
             public PeerStream::Cb,
             public UvTimer::Cb {
 public:
  // Frames of the engine's peer connection hold at most this much; the tool sends alike.
  static constexpr int32_t CHUNK = 61440;
  // Punches the engine tries after the first one fails.
  static constexpr int HOLE_RETRIES = 3;

  Peer(UvLoop& loop, const Options& o)
      : loop(loop),
        o(o),
        router(&loop),
        server(o.serverUrl, o.udpPort, &loop, o.caFile),
        acceptor(o.uuid, &server, &router, this),
        login(&server, &router, this),
        deadline(&loop),
        chunk(CHUNK),
        random(o.seed),
        left(o.bytes) {
    chunk.flip();
    deadline.start(static_cast<int>(o.timeoutMs), 0, this);
    login.doLogin(o.uuid, o.user, o.key, "p2p-peer " + o.uuid, 0);
  }

  // Empty on success.
  std::string failureText() const { return done ? failure : "the loop ended with the run unfinished"; }

  void handleLoginStatus(LoginEcho::ResponseStatus status, const std::string& reason) override {
    if (status == LoginEcho::NOT_AUTHORIZED) return finish("login refused: " + reason);
    if (status != LoginEcho::OK || loggedIn) return;
    loggedIn = true;
    loginMs = msSince(start);
    say("ready");
    if (o.listen) return;
    phase = "punching";
    hole = std::make_unique<PeerHole>(o.uuid, o.uuid, o.peerUuid, &server, &router);
    hole->punch(this);
  }

  void handleHole(const std::string&, const SocketAddress& address, int32_t) override {
    if (!address.isValid()) {
      if (holeRetries-- < 1) return finish("can't find peer");
      return hole->punch(this);
    }
    punchMs = msSince(start) - loginMs;
    phase = "connecting the stream";
    stream = std::make_unique<PeerStream>(&router, this);
    stream->connect(address);
  }

  void handleAccept(Connect* msg, const SocketAddress& from) override {
    if (!o.listen || stream || !from.isValid()) return;  // one stream per run; repeats are dropped
    phase = "receiving";
    stream = std::make_unique<PeerStream>(&router, this);
    if (!stream->accept(msg, from)) {
      UV_LOG("WARN") << "refused connect from " << from;
      stream.reset();
    }
  }

  void handle_connect() override {
    phase = "streaming";
    streamStart = std::chrono::steady_clock::now();
    pump();
  }

  void handle_recv(ByteBuffer* data) override {
    hash.add(data->array() + data->position(), static_cast<size_t>(data->remaining()));
    received += data->remaining();
    data->position(data->limit());
  }

  void handle_send() override { pump(); }

  void handle_close(const std::string& reason) override {
    if (!reason.empty()) return finish("stream closed: " + reason);
    if (!o.listen && (left > 0 || chunk.hasRemaining())) return finish("stream closed before all bytes were sent");
    const std::string path = stream->getAddress().hasProxy() ? "relay" : "direct";
    if (o.listen) {
      say("sha256=" + hash.hex() + " bytes=" + std::to_string(received) + " path=" + path);
    } else {
      say("sha256=" + hash.hex() + " path=" + path);
      say("ms login=" + std::to_string(loginMs) + " punch=" + std::to_string(punchMs) +
          " stream=" + std::to_string(msSince(streamStart)));
    }
    finish("");
  }

  void handleTimer() override { finish("timed out after " + std::to_string(o.timeoutMs) + " ms while " + phase); }

 private:
  // Hands the stream what it takes; refills the chunk with the next bytes once it is all gone.
  void pump() {
    while (stream && stream->isConnected()) {
      if (chunk.hasRemaining()) {
        stream->send(&chunk);
        if (chunk.hasRemaining()) return;  // the stream is full: on with handle_send
      }
      if (left == 0) return stream->close(false);  // closes once the peer has read everything
      fill();
    }
  }

  void fill() {
    chunk.clear();
    const int32_t n = static_cast<int32_t>(std::min<long long>(left, CHUNK));
    for (int32_t at = 0; at < n; at += 8) {
      const uint64_t word = random();
      for (int32_t i = 0; i < 8 && at + i < n; ++i) chunk.put(static_cast<int8_t>(word >> (8 * i)));
    }
    chunk.flip();
    hash.add(chunk.array(), static_cast<size_t>(n));
    left -= n;
  }

  // Ends the run: `why` is empty on success.
  void finish(const std::string& why) {
    if (done) return;
    done = true;
    failure = why;
    deadline.stop();
    loop.stop();
  }

  UvLoop& loop;
  const Options& o;
  // The engine's order: router, web-server client, acceptor, login.
  UdpRouter router;
  Server server;
  PeerAcceptor acceptor;
  LoginEcho login;
  std::unique_ptr<PeerHole> hole;
  std::unique_ptr<PeerStream> stream;
  UvTimer deadline;

  std::string phase = "logging in";
  bool loggedIn = false;
  bool done = false;
  std::string failure;
  int holeRetries = HOLE_RETRIES;

  ByteBuffer chunk;
  std::mt19937_64 random;
  long long left;
  long long received = 0;
  Sha256 hash;

  const std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point streamStart = start;
  long long loginMs = 0;
  long long punchMs = 0;
};

}  // namespace

int main(int argc, char** argv) {
  Options options;
  try {
    options = parseOptions(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "p2p-peer: %s\n%s", e.what(), kUsage);
    return 2;
  }
  std::string failure;
  try {
    UvLoop loop;
    UvLog::init(&loop, options.verbose, 0, "");
    Peer peer(loop, options);
    loop.run();
    failure = peer.failureText();
  } catch (const std::exception& e) {
    failure = e.what();
  }
  if (failure.empty()) return 0;
  std::fprintf(stderr, "p2p-peer %s: %s\n", options.uuid.c_str(), failure.c_str());
  return 1;
}
