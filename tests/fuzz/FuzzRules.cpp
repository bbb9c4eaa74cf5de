// Page bytes and tag entries from the input: the rules must never crash, and a page cut
// where the early-stop test says it is decided, or judged once read whole, must give the
// rows of the whole page.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/Retrieval.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const orvanel::Mode mode = static_cast<orvanel::Mode>(data[0] % 3);
  std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  // Tag entries come first, separated by \x01, ended by \x02; the page is what follows.
  std::vector<std::string> tags;
  std::size_t end = rest.find('\x02');
  std::string page = rest;
  if (end != std::string::npos) {
    std::size_t start = 0;
    while (start <= end) {
      std::size_t cut = rest.find('\x01', start);
      if (cut == std::string::npos || cut > end) cut = end;
      tags.push_back(rest.substr(start, cut - start));
      start = cut + 1;
    }
    page = rest.substr(end + 1);
  }
  const orvanel::DecodedDocument document = orvanel::DecodeDocument(page, "");
  const auto whole = orvanel::ExtractRows(mode, document.text, tags);
  // The beginning of `n` bytes must give the whole page's rows; judged whole, its charset too.
  auto check = [&](std::size_t n, bool judged_whole) {
    const auto part = orvanel::DecodeDocument(std::string_view(page).substr(0, n), "");
    const auto rows = orvanel::ExtractRows(mode, part.text, tags);
    if (rows.size() != whole.size()) std::abort();
    for (std::size_t r = 0; r < rows.size(); ++r) {
      if (rows[r].cells != whole[r].cells || rows[r].checked != whole[r].checked) std::abort();
    }
    if (judged_whole && (part.charset != document.charset || part.source != document.source))
      std::abort();
  };
  const auto request = orvanel::MakeFetchRequest({"http://x/", false}, mode, tags, true);
  auto decided = request.decided;
  for (std::size_t k = 0; k <= page.size(); k += 1 + page.size() / 64) {
    const std::size_t n = decided(std::string_view(page).substr(0, k), "", false);
    if (n == 0) continue;
    check(n, false);
    return 0;
  }
  if (page.empty()) return 0;
  const std::size_t n = decided(page, "", true);
  if (n == 0 || n > page.size()) std::abort();
  check(n, true);
  return 0;
}
