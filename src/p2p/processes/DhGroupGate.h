// Which Diffie-Hellman groups from peers the engine spends a soundness check on.
//
// Checking a new 2048-bit group costs about a quarter of a second on the loop thread, so a
// stranger who offers a fresh group with every connect could stall every transfer. The gate
// lets the built-in group through unchecked, remembers the groups it has checked, and checks
// at most a few new ones per minute of the loop's clock; a connect offering yet another is
// refused. One gate per engine (the router keeps it). Loop thread only.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>

namespace p2p {

class UvLoop;

class DhGroupGate {
 public:
  static constexpr int NEW_GROUPS_PER_PERIOD = 4;
  static constexpr uint64_t PERIOD_MS = 60000;
  // Groups remembered as sound, and as unsound, each; the oldest is forgotten first.
  static constexpr size_t MAX_REMEMBERED = 64;
  static constexpr const char* TOO_MANY_NEW_GROUPS = "PG error: too many new groups, try later";

  explicit DhGroupGate(UvLoop* loop);

  // p and g in decimal. `check` runs the costly check of the group as installed and returns
  // its flags (0 when sound), or throws. Empty when the group may be used; otherwise the
  // reason for refusing it, fit to tell the peer.
  std::string admit(const std::string& p, const std::string& g, const std::function<int()>& check);

 private:
  // A bounded record, first in first out.
  class Memo {
   public:
    bool find(const std::string& key, std::string& value) const;
    void remember(const std::string& key, const std::string& value);
    size_t size() const { return values.size(); }

   private:
    std::map<std::string, std::string> values;
    std::deque<std::string> order;
  };

  bool takeCheck();

  UvLoop* loop;
  Memo sound;    // value unused
  Memo unsound;  // value: the refusal
  std::deque<uint64_t> checkTimes;  // of the checks within the last period
};

}  // namespace p2p
