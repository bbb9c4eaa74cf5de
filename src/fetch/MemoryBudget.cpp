#include "fetch/MemoryBudget.h"

#include <algorithm>

namespace orvanel {

std::size_t MemoryBudget::NextCapacity(std::size_t capacity, std::size_t need, long long announced,
                                       bool may_cut_short, std::size_t max_bytes) {
  if (need <= capacity) return capacity;
  std::size_t grow_to = std::max(need, std::min(capacity + capacity / 2, max_bytes));
  const bool announced_counts = !may_cut_short || need > kUndecidedBeforeAnnouncedRoom ||
                                announced <= static_cast<long long>(kSmallPage);
  if (announced_counts && announced > 0 && static_cast<std::size_t>(announced) >= need &&
      static_cast<std::size_t>(announced) <= max_bytes) {
    grow_to = static_cast<std::size_t>(announced);
  }
  return grow_to;
}

std::size_t MemoryBudget::HeapBytes(const std::string& text) {
  return text.capacity() > std::string().capacity() ? text.capacity() : 0;
}

std::optional<MemoryBudget::Ticket> MemoryBudget::NextToResume(Ticket oldest) const {
  if (paused_.empty()) return std::nullopt;
  const auto& [first, wanted] = *paused_.begin();
  // Going on without room for what it waits for would only pause it again.
  if (first == oldest || HasRoom(wanted, false)) return first;
  if (paused_.count(oldest)) return oldest;
  return std::nullopt;
}

}  // namespace orvanel
