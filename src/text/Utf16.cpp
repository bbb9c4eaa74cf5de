#include "text/Utf16.h"

#include "text/Utf8.h"

namespace orvanel {

void Utf16Decoder::FeedUnit(char16_t unit, std::string& out) {
  if (unit >= 0xD800 && unit <= 0xDBFF) {
    if (high_surrogate_) AppendUtf8(out, 0xFFFD);
    high_surrogate_ = unit;
    return;
  }
  if (unit >= 0xDC00 && unit <= 0xDFFF) {
    AppendUtf8(out, high_surrogate_
                        ? 0x10000 + ((char32_t{high_surrogate_} - 0xD800) << 10) + (unit - 0xDC00)
                        : 0xFFFD);
    high_surrogate_ = 0;
    return;
  }
  if (high_surrogate_) AppendUtf8(out, 0xFFFD);
  high_surrogate_ = 0;
  AppendUtf8(out, unit);
}

void Utf16Decoder::Feed(std::string_view bytes, std::string& out) {
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (odd_byte_ < 0) {
      odd_byte_ = byte;
      continue;
    }
    const auto first = static_cast<unsigned>(odd_byte_);
    odd_byte_ = -1;
    FeedUnit(static_cast<char16_t>(order_ == ByteOrder::kLittleEndian ? (byte << 8 | first)
                                                                      : (first << 8 | byte)),
             out);
  }
}

void Utf16Decoder::Finish(std::string& out) {
  if (high_surrogate_) out += kReplacementCharacter;
  if (odd_byte_ >= 0) out += kReplacementCharacter;
  high_surrogate_ = 0;
  odd_byte_ = -1;
}

}  // namespace orvanel
