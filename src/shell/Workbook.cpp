#include "shell/Workbook.h"

#include <algorithm>

#include "text/Utf8.h"

namespace orvanel {

std::string CutToCellLength(const std::string& text, bool& cut) {
  cut = false;
  std::size_t units = 0;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t length =
        std::max<std::size_t>(1, Utf8SequenceLength(std::string_view(text).substr(at)));
    const std::size_t needed = length == 4 ? 2 : 1;  // outside the BMP: a surrogate pair
    if (units + needed > kMaxCellCharacters) {
      cut = true;
      return text.substr(0, at);
    }
    units += needed;
    at += length;
  }
  return text;
}

}  // namespace orvanel
