#include "ServerState.h"

#include <arpa/inet.h>

#include <algorithm>
#include <ctime>
#include <stdexcept>

#include "Checks.h"
#include "Random.h"
#include "utils/Sha1.h"

namespace {

const size_t MAX_SIGN_INS = 1000;
const int64_t PRUNE_EVERY_MS = 10000;
const size_t TICKET_CODE_LENGTH = 8;

std::string digest(const std::string& in) {
  std::string out;
  Sha1::getInstance().makeEncodedDigest(in, out);
  return out;
}

Computer newComputer(const std::string& uuid) {
  Computer computer;
  computer.uuid = uuid;
  return computer;
}

// A computer that changes account starts over with the challenges of the new one.
void bindTo(Computer& computer, const Account& account) {
  if (computer.accountId != account.id) computer.echoChallenges.clear();
  computer.accountId = account.id;
}

void remember(Computer& computer, int64_t challenge) {
  computer.echoChallenges.push_back(challenge);
  if (computer.echoChallenges.size() > ServerState::ECHO_CHALLENGES)
    computer.echoChallenges.erase(computer.echoChallenges.begin());
}

// A login's challenge is the newest issued, and it counts only until the next login.
void issueLoginChallenge(Computer& computer) {
  std::vector<int64_t>& issued = computer.echoChallenges;
  issued.erase(std::remove(issued.begin(), issued.end(), computer.loginChallenge), issued.end());
  computer.loginChallenge = Random::challenge();
  remember(computer, computer.loginChallenge);
}

// What a refused echo is answered with: building its next key from this, the computer's
// client is accepted again (were it a number never stored, it would stay refused).
int64_t latestChallenge(const Computer& computer) {
  return computer.echoChallenges.empty() ? computer.loginChallenge : computer.echoChallenges.back();
}

}  // namespace

ServerState::ServerState(Store& store) : store(store) {}

ServerState::LoginResult ServerState::login(const std::string& uuid, const std::string& name,
                                            const std::string* key, const std::string& challenge,
                                            const std::string& chkey) {
  std::lock_guard<std::mutex> lock(mutex);
  const std::optional<Account> account = store.findAccount(name);
  if (!account) return {404, 0};
  std::optional<Computer> computer = store.findComputer(uuid);
  const bool keyProven = Checks::sameSecret(digest(challenge + account->key), chkey);
  if (key) {
    if (!Checks::sameSecret(*key, account->key) || !keyProven) return {401, 0};
    if (!computer) computer = newComputer(uuid);
    bindTo(*computer, *account);
  } else {
    if (!computer || computer->accountId != account->id) return {423, 0};
    if (!keyProven) return {401, 0};
  }
  issueLoginChallenge(*computer);
  store.saveComputer(*computer);
  return {200, computer->loginChallenge};
}

int ServerState::registerAccount(const std::string& name, const std::string& key, int64_t& id) {
  std::lock_guard<std::mutex> lock(mutex);
  return store.addAccount(name, key, id) ? 200 : 409;
}

void ServerState::forgotPassword(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex);
  const std::optional<Account> account = store.findAccount(name);
  if (!account) return;
  store.addMail(account->name, "Mirel password reset",
                "A new password was asked for the Mirel account " + account->name +
                    ".\nThe server's operator sets one with: mirelServer --add-user " +
                    account->name + " NEW-PASSWORD\n");
}

bool ServerState::verify(const std::string& myUuid, const std::string& uuid,
                         const std::string& name, const std::string& sig) {
  std::lock_guard<std::mutex> lock(mutex);
  const std::optional<Account> account = loggedInAccount(uuid, name);
  return account && Checks::sameSecret(digest(uuid + myUuid + name + account->key), sig);
}

bool ServerState::signIn(const std::string& uuid, const std::string& email,
                         const std::string& password, int64_t nowMs) {
  std::string key;
  Sha1::getInstance().encodePassword(email, password, key);
  std::lock_guard<std::mutex> lock(mutex);
  const std::optional<Account> account = store.findAccount(email);
  if (!account || !Checks::sameSecret(key, account->key)) return false;
  Computer computer = store.findComputer(uuid).value_or(newComputer(uuid));
  bindTo(computer, *account);
  issueLoginChallenge(computer);
  store.saveComputer(computer);

  prune(nowMs);
  if (signIns.size() >= MAX_SIGN_INS && !signIns.count(uuid)) signIns.erase(signIns.begin());
  signIns[uuid] = {SignIn{account->name, account->key, computer.loginChallenge},
                   nowMs + SIGN_IN_MS};
  return true;
}

