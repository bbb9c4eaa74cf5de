#include <brotli/encode.h>
#include <gtest/gtest.h>
#include <zlib.h>
#include <zstd.h>

#include <random>

#include "Codings.h"
#include "ZstdWindow.h"
#include "codec/ContentDecoder.h"

namespace orvanel {
namespace {

using testing::Deflate;
using testing::Gzip;

std::string Brotli(const std::string& text, int window_bits = 22) {
  std::size_t size = BrotliEncoderMaxCompressedSize(text.size()) + 64;
  std::string out(size, '\0');
  BrotliEncoderCompress(5, window_bits, BROTLI_MODE_TEXT, text.size(),
                        reinterpret_cast<const uint8_t*>(text.data()), &size,
                        reinterpret_cast<uint8_t*>(out.data()));
  out.resize(size);
  return out;
}

std::string Zstd(const std::string& text) {
  std::string out(ZSTD_compressBound(text.size()), '\0');
  out.resize(ZSTD_compress(out.data(), out.size(), text.data(), text.size(), 19));
  return out;
}

std::string SomeText(std::size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  static const char* words[] = {"<meta ",   "name=", "\"description\" ",
                                "content=", "café ", "<title>",
                                "</title>", "head ", "\r\n"};
  std::string text;
  while (text.size() < size) text += words[rng() % 9];
  text.resize(size);
  return text;
}

// Decodes `encoded` fed in pieces of `piece` bytes, pulling at most `pull` at a time.
std::string DecodeAll(std::string_view coding, const std::string& encoded, std::size_t piece,
                      std::size_t pull) {
  std::string error;
  auto decoder = ContentDecoder::Make(coding, error);
  EXPECT_TRUE(decoder) << error;
  if (!decoder) return {};
  std::string out;
  for (std::size_t at = 0; at < encoded.size(); at += piece) {
    decoder->Feed(std::string_view(encoded).substr(at, piece));
    std::size_t before;
    do {
      before = out.size();
      EXPECT_TRUE(decoder->Pull(pull, out)) << decoder->error();
      EXPECT_LE(out.size() - before, pull);
    } while (out.size() > before);
  }
  return out;
}

TEST(ContentDecoder, EveryCodingComesBackWholeHoweverItArrives) {
  const std::string text = SomeText(100'000, 1);
  const struct {
    const char* coding;
    std::string encoded;
  } cases[] = {
      {"gzip", Deflate(text, 31, Z_BEST_COMPRESSION)},
      {"x-gzip", Gzip(text)},
      {"deflate", Deflate(text, 15, Z_BEST_COMPRESSION)},
      {"deflate", Deflate(text, -15, Z_BEST_COMPRESSION)},
      {"br", Brotli(text)},
      {"zstd", Zstd(text)},
      {"identity", text},
      {"GZIP", Gzip(text)},
      {"", text},
      // Stacked: the last listed was applied last.
      {"gzip, br", Brotli(Gzip(text))},
      {" zstd ,gzip ", Gzip(Zstd(text))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.coding);
    // (Compared whole, but never printed: a mismatch would fill the screen.)
    EXPECT_TRUE(DecodeAll(c.coding, c.encoded, c.encoded.size(), 1 << 30) == text);
    EXPECT_TRUE(DecodeAll(c.coding, c.encoded, 1, 4096) == text);
    EXPECT_TRUE(DecodeAll(c.coding, c.encoded, 1000, 7) == text);
  }
}

// Raw deflate, as some servers send it, is told from a zlib stream by its whole header:
// a raw stream whose first two bytes pass the header's check but name another method is
// still raw.
TEST(ContentDecoder, RawDeflateThatLooksLikeAZlibHeaderIsStillRaw) {
  int found = 0;
  for (int n = 0; n < 26 * 26 && found < 3; ++n) {
    // The first bytes of the stream follow the first letters of the text.
    const std::string text =
        std::string{static_cast<char>('a' + n % 26), static_cast<char>('a' + n / 26)} +
        "<title>t</title>";
    const std::string raw = Deflate(text, -15);
    const auto cmf = static_cast<unsigned char>(raw[0]);
    const auto flg = static_cast<unsigned char>(raw[1]);
    if ((cmf & 0x0F) == 8 || (cmf * 256 + flg) % 31 != 0) continue;
    ++found;
    EXPECT_EQ(DecodeAll("deflate", raw, raw.size(), 1 << 20), text);
  }
  EXPECT_EQ(found, 3);
}

// As the body reader uses it: fed a piece, pulled while it says it has output pending. It
// says so until the last byte is out, also when all its input was taken long before.
TEST(ContentDecoder, PendingOutputIsToldUntilTheLastByte) {
  const std::string text = SomeText(50'000, 2) + std::string(1u << 20, ' ') + SomeText(50'000, 3);
  for (const auto& [coding, encoded] : {std::pair<const char*, std::string>{"gzip", Gzip(text)},
                                        {"deflate", Deflate(text, -15, Z_BEST_COMPRESSION)},
                                        {"br", Brotli(text)},
                                        {"zstd", Zstd(text)},
                                        {"gzip, br", Brotli(Gzip(text))}}) {
    SCOPED_TRACE(coding);
    for (const std::size_t piece : {encoded.size(), std::size_t{1000}}) {
      std::string error;
      auto decoder = ContentDecoder::Make(coding, error);
      std::string out;
      for (std::size_t at = 0; at < encoded.size(); at += piece) {
        decoder->Feed(std::string_view(encoded).substr(at, piece));
        for (int pulls = 0; decoder->HasPending() && pulls < 100'000; ++pulls)
          ASSERT_TRUE(decoder->Pull(4096, out)) << decoder->error();
      }
      EXPECT_TRUE(out == text) << out.size() << " of " << text.size();
    }
  }
}

// A few kilobytes that decode to a gigabyte give only what is asked for, and keep the rest
// waiting, compressed.
TEST(ContentDecoder, ABombGivesNoMoreThanAskedFor) {
  const std::string zeros(64u << 20, '\0');
  for (const auto& [coding, encoded] :
       {std::pair<const char*, std::string>{"zstd", Zstd(zeros)},
        {"gzip", Deflate(zeros, 31, Z_BEST_COMPRESSION)},
        {"br", Brotli(zeros)},
        {"gzip, zstd", Zstd(Deflate(zeros, 31, Z_BEST_COMPRESSION))}}) {
    SCOPED_TRACE(coding);
    ASSERT_LT(encoded.size(), 200'000u);
    std::string error;
    auto decoder = ContentDecoder::Make(coding, error);
    decoder->Feed(encoded);
    // What the decoding will hold is known from the headers, before it holds it.
    const std::size_t needed = decoder->MemoryNeeded();
    EXPECT_LT(needed, 40u << 20);
    std::string out;
    ASSERT_TRUE(decoder->Pull(100'000, out));
    EXPECT_GT(decoder->MemoryUsed(), 0u);
    EXPECT_LE(decoder->MemoryUsed(), needed);
    EXPECT_EQ(out.size(), 100'000u);
    EXPECT_TRUE(decoder->HasPending());
    ASSERT_TRUE(decoder->Pull(0, out));
    EXPECT_EQ(out.size(), 100'000u);
  }
}

// What a decoding will hold is told before it holds it: the room asked for before each
// pull covers what the pull then holds, stacked codings' buffers between stages included.
TEST(ContentDecoder, TheMemoryNeededCoversWhatAPullThenHolds) {
  const std::string text = SomeText(1 << 20, 4);
  for (const auto& [coding, encoded] : {std::pair<const char*, std::string>{"gzip", Gzip(text)},
                                        {"gzip, gzip", Gzip(Gzip(text))},
                                        {"deflate, gzip", Gzip(Deflate(text, 15))},
                                        {"gzip, zstd", Zstd(Gzip(text))},
                                        {"zstd, br", Brotli(Zstd(text))}}) {
    SCOPED_TRACE(coding);
    std::string error;
    auto decoder = ContentDecoder::Make(coding, error);
    decoder->Feed(encoded);
    std::string out;
    for (int pulls = 0; pulls < 1000 && out.size() < text.size(); ++pulls) {
      const std::size_t needed = decoder->MemoryNeeded();
      ASSERT_TRUE(decoder->Pull(out.size() + 200'000, out)) << decoder->error();
      EXPECT_LE(decoder->MemoryUsed(), needed);
    }
    EXPECT_TRUE(out == text);
  }
}

// What has been decoded of the input is not kept: a long stream fed in pieces, each one
// pulled through before the next comes, holds about a piece of it at a time.
TEST(ContentDecoder, InputAlreadyDecodedIsLetGo) {
  const std::string text = SomeText(4 << 20, 4);
  const std::string encoded = Gzip(text);
  ASSERT_GT(encoded.size(), 512u << 10);
  std::string error;
  auto decoder = ContentDecoder::Make("gzip", error);
  std::string out;
  std::size_t most = 0;
  for (std::size_t at = 0; at < encoded.size(); at += 4096) {
    decoder->Feed(std::string_view(encoded).substr(at, 4096));
    ASSERT_TRUE(decoder->Pull(text.size(), out)) << decoder->error();
    most = std::max(most, decoder->MemoryUsed());
  }
  EXPECT_TRUE(out == text);
  EXPECT_LT(most, 256u << 10);  // zlib's window and state, and a piece or two of input
}

TEST(ContentDecoder, UnknownCodingsCorruptDataAndDeepStacksAreRefused) {
  std::string error;
  EXPECT_FALSE(ContentDecoder::Make("compress", error));
  EXPECT_NE(error.find("compress"), std::string::npos);
  EXPECT_FALSE(ContentDecoder::Make("gzip,gzip,gzip,gzip,gzip,gzip", error));
  EXPECT_TRUE(ContentDecoder::Make("gzip,gzip,gzip,gzip,gzip", error));
  EXPECT_TRUE(ContentDecoder::Make(" gzip , ,", error)) << error;  // empty items are no codings

  for (const char* coding : {"gzip", "br", "zstd"}) {
    SCOPED_TRACE(coding);
    auto decoder = ContentDecoder::Make(coding, error);
    decoder->Feed(std::string(4096, 'x'));
    std::string out;
    EXPECT_FALSE(decoder->Pull(1 << 20, out));
    EXPECT_NE(decoder->error().find(coding), std::string::npos);
    EXPECT_FALSE(decoder->Pull(1 << 20, out));  // and stays so
  }
}

// A zstd frame may ask for a window of gigabytes: past 8 MiB it is refused, not held.
TEST(ContentDecoder, AWindowPastItsBoundIsRefused) {
  const std::string text = SomeText(1 << 16, 3);
  const std::string wide = testing::ZstdWithWindow(text, 27);
  std::string error;
  auto decoder = ContentDecoder::Make("zstd", error);
  decoder->Feed(wide);
  std::string decoded;
  EXPECT_FALSE(decoder->Pull(1 << 20, decoded));
  EXPECT_EQ(decoder->error(), "zstd data asks for a window larger than 8 MiB");
  EXPECT_LT(decoder->MemoryUsed(), 1u << 20);
  // The same text with a small window decodes, holding little.
  decoded.clear();
  decoder = ContentDecoder::Make("zstd", error);
  decoder->Feed(Zstd(text));
  EXPECT_LT(decoder->MemoryNeeded(), 1u << 20);
  EXPECT_TRUE(decoder->Pull(1 << 20, decoded));
  EXPECT_TRUE(decoded == text);
}

// A brotli stream that asks for a small window is counted for that window, not for the
// default one.
TEST(ContentDecoder, ABrotliWindowIsCountedAsItsStreamAsksForIt) {
  const std::string text = SomeText(200'000, 5);
  for (const int window_bits : {10, 15, 16, 18}) {
    SCOPED_TRACE(window_bits);
    const std::string encoded = Brotli(text, window_bits);
    std::string error;
    auto decoder = ContentDecoder::Make("br", error);
    decoder->Feed(encoded);
    const std::size_t needed = decoder->MemoryNeeded();
    // The window, the decoder's tables, and the input held.
    EXPECT_LE(needed, (std::size_t{1} << window_bits) + (256u << 10) + encoded.size() + 4096);
    EXPECT_GE(needed, std::size_t{1} << window_bits);
    std::string out;
    ASSERT_TRUE(decoder->Pull(text.size(), out)) << decoder->error();
    EXPECT_TRUE(out == text);
    EXPECT_LE(decoder->MemoryUsed(), needed);
  }
}

TEST(ContentDecoder, BytesAfterTheEndOfAStreamAreIgnored) {
  std::string error;
  auto decoder = ContentDecoder::Make("gzip", error);
  decoder->Feed(Gzip("<title>t</title>") + "trailing garbage");
  std::string out;
  EXPECT_TRUE(decoder->Pull(1 << 20, out));
  EXPECT_EQ(out, "<title>t</title>");
  EXPECT_FALSE(decoder->HasPending());
}

}  // namespace
}  // namespace orvanel
