#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace orvanel {

// The memory of pages held at once, running or finished and not yet taken: one account,
// in bytes allocated (a buffer's capacity, a decoder's windows), against one limit.
//
// Past the limit no transfer starts, and a running one that needs more is paused with
// what it has until there is room, oldest first. The oldest document the caller still
// wants is exempt: it always starts, grows and goes on, so that a caller who takes
// documents in order always gets on.
//
// Threads: Hold, Release and Held may be called from any thread; the rest belongs to the
// fetcher's worker.
class MemoryBudget {
 public:
  using Ticket = std::uint64_t;

  // A page that may be cut short gets room for the length its server announced only once
  // it has gone this far undecided.
  static constexpr std::size_t kUndecidedBeforeAnnouncedRoom = 256 * 1024;
  // A page announced at most this long gets its room at once all the same: growing it
  // by steps would copy it several times over for little memory saved.
  static constexpr std::size_t kSmallPage = 128 * 1024;

  explicit MemoryBudget(std::size_t limit) : limit_(limit) {}

  bool MayStart(bool oldest) const { return oldest || Held() < limit_; }
  bool HasRoom(std::size_t growth, bool oldest) const {
    return oldest || Held() + growth <= limit_;
  }
  void Hold(std::size_t bytes) { held_.fetch_add(bytes, std::memory_order_relaxed); }
  void Release(std::size_t bytes) { held_.fetch_sub(bytes, std::memory_order_relaxed); }
  std::size_t Held() const { return held_.load(std::memory_order_relaxed); }
  std::size_t limit() const { return limit_; }

  // The capacity a document's buffer grows to when it must hold `need` bytes: by half
  // again (at most `max_bytes`), or straight to the length the server `announced` (-1 when
  // it did not) when the bytes fit in it; a page that may be cut short gets the announced
  // length only when it is small or past kUndecidedBeforeAnnouncedRoom.
  static std::size_t NextCapacity(std::size_t capacity, std::size_t need, long long announced,
                                  bool may_cut_short, std::size_t max_bytes);

  // The memory a text holds on the heap (a short one lives inside the string itself).
  static std::size_t HeapBytes(const std::string& text);

  // Transfers paused for room, by ticket, with the room each waits for.
  void Pause(Ticket ticket, std::size_t wanted) { paused_[ticket] = wanted; }
  void Forget(Ticket ticket) { paused_.erase(ticket); }
  bool IsPaused(Ticket ticket) const { return paused_.count(ticket) != 0; }
  // The paused transfer to go on next: the first paused if there is room for what it
  // waits for now, else `oldest` if it is paused (it always has room).
  std::optional<Ticket> NextToResume(Ticket oldest) const;

 private:
  const std::size_t limit_;
  std::atomic<std::size_t> held_{0};
  std::map<Ticket, std::size_t> paused_;
};

}  // namespace orvanel