ServerState::SignIn ServerState::takeSignIn(const std::string& uuid, int64_t nowMs) {
  std::lock_guard<std::mutex> lock(mutex);
  auto it = signIns.find(uuid);
  if (it == signIns.end()) return SignIn();
  // The key goes out once: anyone may know a computer's uuid.
  const bool fresh = nowMs <= it->second.second;
  SignIn result = fresh ? it->second.first : SignIn();
  signIns.erase(it);
  return result;
}

std::optional<std::string> ServerState::createTicket(const std::string& uuid,
                                                     const std::string& userName,
                                                     const std::string& toUserName,
                                                     const std::string& text, bool sendMail) {
  std::lock_guard<std::mutex> lock(mutex);
  // Anyone may know a computer's uuid; only its own user offers from it.
  if (!loggedInAccount(uuid, userName)) return std::nullopt;
  Ticket ticket{"", userName, uuid, toUserName, text, static_cast<int64_t>(time(nullptr))};
  bool stored = false;
  for (int attempt = 0; attempt < 10 && !stored; ++attempt) {
    ticket.code = Random::code(TICKET_CODE_LENGTH);
    stored = store.addTicket(ticket);
  }
  if (!stored) throw std::runtime_error("no free ticket code");
  if (sendMail) {
    std::string body =
        userName + " offers you files with Mirel.\nTicket code: " + ticket.code + "\n";
    if (!text.empty()) body += "\n" + text + "\n";
    store.addMail(toUserName, userName + " offers you files", body);
  }
  return ticket.code;
}

std::optional<ServerState::TicketAnswer> ServerState::getTicket(const std::string& code,
                                                                const std::string& uuid,
                                                                const std::string& userName) {
  std::lock_guard<std::mutex> lock(mutex);
  const std::optional<Ticket> ticket = store.findTicket(code);
  if (!ticket) return std::nullopt;
  // The answer tells where the sender's computer is: a code alone is not enough to learn it.
  const std::optional<Account> asking = loggedInAccount(uuid, userName);
  const std::optional<Account> recipient = store.findAccount(ticket->toUser);
  if (!asking || !recipient || asking->id != recipient->id) return std::nullopt;
  TicketAnswer answer;
  answer.userName = ticket->fromUser;
  answer.uuid = ticket->fromUuid;
  if (const std::optional<Computer> computer = store.findComputer(ticket->fromUuid)) {
    answer.computerName = computer->name;
    answer.ip = computer->ip;
    answer.internalIp = computer->internalIp;
    answer.port = computer->port;
  }
  return answer;
}

ServerState::EchoResult ServerState::echo(const Echo& echo, const sockaddr_in& from,
                                          int64_t nowMs) {
  EchoResult result;
  // No challenge of a computer that never logged in can be accepted, and none is stored for it:
  // unknown identities cost no memory. A fresh one lets its client send a keyed echo, whose
  // refusal tells it that it is not authorized.
  result.challenge = Random::challenge();
  if (!Checks::isUuid(echo.uuid)) return result;

  std::lock_guard<std::mutex> lock(mutex);
  prune(nowMs);
  std::optional<Computer> computer = store.findComputer(echo.uuid);
  if (!computer) return result;
  // Only a proven echo earns a stored challenge: uuids are public, and unproven echoes that
  // pushed challenges would evict the real computer's and log it out.
  if (!echoIsProven(*computer, echo)) {
    result.challenge = latestChallenge(*computer);
    return result;
  }
  result.code = 1;
  remember(*computer, result.challenge);
  computer->name = Checks::isPlain(echo.computer, Checks::MAX_FIELD) ? echo.computer : "";
  computer->internalIp = Checks::isPlain(echo.internalIp, Checks::MAX_FIELD) ? echo.internalIp : "";
  computer->ip = ipText(from);
  computer->port = ntohs(from.sin_port);
  markLive(echo.uuid, from, nowMs);
  store.saveComputer(*computer);
  return result;
}

bool ServerState::echoedFrom(const std::string& uuid, const sockaddr_in& from, int64_t nowMs) {
  std::lock_guard<std::mutex> lock(mutex);
  return liveUuidAt(from, nowMs) == uuid;
}

// The account of that name, when the computer is bound to it: by its last login with the key
// or browser sign-in, which later logins without the key keep.
std::optional<Account> ServerState::loggedInAccount(const std::string& uuid,
                                                    const std::string& userName) {
  std::optional<Account> account = store.findAccount(userName);
  const std::optional<Computer> computer = store.findComputer(uuid);
  if (!account || !computer || computer->accountId != account->id) return std::nullopt;
  return account;
}

