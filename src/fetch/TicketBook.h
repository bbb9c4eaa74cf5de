#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <unordered_set>
#include <vector>

#include "fetch/Fetcher.h"
#include "fetch/TransferTarget.h"

namespace orvanel {

// Who holds which ticket: the requests handed in and not yet picked up by the worker, the
// results waiting to be taken, the tickets abandoned. This is the only state the callers'
// threads and the fetcher's worker share; every member is guarded by one mutex, except
// the oldest wanted ticket, which is also kept in an atomic for the worker's many looks.
class TicketBook {
 public:
  using Ticket = Fetcher::Ticket;
  struct Submission {
    Ticket ticket = 0;
    FetchRequest request;
    TransferTarget target;  // read on the caller's thread
  };

  explicit TicketBook(std::size_t max_outstanding) : max_outstanding_(max_outstanding) {}

  // --- Any thread.
  // Throws std::length_error when max_outstanding results are already waiting.
  Ticket Submit(FetchRequest request, TransferTarget target);
  bool Ready(Ticket ticket);
  // Blocks until the ticket's result is filed. Throws std::invalid_argument for a ticket
  // not waiting (never issued, already taken or abandoned, or being taken).
  FetchResult Take(Ticket ticket);
  // Returns the result dropped, if the ticket had one (its memory is the caller's to
  // account); else the worker drops the ticket wherever it is. Throws as Take does.
  std::optional<FetchResult> Abandon(Ticket ticket);
  void SetNotify(std::function<void()> notify);
  // The oldest ticket not yet taken or abandoned; 0 when there is none. Lock-free.
  Ticket OldestWanted() const { return oldest_.load(std::memory_order_acquire); }

  // --- The worker.
  std::vector<Submission> TakeSubmitted();
  // Tickets abandoned before their result was filed; the worker ends their jobs and calls
  // Dropped for each.
  std::vector<Ticket> TakeAbandoned();
  void Dropped(Ticket ticket);
  // Files a result. Returns the result back when its ticket was abandoned meanwhile (and
  // counts it dropped); nullopt when it waits for its taker.
  std::optional<FetchResult> File(Ticket ticket, FetchResult result);
  // Calls the notify function once if anything was filed since the last call. Outside
  // the lock: the function may call into the fetcher.
  void NotifyIfFiled();
  bool HasAbandoned();

 private:
  void UpdateOldest();  // REQUIRES: mutex_ held

  const std::size_t max_outstanding_;
  std::atomic<Ticket> oldest_{0};

  std::mutex mutex_;
  std::condition_variable filed_cv_;
  Ticket last_ticket_ = 0;
  std::size_t outstanding_ = 0;  // issued, not yet taken or dropped
  std::vector<Submission> submitted_;
  std::map<Ticket, FetchResult> done_;
  std::set<Ticket> live_;                 // issued, not yet taken or abandoned
  std::set<Ticket> taking_;               // waited for in Take
  std::unordered_set<Ticket> abandoned_;  // abandoned before their result was filed
  std::vector<Ticket> abandoned_new_;     // of those, not yet seen by the worker
  bool filed_since_notify_ = false;
  std::function<void()> notify_;
};

}  // namespace orvanel
