#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

struct Account {
  int64_t id = 0;
  std::string name;  // an e-mail address; unique whatever the letter case
  std::string key;   // the user key, 40 lowercase hex characters; never a password
};

struct Computer {
  std::string uuid;
  int64_t accountId = 0;  // the account this computer logged in as
  int64_t loginChallenge = 0;
  std::vector<int64_t> echoChallenges;  // the last issued, a login's among them; the newest last
  // From the last accepted echo; empty and 0 until one came.
  std::string name;
  std::string ip;
  int port = 0;
  std::string internalIp;
};

struct Ticket {
  std::string code;
  std::string fromUser;
  std::string fromUuid;
  std::string toUser;
  std::string text;
  int64_t created = 0;  // seconds since the epoch
};

// A mail the stand-in would send; it only keeps them.
struct Mail {
  int64_t id = 0;
  std::string recipient;
  std::string subject;
  std::string body;
  int64_t created = 0;
};

// The server's durable state in one SQLite file. Every call is one statement or one
// transaction; failures throw std::runtime_error. Callers serialise access themselves.
class Store {
 public:
  explicit Store(const std::string& path);
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  std::optional<Account> findAccount(const std::string& name);
  // False when an account of that name exists already.
  bool addAccount(const std::string& name, const std::string& key, int64_t& id);
  // Creates the account or replaces its key.
  void putAccount(const std::string& name, const std::string& key);

  std::optional<Computer> findComputer(const std::string& uuid);
  void saveComputer(const Computer& computer);

  // False when the code is taken.
  bool addTicket(const Ticket& ticket);
  std::optional<Ticket> findTicket(const std::string& code);

  void addMail(const std::string& recipient, const std::string& subject, const std::string& body);
  std::vector<Mail> mails();

 private:
  void exec(const char* sql);

  sqlite3* db = nullptr;
};