bool ServerState::echoIsProven(const Computer& computer, const Echo& echo) {
  if (!Checks::isName(echo.userName) || !Checks::isDigest(echo.key)) return false;
  // Refused echoes are answered with the computer's challenges, so anyone may know them: only
  // the key of the account it is logged in as proves anything.
  const std::optional<Account> account = store.findAccount(echo.userName);
  return account && account->id == computer.accountId &&
         echoKeyMatches(computer, *account, echo.key);
}

bool ServerState::echoKeyMatches(const Computer& computer, const Account& account,
                                 const std::string& key) {
  std::vector<int64_t> issued = computer.echoChallenges;
  issued.push_back(computer.loginChallenge);
  for (int64_t challenge : issued)
    if (challenge != 0 && Checks::sameSecret(digest(std::to_string(challenge) + account.key), key))
      return true;
  return false;
}

void ServerState::markLive(const std::string& uuid, const sockaddr_in& from, int64_t nowMs) {
  auto it = live.find(uuid);
  if (it != live.end() && keyOf(it->second.address) != keyOf(from)) {
    auto old = uuidAt.find(keyOf(it->second.address));
    if (old != uuidAt.end() && old->second == uuid) uuidAt.erase(old);
  }
  live[uuid] = Live{from, nowMs};
  uuidAt[keyOf(from)] = uuid;
}

std::optional<sockaddr_in> ServerState::liveAddress(const std::string& uuid, int64_t nowMs) {
  std::lock_guard<std::mutex> lock(mutex);
  auto it = live.find(uuid);
  if (it == live.end() || nowMs - it->second.lastEchoMs > LIVE_MS) return std::nullopt;
  return it->second.address;
}

std::optional<std::string> ServerState::liveUuidAt(const sockaddr_in& address, int64_t nowMs) {
  auto at = uuidAt.find(keyOf(address));
  if (at == uuidAt.end()) return std::nullopt;
  auto it = live.find(at->second);
  if (it == live.end() || keyOf(it->second.address) != keyOf(address) ||
      nowMs - it->second.lastEchoMs > LIVE_MS)
    return std::nullopt;
  return at->second;
}

ServerState::Relay ServerState::relay(const sockaddr_in& from, const sockaddr_in& to, size_t bytes,
                                      int64_t nowMs) {
  std::lock_guard<std::mutex> lock(mutex);
  prune(nowMs);
  const std::optional<std::string> sender = liveUuidAt(from, nowMs);
  const std::optional<std::string> receiver = liveUuidAt(to, nowMs);
  if (!sender || !receiver || *sender == *receiver) return Relay::refused;

  const AddressKey a = keyOf(from);
  const AddressKey b = keyOf(to);
  const std::pair<AddressKey, AddressKey> pair(std::min(a, b), std::max(a, b));
  auto it = relayPairs.find(pair);
  const bool first = it == relayPairs.end();
  if (first)
    it = relayPairs.emplace(pair, Bucket{static_cast<double>(RELAY_BURST_BYTES), nowMs}).first;
  Bucket& bucket = it->second;
  const int64_t elapsed = std::max<int64_t>(0, nowMs - bucket.lastMs);
  bucket.tokens = std::min<double>(RELAY_BURST_BYTES,
                                   bucket.tokens + elapsed * (RELAY_BYTES_PER_SECOND / 1000.0));
  bucket.lastMs = nowMs;
  if (bucket.tokens < static_cast<double>(bytes)) return Relay::overRate;
  bucket.tokens -= static_cast<double>(bytes);
  return first ? Relay::forwardFirst : Relay::forward;
}

void ServerState::prune(int64_t nowMs) {
  if (nowMs - lastPruneMs < PRUNE_EVERY_MS) return;
  lastPruneMs = nowMs;
  for (auto it = live.begin(); it != live.end();) {
    if (nowMs - it->second.lastEchoMs > LIVE_MS) {
      auto at = uuidAt.find(keyOf(it->second.address));
      if (at != uuidAt.end() && at->second == it->first) uuidAt.erase(at);
      it = live.erase(it);
    } else {
      ++it;
    }
  }
  for (auto it = relayPairs.begin(); it != relayPairs.end();)
    it = (nowMs - it->second.lastMs > LIVE_MS) ? relayPairs.erase(it) : std::next(it);
  for (auto it = signIns.begin(); it != signIns.end();)
    it = (nowMs > it->second.second) ? signIns.erase(it) : std::next(it);
}

ServerState::AddressKey ServerState::keyOf(const sockaddr_in& address) {
  return (static_cast<uint64_t>(ntohl(address.sin_addr.s_addr)) << 16) | ntohs(address.sin_port);
}

std::string ServerState::ipText(const sockaddr_in& address) {
  char text[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
  return text;
}
