#include "Store.h"

#include <sqlite3.h>

#include <ctime>
#include <sstream>
#include <stdexcept>

namespace {

[[noreturn]] void fail(sqlite3* db, const char* what) {
  throw std::runtime_error(std::string("sqlite ") + what + ": " +
                           (db ? sqlite3_errmsg(db) : "out of memory"));
}

// One prepared statement, finalized on every path.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) : db(db) {
    if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK) fail(db, "prepare");
  }
  ~Statement() { sqlite3_finalize(stmt); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& bind(int index, const std::string& value) {
    check(sqlite3_bind_text(stmt, index, value.data(), static_cast<int>(value.size()),
                            SQLITE_TRANSIENT));
    return *this;
  }
  Statement& bind(int index, int64_t value) {
    check(sqlite3_bind_int64(stmt, index, value));
    return *this;
  }

  // True while a row is available.
  bool step() {
    const int status = sqlite3_step(stmt);
    if (status == SQLITE_ROW) return true;
    if (status == SQLITE_DONE) return false;
    fail(db, "step");
  }
  // False when a uniqueness constraint refused the row.
  bool tryStep() {
    const int status = sqlite3_step(stmt);
    if (status == SQLITE_DONE) return true;
    if (status == SQLITE_CONSTRAINT) return false;
    fail(db, "step");
  }

  std::string text(int column) {
    const unsigned char* value = sqlite3_column_text(stmt, column);
    const int size = sqlite3_column_bytes(stmt, column);
    return value ? std::string(reinterpret_cast<const char*>(value), size) : std::string();
  }
  int64_t integer(int column) { return sqlite3_column_int64(stmt, column); }

 private:
  void check(int status) {
    if (status != SQLITE_OK) fail(db, "bind");
  }

  sqlite3* db;
  sqlite3_stmt* stmt = nullptr;
};

std::string joinChallenges(const std::vector<int64_t>& challenges) {
  std::ostringstream out;
  for (size_t i = 0; i < challenges.size(); ++i) out << (i ? " " : "") << challenges[i];
  return out.str();
}

std::vector<int64_t> splitChallenges(const std::string& text) {
  std::vector<int64_t> challenges;
  std::istringstream in(text);
  int64_t value;
  while (in >> value) challenges.push_back(value);
  return challenges;
}

}  // namespace

Store::Store(const std::string& path) {
  if (sqlite3_open_v2(path.c_str(), &db,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                      nullptr) != SQLITE_OK) {
    const std::string message =
        std::string("sqlite open ") + path + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
    sqlite3_close(db);
    throw std::runtime_error(message);
  }
  try {
    sqlite3_busy_timeout(db, 5000);
    // WAL keeps a commit from waiting for the disk, which the rendezvous thread would feel.
    exec("PRAGMA journal_mode=WAL");
    exec("PRAGMA synchronous=NORMAL");
    exec(
        "CREATE TABLE IF NOT EXISTS accounts("
        " id INTEGER PRIMARY KEY,"
        " name TEXT NOT NULL UNIQUE COLLATE NOCASE,"
        " key TEXT NOT NULL,"
        " created INTEGER NOT NULL)");
    exec(
        "CREATE TABLE IF NOT EXISTS computers("
        " uuid TEXT PRIMARY KEY,"
        " account INTEGER NOT NULL,"
        " login_challenge INTEGER NOT NULL,"
        " echo_challenges TEXT NOT NULL,"
        " name TEXT NOT NULL,"
        " ip TEXT NOT NULL,"
        " port INTEGER NOT NULL,"
        " internal_ip TEXT NOT NULL)");
    exec(
        "CREATE TABLE IF NOT EXISTS tickets("
        " code TEXT PRIMARY KEY,"
        " from_user TEXT NOT NULL,"
        " from_uuid TEXT NOT NULL,"
        " to_user TEXT NOT NULL,"
        " text TEXT NOT NULL,"
        " created INTEGER NOT NULL)");
    exec(
        "CREATE TABLE IF NOT EXISTS outbox("
        " id INTEGER PRIMARY KEY,"
        " recipient TEXT NOT NULL,"
        " subject TEXT NOT NULL,"
        " body TEXT NOT NULL,"
        " created INTEGER NOT NULL)");
  } catch (...) {
    sqlite3_close(db);
    throw;
  }
}

