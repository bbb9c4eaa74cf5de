// The address-file line reader gives the same items whatever the chunks it is fed.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "lists/AddressList.h"

namespace {
std::vector<std::string> Cut(std::string_view bytes, std::size_t chunk) {
  std::vector<std::string> items;
  orvanel::AddressLineReader reader([&](std::string_view item) { items.emplace_back(item); });
  for (std::size_t i = 0; i < bytes.size(); i += chunk) reader.Feed(bytes.substr(i, chunk));
  reader.Finish();
  return items;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  const auto whole = Cut(bytes, bytes.size() + 1);
  if (Cut(bytes, 1 + data[0] % 7) != whole) std::abort();
  // No item holds a line end, and the items with their ends make up the input.
  std::size_t total = 0;
  for (const auto& item : whole) {
    if (item.find_first_of("\r\n") != std::string::npos) std::abort();
    total += item.size();
  }
  if (total > bytes.size()) std::abort();
  return 0;
}
