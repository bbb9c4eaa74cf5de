#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Codings.h"
#include "fetch/BodyReader.h"

namespace orvanel {
namespace {

using Verdict = BodyReader::Verdict;

using testing::Gzip;

BodyReader::Answer Plain(long status = 200, long long announced = -1) {
  BodyReader::Answer a;
  a.status = status;
  a.announced = announced;
  return a;
}

// A test that decides a page at the end of its title.
std::size_t DecidedAtTitleEnd(std::string_view bytes, std::string_view, bool) {
  const auto at = bytes.find("</title>");
  return at == std::string_view::npos ? 0 : at + 8;
}

TEST(MemoryBudget, TheOldestWantedAlwaysHasRoom) {
  MemoryBudget budget(1000);
  EXPECT_TRUE(budget.MayStart(false));
  EXPECT_TRUE(budget.HasRoom(1000, false));
  budget.Hold(600);
  EXPECT_FALSE(budget.HasRoom(401, false));
  EXPECT_TRUE(budget.HasRoom(401, true));
  budget.Hold(400);
  EXPECT_FALSE(budget.MayStart(false));
  EXPECT_TRUE(budget.MayStart(true));
  budget.Pause(7, 10);
  budget.Pause(3, 50);
  EXPECT_EQ(budget.NextToResume(9), std::nullopt);  // full: only the oldest goes on
  EXPECT_EQ(budget.NextToResume(7), 7u);
  budget.Release(20);
  EXPECT_EQ(budget.NextToResume(9), std::nullopt);  // 20 free: not what the first waits for
  budget.Release(30);
  EXPECT_EQ(budget.NextToResume(9), 3u);  // room for it: the first paused goes on
  budget.Forget(3);
  EXPECT_EQ(budget.NextToResume(9), 7u);
}

TEST(MemoryBudget, BuffersGrowByHalfOrToTheAnnouncedLength) {
  constexpr std::size_t kMax = 64u << 20;
  EXPECT_EQ(MemoryBudget::NextCapacity(1000, 900, -1, false, kMax), 1000u);  // fits
  EXPECT_EQ(MemoryBudget::NextCapacity(1000, 1001, -1, false, kMax), 1500u);
  EXPECT_EQ(MemoryBudget::NextCapacity(1000, 4000, -1, false, kMax), 4000u);
  EXPECT_EQ(MemoryBudget::NextCapacity(1000, 1001, 70'000, false, kMax), 70'000u);
  // A page that may be cut short gets its announced room only far into it, unless it is
  // small.
  EXPECT_EQ(MemoryBudget::NextCapacity(1000, 1001, 700'000, true, kMax), 1500u);
  EXPECT_EQ(MemoryBudget::NextCapacity(1000, 1001, 70'000, true, kMax), 70'000u);
  EXPECT_EQ(MemoryBudget::NextCapacity(300'000, 300'001, 900'000, true, kMax), 900'000u);
  // An announced length past the cap, or short of what came, counts for nothing.
  EXPECT_EQ(MemoryBudget::NextCapacity(1000, 1001, kMax + 1, false, kMax), 1500u);
  EXPECT_EQ(MemoryBudget::NextCapacity(1000, 1001, 1000, false, kMax), 1500u);
  EXPECT_EQ(MemoryBudget::NextCapacity(kMax - 10, kMax - 5, -1, false, kMax), kMax);
}

// What a text holds counts from its first byte on the heap: a short text lives inside the
// string itself and holds none, or a run of short pages would seem to fill the budget.
TEST(MemoryBudget, AShortTextHoldsNoHeap) {
  EXPECT_EQ(MemoryBudget::HeapBytes(std::string()), 0u);
  EXPECT_EQ(MemoryBudget::HeapBytes(std::string("<b>short</b>")), 0u);
  std::string page(1000, 'x');
  EXPECT_EQ(MemoryBudget::HeapBytes(page), page.capacity());
  page.reserve(5000);
  EXPECT_EQ(MemoryBudget::HeapBytes(page), page.capacity());
}

TEST(BodyReader, HoldsWhatItKeepsWithinTheBudgetAndPausesPastIt) {
  FetcherOptions options;
  MemoryBudget budget(80'000);
  {
    BodyReader reader(budget, options, nullptr);
    ASSERT_TRUE(reader.Begin(Plain()));
    EXPECT_EQ(reader.Feed(std::string(60'000, 'a'), false), Verdict::kTaken);
    EXPECT_EQ(budget.Held(), 60'000u);
    // Growing by half again (to 90,000) would pass the budget: held back, nothing taken.
    EXPECT_EQ(reader.Feed(std::string(20'000, 'b'), false), Verdict::kPause);
    EXPECT_EQ(reader.received(), 60'000u);
    EXPECT_EQ(reader.wanted(), 30'000u);  // what it waits for before it is woken
    // The oldest wanted document goes on all the same.
    EXPECT_EQ(reader.Feed(std::string(20'000, 'b'), true), Verdict::kTaken);
    EXPECT_EQ(budget.Held(), 90'000u);
  }
  EXPECT_EQ(budget.Held(), 0u);  // a reader that ends gives everything back
  BodyReader reader(budget, options, nullptr);
  reader.Begin(Plain(200, 5000));
  reader.Feed("<title>t</title>", false);
  const std::string document = reader.TakeDocument();
  EXPECT_EQ(document, "<title>t</title>");
  // The document's memory goes with it, for its taker to give back.
  EXPECT_EQ(budget.Held(), MemoryBudget::HeapBytes(document));
  EXPECT_EQ(budget.Held(), 5000u);
}

// A body read to its end undecided is judged once more, whole; an error page, a
// redirect's body or a page already decided is not.
TEST(BodyReader, AnUndecidedBodyIsJudgedWholeOnceAtItsEnd) {
  FetcherOptions options;
  MemoryBudget budget(1u << 30);
  std::vector<std::pair<std::string, bool>> calls;
  auto decided = [&](std::string_view bytes, std::string_view, bool whole) -> std::size_t {
    calls.emplace_back(bytes, whole);
    if (whole) return 4;
    return bytes.find("</title>") == std::string_view::npos ? 0 : 1;
  };
  auto read = [&](BodyReader::Answer answer, std::string_view body) {
    calls.clear();
    auto reader = std::make_unique<BodyReader>(budget, options, decided);
    reader->Begin(std::move(answer));
    reader->Feed(body.substr(0, 3), false);
    reader->Feed(body.substr(3), false);
    reader->Ended();
    reader->Ended();
    return reader;
  };
  auto reader = read(Plain(), "<p>no title");
  EXPECT_EQ(reader->enough_at(), 4u);
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls.back(), std::make_pair(std::string("<p>no title"), true));
  EXPECT_EQ(reader->TakeDocument(), "<p>no title");  // every byte is kept all the same
  for (const long status : {404L, 500L}) {
    EXPECT_EQ(read(Plain(status), "<p>no title")->enough_at(), 0u) << status;
    EXPECT_TRUE(calls.empty()) << status;
  }
  auto moved = Plain(301);
  moved.redirect = true;
  EXPECT_EQ(read(moved, "<p>moved")->enough_at(), 0u);
  EXPECT_TRUE(calls.empty());
  EXPECT_EQ(read(Plain(), "<title>t</title>")->enough_at(), 0u);
  EXPECT_EQ(calls.size(), 2u);  // decided with its second piece, never judged whole
  options.max_bytes = 5;        // refused as too large: nothing to judge
  EXPECT_EQ(read(Plain(), "<p>no title")->enough_at(), 0u);
  EXPECT_EQ(calls.size(), 1u);
}

TEST(BodyReader, ADecidedDocumentStopsThereAndTheRestIsDrained) {
  FetcherOptions options;
  MemoryBudget budget(1u << 30);
  BodyReader http1(budget, options, DecidedAtTitleEnd);
  http1.Begin(Plain());
  EXPECT_EQ(http1.Feed("<title>t</ti", false), Verdict::kTaken);
  EXPECT_FALSE(http1.cut_early());
  EXPECT_EQ(http1.Feed("tle>rest of the page", false), Verdict::kTaken);
  EXPECT_TRUE(http1.cut_early());
  // Over HTTP/1 a short rest is read and dropped, so the connection can serve again.
  EXPECT_EQ(http1.Feed(std::string(BodyReader::kDrainBudget, 'x'), false), Verdict::kTaken);
  EXPECT_EQ(http1.Feed("x", false), Verdict::kStop);
  EXPECT_EQ(http1.received(), 32 + BodyReader::kDrainBudget);  // the dropped bytes came too
  // What had come is kept; the test's length is said beside it.
  EXPECT_EQ(http1.decided_at(), 16u);
  EXPECT_EQ(http1.TakeDocument(), "<title>t</title>rest of the page");

  auto h2 = Plain();
  h2.multiplexed = true;
  BodyReader http2(budget, options, DecidedAtTitleEnd);
  http2.Begin(h2);
  http2.Feed("<title>t</title>", false);
  EXPECT_EQ(http2.Feed("x", false), Verdict::kStop);  // a stream is stopped at once

  // An error page is read whole: it is thrown away anyway.
  BodyReader error(budget, options, DecidedAtTitleEnd);
  error.Begin(Plain(404));
  EXPECT_EQ(error.Feed("<title>t</title>" + std::string(200'000, 'x'), false), Verdict::kTaken);
  EXPECT_FALSE(error.cut_early());
}

TEST(BodyReader, ABodyPastItsCapStops) {
  FetcherOptions options;
  options.max_bytes = 1000;
  MemoryBudget budget(1u << 30);
  BodyReader reader(budget, options, nullptr);
  reader.Begin(Plain());
  EXPECT_EQ(reader.Feed(std::string(1000, 'a'), false), Verdict::kTaken);
  EXPECT_EQ(reader.Feed("a", false), Verdict::kStop);
  EXPECT_TRUE(reader.too_large());
  EXPECT_EQ(reader.received(), 1001u);  // the run's count of bytes has the refused one
}

// Taking a decoded document gives the decoder's memory back at once; the document's
// stays counted for whoever holds it.
TEST(BodyReader, ADecodedDocumentTakenHoldsOnlyItsOwnMemory) {
  FetcherOptions options;
  MemoryBudget budget(1u << 30);
  auto coded = Plain();
  coded.content_encoding = "gzip";
  BodyReader reader(budget, options, nullptr);
  ASSERT_TRUE(reader.Begin(coded));
  const std::string page = "<head><title>t</title></head>" + std::string(50'000, 'x');
  EXPECT_EQ(reader.Feed(Gzip(page), false), Verdict::kTaken);
  ASSERT_TRUE(reader.Settle(false));
  EXPECT_GT(budget.Held(), MemoryBudget::HeapBytes(page));
  const std::string document = reader.TakeDocument();
  EXPECT_EQ(document, page);
  EXPECT_EQ(budget.Held(), MemoryBudget::HeapBytes(document));
}

// A decoder's windows are counted before they are made: with no room for them, the body
// waits undecoded; a decision reached in what waited drops the rest as a decision does.
TEST(BodyReader, ADecoderWaitsForRoomAndItsDecisionDropsTheRest) {
  FetcherOptions options;
  MemoryBudget budget(4096);
  auto coded = Plain();
  coded.content_encoding = "gzip";
  coded.multiplexed = true;
  BodyReader reader(budget, options, DecidedAtTitleEnd);
  ASSERT_TRUE(reader.Begin(coded));
  // Letters that hardly compress: the part fed first decodes to more than one step.
  std::string page = "<title>t</title>";
  for (std::uint32_t x = 1; page.size() < 100'000;) {
    x = x * 1'103'515'245u + 12'345u;
    page += static_cast<char>('a' + (x >> 16) % 26);
  }
  const std::string body = Gzip(page);
  EXPECT_EQ(reader.Feed(body.substr(0, 30'000), false), Verdict::kTaken);
  EXPECT_LE(budget.Held(), 4096u);
  EXPECT_GT(reader.wanted(), 4096u - budget.Held());
  EXPECT_FALSE(reader.Settle(false));
  EXPECT_FALSE(reader.cut_early());
  // As the oldest it decodes what waited, is decided, and the stream is stopped.
  EXPECT_EQ(reader.Feed(body.substr(30'000), true), Verdict::kStop);
  EXPECT_TRUE(reader.cut_early());
  EXPECT_TRUE(reader.Settle(false));  // what still waits to be decoded is not wanted
  EXPECT_EQ(reader.decided_at(), 16u);
}

// A few kilobytes of gzip that decode to 32 MiB: the budget holds, the decoding waits
// for room, and the oldest wanted document is decoded up to its cap.
TEST(BodyReader, ACompressedBombStaysWithinTheBudget) {
  FetcherOptions options;
  options.max_bytes = 8u << 20;
  MemoryBudget budget(1u << 20);
  const std::string bomb = Gzip(std::string(32u << 20, ' '));
  auto coded = Plain();
  coded.content_encoding = "gzip";
  {
    BodyReader reader(budget, options, nullptr);
    ASSERT_TRUE(reader.Begin(coded));
    EXPECT_EQ(reader.Feed(bomb.substr(0, 16'384), false), Verdict::kTaken);
    EXPECT_LE(budget.Held(), 1u << 20);
    EXPECT_EQ(reader.Feed(bomb.substr(16'384, 16'384), false), Verdict::kPause);
    EXPECT_FALSE(reader.Settle(false));
    EXPECT_LE(budget.Held(), 1u << 20);
    // The oldest goes on, and stops at its cap.
    Verdict verdict = Verdict::kTaken;
    for (std::size_t at = 16'384; at < bomb.size() && verdict == Verdict::kTaken; at += 16'384) {
      verdict = reader.Feed(bomb.substr(at, 16'384), true);
    }
    EXPECT_EQ(verdict, Verdict::kStop);
    EXPECT_TRUE(reader.too_large());
    EXPECT_LE(budget.Held(), (8u << 20) + (1u << 20));
  }
  EXPECT_EQ(budget.Held(), 0u);
}

TEST(BodyReader, ARedirectsBodyIsDroppedAndAnUnknownCodingRefused) {
  FetcherOptions options;
  MemoryBudget budget(1u << 30);
  auto redirect = Plain(302);
  redirect.redirect = true;
  BodyReader reader(budget, options, nullptr);
  reader.Begin(redirect);
  EXPECT_EQ(reader.Feed("<html>moved</html>", false), Verdict::kTaken);
  EXPECT_EQ(budget.Held(), 0u);
  EXPECT_EQ(reader.TakeDocument(), "");
  // An HTTP/2 stream's redirect body is not read at all.
  redirect.multiplexed = true;
  BodyReader stream(budget, options, nullptr);
  stream.Begin(redirect);
  EXPECT_EQ(stream.Feed("<html>moved</html>", false), Verdict::kStop);

  auto odd = Plain();
  odd.content_encoding = "compress";
  BodyReader refused(budget, options, nullptr);
  EXPECT_FALSE(refused.Begin(odd));
  EXPECT_NE(refused.error().find("compress"), std::string::npos);
  EXPECT_EQ(refused.Feed("x", false), Verdict::kStop);
}

}  // namespace
}  // namespace orvanel
