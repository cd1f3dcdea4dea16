#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

#include "Store.h"

// Everything the HTTPS workers and the rendezvous thread share: the store and what is
// known about live computers, behind one lock. Values arrive checked for shape (see
// Checks); this class decides what they mean. Times are steady-clock milliseconds.
class ServerState {
 public:
  static constexpr int64_t LIVE_MS = 61000;  // an echo keeps a computer reachable this long
  // The last challenges issued to a computer that count, a login's among them.
  static constexpr size_t ECHO_CHALLENGES = 3;
  static constexpr int64_t SIGN_IN_MS = 600000;  // a browser sign-in waits this long to be fetched
  static constexpr int64_t RELAY_BYTES_PER_SECOND = 64 * 1024 * 1024;
  static constexpr int64_t RELAY_BURST_BYTES = 8 * 1024 * 1024;

  explicit ServerState(Store& store);

  struct LoginResult {
    int status = 0;  // 200, 401, 404 or 423
    int64_t challenge = 0;
  };
  // `key` is null when the request carried none.
  LoginResult login(const std::string& uuid, const std::string& name, const std::string* key,
                    const std::string& challenge, const std::string& chkey);
  // 200 with the new account's id, or 409.
  int registerAccount(const std::string& name, const std::string& key, int64_t& id);
  // Queues a reset mail when the account exists; says nothing either way.
  void forgotPassword(const std::string& name);
  bool verify(const std::string& myUuid, const std::string& uuid, const std::string& name,
              const std::string& sig);

  struct SignIn {
    std::string name;
    std::string key;
    int64_t challenge = 0;
  };
  // The browser form: binds the computer to the account when the password is right.
  bool signIn(const std::string& uuid, const std::string& email, const std::string& password,
              int64_t nowMs);
  // The completed sign-in of that computer, handed out once; empty before.
  SignIn takeSignIn(const std::string& uuid, int64_t nowMs);

  // The new ticket's code; nothing when `uuid` is not logged in as `userName`.
  std::optional<std::string> createTicket(const std::string& uuid, const std::string& userName,
                                          const std::string& toUserName, const std::string& text,
                                          bool sendMail);
  struct TicketAnswer {
    std::string userName;
    std::string computerName;
    std::string uuid;
    std::string ip;
    std::string internalIp;
    int port = 0;
  };
  // The sender of ticket `code`, told only to its recipient asking from a computer logged in
  // as that user (`uuid`, `userName`); nothing for an unknown code and for anyone else alike.
  std::optional<TicketAnswer> getTicket(const std::string& code, const std::string& uuid,
                                        const std::string& userName);

  struct Echo {
    std::string uuid;
    std::string userName;
    std::string key;
    std::string computer;
    std::string internalIp;
  };
  struct EchoResult {
    int code = 0;
    int64_t challenge = 0;
  };
  // Accepts an echo whose key proves the account the computer is logged in as, built from one
  // of the computer's challenges. The answer's challenge is one that a computer that logged in
  // can build an accepted key from: a new one for an accepted echo, its latest for a refused one.
  EchoResult echo(const Echo& echo, const sockaddr_in& from, int64_t nowMs);
  // Whether `from` is where `uuid` made its last accepted echo, within LIVE_MS.
  bool echoedFrom(const std::string& uuid, const sockaddr_in& from, int64_t nowMs);
  // The public address of a computer that echoed within LIVE_MS.
  std::optional<sockaddr_in> liveAddress(const std::string& uuid, int64_t nowMs);
  enum class Relay { refused, overRate, forward, forwardFirst };
  // Whether `bytes` may go from `from` to `to` through the relay: both must be live
  // computers' echo addresses, and the pair within its rate. `forwardFirst` marks the
  // first datagram of a pair.
  Relay relay(const sockaddr_in& from, const sockaddr_in& to, size_t bytes, int64_t nowMs);

  static std::string ipText(const sockaddr_in& address);

 private:
  struct Live {
    sockaddr_in address;
    int64_t lastEchoMs;
  };
  struct Bucket {
    double tokens;
    int64_t lastMs;
  };
  using AddressKey = uint64_t;
  static AddressKey keyOf(const sockaddr_in& address);

  std::optional<Account> loggedInAccount(const std::string& uuid, const std::string& userName);
  bool echoIsProven(const Computer& computer, const Echo& echo);
  bool echoKeyMatches(const Computer& computer, const Account& account, const std::string& key);
  void markLive(const std::string& uuid, const sockaddr_in& from, int64_t nowMs);
  std::optional<std::string> liveUuidAt(const sockaddr_in& address, int64_t nowMs);
  void prune(int64_t nowMs);

  std::mutex mutex;
  Store& store;
  std::unordered_map<std::string, Live> live;
  std::unordered_map<AddressKey, std::string> uuidAt;
  std::map<std::string, std::pair<SignIn, int64_t>> signIns;  // with the expiry
  std::map<std::pair<AddressKey, AddressKey>, Bucket> relayPairs;
  int64_t lastPruneMs = 0;
};
