#include "fetch/TicketBook.h"

#include <stdexcept>
#include <utility>

namespace orvanel {

void TicketBook::UpdateOldest() {
  oldest_.store(live_.empty() ? 0 : *live_.begin(), std::memory_order_release);
}

TicketBook::Ticket TicketBook::Submit(FetchRequest request, TransferTarget target) {
  std::lock_guard lock(mutex_);
  if (outstanding_ >= max_outstanding_) {
    throw std::length_error("too many transfers waiting to be taken");
  }
  const Ticket ticket = ++last_ticket_;
  ++outstanding_;
  live_.insert(ticket);
  submitted_.push_back({ticket, std::move(request), std::move(target)});
  UpdateOldest();
  return ticket;
}

bool TicketBook::Ready(Ticket ticket) {
  std::lock_guard lock(mutex_);
  return done_.count(ticket) != 0;
}

FetchResult TicketBook::Take(Ticket ticket) {
  std::unique_lock lock(mutex_);
  // The ticket stays wanted (and so the oldest, when it is) while it is waited for.
  if (live_.count(ticket) == 0 || !taking_.insert(ticket).second) {
    throw std::invalid_argument("Take of a ticket that is not waiting");
  }
  filed_cv_.wait(lock, [&] { return done_.count(ticket) != 0; });
  FetchResult result = std::move(done_[ticket]);
  done_.erase(ticket);
  live_.erase(ticket);
  taking_.erase(ticket);
  --outstanding_;
  UpdateOldest();
  return result;
}

std::optional<FetchResult> TicketBook::Abandon(Ticket ticket) {
  std::lock_guard lock(mutex_);
  if (taking_.count(ticket) || live_.erase(ticket) == 0) {
    throw std::invalid_argument("Abandon of a ticket that is not waiting");
  }
  UpdateOldest();
  const auto it = done_.find(ticket);
  if (it != done_.end()) {
    FetchResult dropped = std::move(it->second);
    done_.erase(it);
    --outstanding_;
    return dropped;
  }
  abandoned_.insert(ticket);
  abandoned_new_.push_back(ticket);
  return std::nullopt;
}

void TicketBook::SetNotify(std::function<void()> notify) {
  std::lock_guard lock(mutex_);
  notify_ = std::move(notify);
}

std::vector<TicketBook::Submission> TicketBook::TakeSubmitted() {
  std::lock_guard lock(mutex_);
  return std::exchange(submitted_, {});
}

std::vector<TicketBook::Ticket> TicketBook::TakeAbandoned() {
  std::lock_guard lock(mutex_);
  return std::exchange(abandoned_new_, {});
}

bool TicketBook::HasAbandoned() {
  std::lock_guard lock(mutex_);
  return !abandoned_new_.empty();
}

void TicketBook::Dropped(Ticket ticket) {
  std::lock_guard lock(mutex_);
  if (abandoned_.erase(ticket)) --outstanding_;
}

std::optional<FetchResult> TicketBook::File(Ticket ticket, FetchResult result) {
  {
    std::lock_guard lock(mutex_);
    if (abandoned_.erase(ticket) != 0) {
      --outstanding_;
      return result;
    }
    done_[ticket] = std::move(result);
    filed_since_notify_ = true;
  }
  filed_cv_.notify_all();
  return std::nullopt;
}

void TicketBook::NotifyIfFiled() {
  std::function<void()> notify;
  {
    std::lock_guard lock(mutex_);
    if (!filed_since_notify_) return;
    filed_since_notify_ = false;
    notify = notify_;
  }
  if (notify) notify();
}

}  // namespace orvanel
