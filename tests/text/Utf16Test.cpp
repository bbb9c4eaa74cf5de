// UTF-16 in pieces of any size, and the faults a file of it can hold.
#include <gtest/gtest.h>

#include "text/Utf16.h"
#include "text/Utf8.h"

namespace orvanel {
namespace {

using Order = Utf16Decoder::ByteOrder;

// Code units as bytes in `order`.
std::string Units(std::initializer_list<char16_t> units, Order order) {
  std::string bytes;
  for (const char16_t u : units) {
    const char high = static_cast<char>(u >> 8), low = static_cast<char>(u & 0xFF);
    bytes += order == Order::kLittleEndian ? low : high;
    bytes += order == Order::kLittleEndian ? high : low;
  }
  return bytes;
}

// Decodes `bytes` fed as two pieces split at `cut`, and finished.
std::string Decode(std::string_view bytes, Order order, std::size_t cut) {
  Utf16Decoder decoder(order);
  std::string out;
  decoder.Feed(bytes.substr(0, cut), out);
  decoder.Feed(bytes.substr(cut), out);
  decoder.Finish(out);
  return out;
}

const std::string kFffd(kReplacementCharacter);

TEST(Utf16Decoder, EitherByteOrderWhereverThePiecesAreCut) {
  // "A", the euro sign, and U+1F600 as a surrogate pair.
  const std::string expected = "A\xE2\x82\xAC\xF0\x9F\x98\x80";
  for (const Order order : {Order::kLittleEndian, Order::kBigEndian}) {
    const std::string bytes = Units({0x0041, 0x20AC, 0xD83D, 0xDE00}, order);
    for (std::size_t cut = 0; cut <= bytes.size(); ++cut)
      EXPECT_EQ(Decode(bytes, order, cut), expected) << cut;
  }
}

// Each fault becomes one U+FFFD in its place, and what follows it is kept.
TEST(Utf16Decoder, LoneSurrogatesAndAnOddLastByteBecomeReplacementCharacters) {
  const Order le = Order::kLittleEndian;
  const std::string smile = "\xF0\x9F\x98\x80";
  struct Case {
    std::string bytes, expected;
  } cases[] = {
      {Units({0xD83D, 0xD83D, 0xDE00}, le), kFffd + smile},  // a high half twice
      {Units({0xDE00, 0x0041}, le), kFffd + "A"},            // a low half alone
      {Units({0xD83D, 0x0041}, le), kFffd + "A"},            // a high half, then a letter
      {Units({0x0041, 0xD83D}, le), "A" + kFffd},            // a high half at the end
      {Units({0x0041}, le) + "B", "A" + kFffd},              // an odd byte at the end
      {Units({0xD83D}, le) + "B", kFffd + kFffd},            // both at the end
      {Units({0xD800, 0xDC00}, le), "\xF0\x90\x80\x80"},     // the first pair: U+10000
      {Units({0xDBFF, 0xDFFF}, le), "\xF4\x8F\xBF\xBF"},     // the last: U+10FFFF
  };
  for (const auto& c : cases) {
    for (std::size_t cut = 0; cut <= c.bytes.size(); ++cut)
      EXPECT_EQ(Decode(c.bytes, le, cut), c.expected) << cut;
  }
}

// A finished decoder starts afresh: nothing of the last text is carried into the next.
TEST(Utf16Decoder, AFinishedDecoderStartsAfresh) {
  for (const Order order : {Order::kLittleEndian, Order::kBigEndian}) {
    for (const std::string& left : {Units({0x0041}, order) + "B", Units({0xD83D}, order)}) {
      Utf16Decoder decoder(order);
      std::string out;
      decoder.Feed(left, out);
      decoder.Finish(out);
      out.clear();
      decoder.Feed(Units({0x0043, 0xDE00}, order), out);
      decoder.Finish(out);
      EXPECT_EQ(out, "C" + kFffd);  // the low half alone, not paired with the old high one
    }
  }
}

}  // namespace
}  // namespace orvanel
