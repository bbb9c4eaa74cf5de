#pragma once

#include <string>
#include <string_view>

namespace orvanel {

// UTF-16 to UTF-8, fed in pieces of any size: a code unit split between two pieces is
// joined, surrogate pairs become one character, and a lone surrogate or an odd byte left
// at the end becomes U+FFFD. Nothing is ever dropped.
class Utf16Decoder {
 public:
  enum class ByteOrder { kLittleEndian, kBigEndian };
  explicit Utf16Decoder(ByteOrder order) : order_(order) {}

  // Appends the UTF-8 of the complete code units in `bytes` (with any byte kept from the
  // last call) to `out`.
  void Feed(std::string_view bytes, std::string& out);
  // One code unit.
  void FeedUnit(char16_t unit, std::string& out);
  // The input has ended: a pending high surrogate or odd byte becomes U+FFFD.
  void Finish(std::string& out);

 private:
  ByteOrder order_;
  int odd_byte_ = -1;            // the first byte of a unit split between two pieces
  char16_t high_surrogate_ = 0;  // waiting for its low half
};

}  // namespace orvanel
