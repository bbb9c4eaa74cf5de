#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>

namespace orvanel {

// The transfers waiting to start, queued by host. A host's tickets start in ticket order,
// at most `per_host` at once, and, with a delay, each start at least `delay` after the
// host's last one. Picking the next costs O(log hosts), whatever is waiting; a host with
// nothing running and nothing waiting is forgotten.
//
// Across hosts the oldest ticket goes first, except that a host running as many
// transfers as it ever has at once (its connections are all busy: another start would
// open one more) waits behind the others while they have tickets at most `spare` younger
// than its own. Over many hosts that saves most new connections; with one host, or none
// other ready, it changes nothing. A host whose transfers share a connection (HTTP/2)
// never waits so, nor one whose last attempt did not connect: the pages of a host that
// does not answer are tried side by side.
//
// Threads: not thread-safe; the fetcher's worker owns it.
class HostQueue {
 public:
  using Ticket = std::uint64_t;
  using Clock = std::chrono::steady_clock;

  HostQueue(int per_host, std::chrono::milliseconds delay, std::uint64_t spare = 0);

  void Add(Ticket ticket, const std::string& host);
  // The ticket that goes next at `now` (the oldest that may start, but for a host whose
  // connections are busy; see above), without taking it.
  std::optional<Ticket> Peek(Clock::time_point now);
  // Takes that ticket: its host counts it as running from `now`. Returns its host.
  std::optional<std::pair<Ticket, std::string>> Next(Clock::time_point now);
  // A running transfer of `host` ended.
  void Finished(const std::string& host);
  // Lets `host` run one transfer at a time until Widen (a host not yet reached: its first
  // connection tells whether its others can share it), or `per_host` again.
  void Narrow(const std::string& host);
  void Widen(const std::string& host);
  // A transfer of `host` connected, or one ended without connecting (see above).
  void Connected(const std::string& host, bool connected);
  // `host` answered over a connection its transfers share: more of them open none.
  void Multiplexes(const std::string& host);
  // Whether another transfer of `host` would open a connection: it runs as many as it ever
  // has at once (all it keeps are busy, or it keeps none yet) or its last transfer ended
  // without connecting, and its transfers do not share one.
  bool WouldConnect(const std::string& host) const;
  // Takes a waiting ticket out; false when it is not waiting here.
  bool Remove(Ticket ticket);
  // When the first host held back by the delay alone may start; nullopt when none is.
  std::optional<Clock::time_point> NextDue() const;

  std::size_t Waiting() const { return where_.size(); }
  std::size_t Hosts() const { return hosts_.size(); }

 private:
  struct Host {
    int running = 0;
    int limit = 0;
    int peak = 0;             // the most it has run at once: about the connections it keeps
    bool unanswered = false;  // its last transfer to end unconnected ended so
    bool multiplexed = false;
    std::deque<Ticket> waiting;  // in ticket order
    Clock::time_point next_start{};
    enum class Filed { kNowhere, kReady, kCrowded, kDelayed } filed = Filed::kNowhere;
    Ticket filed_ticket = 0;
    Clock::time_point filed_time{};
  };
  using HostMap = std::unordered_map<std::string, Host>;
  // A host as the queues file it: its entry in hosts_, which stays where it is until the
  // host is forgotten (and a host is taken off every queue but resting_ before that).
  using Entry = HostMap::value_type;
  static bool WouldConnect(const Host& host);

  Entry& Find(const std::string& name);  // made when new
  // Files a host where its state says: ready, held back by the delay, or neither.
  void Place(Entry& entry, Clock::time_point now);
  void Unfile(Entry& entry);
  void Promote(Clock::time_point now);  // delayed hosts whose time has come
  void ForgetIfIdle(Entry& entry);
  // The ready host whose ticket goes next; nullptr when none is.
  const std::pair<Ticket, Entry*>* Chosen() const;

  int per_host_;
  std::chrono::milliseconds delay_;
  std::uint64_t spare_;
  Clock::time_point last_now_{};
  HostMap hosts_;
  std::unordered_map<Ticket, Entry*> where_;                // waiting ticket -> host
  std::set<std::pair<Ticket, Entry*>> ready_;               // by oldest waiting ticket
  std::set<std::pair<Ticket, Entry*>> crowded_;             // the same, connections busy
  std::set<std::pair<Clock::time_point, Entry*>> delayed_;  // by time it may start
  // Hosts with nothing to do, remembered until their delay is over; by name, as a host
  // may be forgotten and made again in the meantime.
  std::set<std::pair<Clock::time_point, std::string>> resting_;
};

}  // namespace orvanel
