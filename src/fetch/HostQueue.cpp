#include "fetch/HostQueue.h"

#include <algorithm>

namespace orvanel {

HostQueue::HostQueue(int per_host, std::chrono::milliseconds delay, std::uint64_t spare)
    : per_host_(std::max(1, per_host)), delay_(delay), spare_(spare) {}

void HostQueue::Unfile(Entry& entry) {
  Host& host = entry.second;
  if (host.filed == Host::Filed::kReady) ready_.erase({host.filed_ticket, &entry});
  if (host.filed == Host::Filed::kCrowded) crowded_.erase({host.filed_ticket, &entry});
  if (host.filed == Host::Filed::kDelayed) delayed_.erase({host.filed_time, &entry});
  host.filed = Host::Filed::kNowhere;
}

void HostQueue::Place(Entry& entry, Clock::time_point now) {
  Unfile(entry);
  Host& host = entry.second;
  if (host.waiting.empty() || host.running >= host.limit) return;
  if (host.next_start > now) {
    host.filed = Host::Filed::kDelayed;
    host.filed_time = host.next_start;
    delayed_.insert({host.next_start, &entry});
  } else {
    // Running some, and another would open a connection although it answers.
    const bool crowded = host.running > 0 && !host.unanswered && WouldConnect(host);
    host.filed = crowded ? Host::Filed::kCrowded : Host::Filed::kReady;
    host.filed_ticket = host.waiting.front();
    (crowded ? crowded_ : ready_).insert({host.filed_ticket, &entry});
  }
}

void HostQueue::Promote(Clock::time_point now) {
  last_now_ = std::max(last_now_, now);
  while (!delayed_.empty() && delayed_.begin()->first <= now) Place(*delayed_.begin()->second, now);
  while (!resting_.empty() && resting_.begin()->first <= now) {
    const std::string name = resting_.begin()->second;
    resting_.erase(resting_.begin());
    const auto it = hosts_.find(name);
    if (it != hosts_.end()) ForgetIfIdle(*it);
  }
}

void HostQueue::ForgetIfIdle(Entry& entry) {
  Host& host = entry.second;
  if (host.running > 0 || !host.waiting.empty()) return;
  if (host.next_start > last_now_) {
    // Its next start must still wait: remembered until then.
    resting_.insert({host.next_start, entry.first});
    return;
  }
  Unfile(entry);
  hosts_.erase(entry.first);
}

HostQueue::Entry& HostQueue::Find(const std::string& name) {
  auto [it, fresh] = hosts_.try_emplace(name);
  if (fresh) it->second.limit = per_host_;
  return *it;
}

void HostQueue::Narrow(const std::string& name) {
  Entry& entry = Find(name);
  entry.second.limit = 1;
  Place(entry, last_now_);
}

void HostQueue::Widen(const std::string& name) {
  auto it = hosts_.find(name);
  if (it == hosts_.end()) return;
  it->second.limit = per_host_;
  Place(*it, last_now_);
}

void HostQueue::Connected(const std::string& name, bool connected) {
  auto it = hosts_.find(name);
  if (it == hosts_.end() || it->second.unanswered == !connected) return;
  it->second.unanswered = !connected;
  Place(*it, last_now_);
}

void HostQueue::Multiplexes(const std::string& name) {
  auto it = hosts_.find(name);
  if (it == hosts_.end() || it->second.multiplexed) return;
  it->second.multiplexed = true;
  Place(*it, last_now_);
}

void HostQueue::Add(Ticket ticket, const std::string& name) {
  Entry& entry = Find(name);
  Host& host = entry.second;
  // Tickets come in order, except for retries and redirects: keep each queue in order.
  auto at = host.waiting.end();
  while (at != host.waiting.begin() && *std::prev(at) > ticket) --at;
  host.waiting.insert(at, ticket);
  where_[ticket] = &entry;
  Place(entry, last_now_);
}

const std::pair<HostQueue::Ticket, HostQueue::Entry*>* HostQueue::Chosen() const {
  if (crowded_.empty()) return ready_.empty() ? nullptr : &*ready_.begin();
  const auto& crowded = *crowded_.begin();
  if (ready_.empty()) return &crowded;
  const auto& ready = *ready_.begin();
  // A crowded host waits only behind tickets at most `spare_` younger than its own.
  return crowded.first < ready.first && ready.first - crowded.first > spare_ ? &crowded : &ready;
}

std::optional<HostQueue::Ticket> HostQueue::Peek(Clock::time_point now) {
  Promote(now);
  const auto* chosen = Chosen();
  if (!chosen) return std::nullopt;
  return chosen->first;
}

std::optional<std::pair<HostQueue::Ticket, std::string>> HostQueue::Next(Clock::time_point now) {
  Promote(now);
  const auto* chosen = Chosen();
  if (!chosen) return std::nullopt;
  Entry& entry = *chosen->second;
  Host& host = entry.second;
  const Ticket ticket = host.waiting.front();
  host.waiting.pop_front();
  where_.erase(ticket);
  ++host.running;
  host.peak = std::max(host.peak, host.running);
  if (delay_.count() > 0) host.next_start = now + delay_;
  Place(entry, now);
  return std::pair{ticket, entry.first};
}

bool HostQueue::WouldConnect(const Host& host) {
  return !host.multiplexed && (host.unanswered || host.running >= host.peak);
}

bool HostQueue::WouldConnect(const std::string& name) const {
  const auto it = hosts_.find(name);
  return it == hosts_.end() || WouldConnect(it->second);
}

void HostQueue::Finished(const std::string& name) {
  auto it = hosts_.find(name);
  if (it == hosts_.end()) return;
  --it->second.running;
  Place(*it, last_now_);
  ForgetIfIdle(*it);
}

bool HostQueue::Remove(Ticket ticket) {
  const auto w = where_.find(ticket);
  if (w == where_.end()) return false;
  Entry& entry = *w->second;
  where_.erase(w);
  Host& host = entry.second;
  host.waiting.erase(std::find(host.waiting.begin(), host.waiting.end(), ticket));
  Place(entry, last_now_);
  ForgetIfIdle(entry);
  return true;
}

std::optional<HostQueue::Clock::time_point> HostQueue::NextDue() const {
  if (delayed_.empty()) return std::nullopt;
  return delayed_.begin()->first;
}

}  // namespace orvanel
