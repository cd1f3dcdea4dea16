#include "p2p/processes/DhGroupGate.h"

#include <exception>

#include "p2p/uv/UvLoop.h"
#include "utils/DH.h"

namespace p2p {

namespace {

std::string groupKey(const std::string& p, const std::string& g) { return p + " " + g; }

const std::string& builtInGroup() {
  static const std::string key = [] {
    DHKeyExchange builtIn;
    builtIn.setPG();
    std::string p;
    std::string g;
    builtIn.getPG(p, g);
    return groupKey(p, g);
  }();
  return key;
}

}  // namespace

bool DhGroupGate::Memo::find(const std::string& key, std::string& value) const {
  auto it = values.find(key);
  if (it == values.end()) return false;
  value = it->second;
  return true;
}

void DhGroupGate::Memo::remember(const std::string& key, const std::string& value) {
  if (!values.emplace(key, value).second) return;
  order.push_back(key);
  if (order.size() > MAX_REMEMBERED) {
    values.erase(order.front());
    order.pop_front();
  }
}

DhGroupGate::DhGroupGate(UvLoop* loop) : loop(loop) {}

std::string DhGroupGate::admit(const std::string& p, const std::string& g, const std::function<int()>& check) {
  const std::string key = groupKey(p, g);
  std::string refusal;
  if (key == builtInGroup() || sound.find(key, refusal)) return std::string();
  if (unsound.find(key, refusal)) return refusal;
  if (!takeCheck()) return TOO_MANY_NEW_GROUPS;
  try {
    const int flags = check();
    if (flags == 0) {
      sound.remember(key, std::string());
      return std::string();
    }
    refusal = "PG error " + std::to_string(flags);
  } catch (const std::exception& e) {
    refusal = std::string("PG error ") + e.what();
  }
  unsound.remember(key, refusal);
  return refusal;
}

bool DhGroupGate::takeCheck() {
  const uint64_t now = loop->now();
  while (!checkTimes.empty() && now - checkTimes.front() >= PERIOD_MS) checkTimes.pop_front();
  if (checkTimes.size() >= static_cast<size_t>(NEW_GROUPS_PER_PERIOD)) return false;
  checkTimes.push_back(now);
  return true;
}

}  // namespace p2p
