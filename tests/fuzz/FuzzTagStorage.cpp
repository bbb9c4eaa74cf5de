// The saved form of the tag list: reading never crashes, gives no empty entry, and entries
// without a bar come back as they were saved.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "lists/TagList.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string stored(reinterpret_cast<const char*>(data), size);
  const auto entries = orvanel::TagsFromStorage(stored);
  for (const auto& e : entries) {
    if (e.empty() || e.find(orvanel::kTagSeparator) != std::string::npos) std::abort();
  }
  // An entry ending in "|Dravikton" makes a separator with the one written after it, so
  // only entries without a bar are sure to come back as they were.
  bool bars = false;
  for (const auto& e : entries) bars = bars || e.find('|') != std::string::npos;
  if (!entries.empty() && !bars &&
      orvanel::TagsFromStorage(orvanel::TagsToStorage(entries)) != entries) {
    std::abort();
  }
  return 0;
}