Store::~Store() { sqlite3_close(db); }

void Store::exec(const char* sql) {
  char* error = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
    const std::string message = std::string("sqlite exec: ") + (error ? error : "?");
    sqlite3_free(error);
    throw std::runtime_error(message);
  }
}

std::optional<Account> Store::findAccount(const std::string& name) {
  Statement s(db, "SELECT id, name, key FROM accounts WHERE name = ?");
  s.bind(1, name);
  if (!s.step()) return std::nullopt;
  return Account{s.integer(0), s.text(1), s.text(2)};
}

bool Store::addAccount(const std::string& name, const std::string& key, int64_t& id) {
  Statement s(db, "INSERT INTO accounts(name, key, created) VALUES(?, ?, ?)");
  s.bind(1, name).bind(2, key).bind(3, static_cast<int64_t>(time(nullptr)));
  if (!s.tryStep()) return false;
  id = sqlite3_last_insert_rowid(db);
  return true;
}

void Store::putAccount(const std::string& name, const std::string& key) {
  Statement s(db,
              "INSERT INTO accounts(name, key, created) VALUES(?, ?, ?)"
              " ON CONFLICT(name) DO UPDATE SET key = excluded.key");
  s.bind(1, name).bind(2, key).bind(3, static_cast<int64_t>(time(nullptr)));
  s.step();
}

std::optional<Computer> Store::findComputer(const std::string& uuid) {
  Statement s(db,
              "SELECT account, login_challenge, echo_challenges, name, ip, port, internal_ip"
              " FROM computers WHERE uuid = ?");
  s.bind(1, uuid);
  if (!s.step()) return std::nullopt;
  Computer c;
  c.uuid = uuid;
  c.accountId = s.integer(0);
  c.loginChallenge = s.integer(1);
  c.echoChallenges = splitChallenges(s.text(2));
  c.name = s.text(3);
  c.ip = s.text(4);
  c.port = static_cast<int>(s.integer(5));
  c.internalIp = s.text(6);
  return c;
}

void Store::saveComputer(const Computer& c) {
  Statement s(db,
              "INSERT OR REPLACE INTO computers(uuid, account, login_challenge, echo_challenges,"
              " name, ip, port, internal_ip) VALUES(?, ?, ?, ?, ?, ?, ?, ?)");
  s.bind(1, c.uuid)
      .bind(2, c.accountId)
      .bind(3, c.loginChallenge)
      .bind(4, joinChallenges(c.echoChallenges))
      .bind(5, c.name)
      .bind(6, c.ip)
      .bind(7, static_cast<int64_t>(c.port))
      .bind(8, c.internalIp);
  s.step();
}

bool Store::addTicket(const Ticket& t) {
  Statement s(db,
              "INSERT INTO tickets(code, from_user, from_uuid, to_user, text, created)"
              " VALUES(?, ?, ?, ?, ?, ?)");
  s.bind(1, t.code).bind(2, t.fromUser).bind(3, t.fromUuid).bind(4, t.toUser).bind(5, t.text);
  s.bind(6, t.created);
  return s.tryStep();
}

std::optional<Ticket> Store::findTicket(const std::string& code) {
  Statement s(db,
              "SELECT code, from_user, from_uuid, to_user, text, created FROM tickets"
              " WHERE code = ?");
  s.bind(1, code);
  if (!s.step()) return std::nullopt;
  return Ticket{s.text(0), s.text(1), s.text(2), s.text(3), s.text(4), s.integer(5)};
}

void Store::addMail(const std::string& recipient, const std::string& subject,
                    const std::string& body) {
  Statement s(db, "INSERT INTO outbox(recipient, subject, body, created) VALUES(?, ?, ?, ?)");
  s.bind(1, recipient).bind(2, subject).bind(3, body).bind(4, static_cast<int64_t>(time(nullptr)));
  s.step();
}

std::vector<Mail> Store::mails() {
  Statement s(db, "SELECT id, recipient, subject, body, created FROM outbox ORDER BY id");
  std::vector<Mail> result;
  while (s.step())
    result.push_back(Mail{s.integer(0), s.text(1), s.text(2), s.text(3), s.integer(4)});
  return result;
}
