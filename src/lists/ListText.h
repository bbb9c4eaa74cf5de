#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "lists/AddressList.h"
#include "text/Utf16.h"

namespace orvanel {

// Text read from a list or tag file: a UTF-8 byte-order mark is skipped, a UTF-16 file (by
// its byte-order mark) is turned into UTF-8, and lines are split by `reader`. A Failure of
// the reader (a NUL byte, an overlong line) is thrown again with `name` before it, when
// there is one.
class ListTextDecoder {
 public:
  ListTextDecoder(std::string name, AddressLineReader reader);
  void Feed(std::string_view bytes);
  void Finish();

 private:
  void FeedText(std::string_view text);
  void DecideForm();
  void Dispatch(std::string_view bytes);
  std::string name_;
  AddressLineReader reader_;
  bool decided_ = false;
  std::string head_;  // the first bytes, until the form is known
  std::optional<Utf16Decoder> utf16_;
};

}  // namespace orvanel
