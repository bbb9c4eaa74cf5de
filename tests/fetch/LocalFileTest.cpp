// A local document read a piece at a time: its cap, and the time it is given.
#include <gtest/gtest.h>

#include <thread>
#include <utility>

#include "TempDir.h"
#include "fetch/LocalFile.h"

namespace orvanel {
namespace {

using Clock = LocalFile::Clock;
using testing::TempDir;

// Reads `file` to its end, with room always there.
FetchResult ReadWhole(LocalFile& file) {
  auto room = [](std::size_t) { return true; };
  for (int pieces = 0; pieces < 1000; ++pieces)
    if (file.Read(room) == LocalFile::Step::kDone) return std::move(file.result());
  ADD_FAILURE() << "the file never ended";
  return {};
}

TEST(LocalFile, TheCapHoldsAndOneByteMoreIsTooLarge) {
  TempDir dir;
  const std::size_t cap = LocalFile::kPiece + 10;  // past one piece
  const auto far = Clock::now() + std::chrono::hours(1);
  LocalFile at_cap("file://" + dir.File("at.html", std::string(cap, 'a')), cap, far);
  const FetchResult whole = ReadWhole(at_cap);
  EXPECT_TRUE(whole.ok) << whole.error_text;
  EXPECT_EQ(whole.bytes.size(), cap);
  EXPECT_EQ(whole.bytes_read, cap);  // the size reported with the page
  LocalFile past("file://" + dir.File("past.html", std::string(cap + 1, 'a')), cap, far);
  const FetchResult large = ReadWhole(past);
  EXPECT_EQ(large.error, FetchError::kTooLarge);
  EXPECT_LE(large.bytes.capacity(), cap + 64);  // never read far past it

  // A file under the cap is read into one buffer of its length and its end, never copied
  // into a larger one as it grows.
  const std::size_t size = 3 * LocalFile::kPiece + 5;
  LocalFile under("file://" + dir.File("under.html", std::string(size, 'u')), 64u << 20, far);
  const FetchResult read = ReadWhole(under);
  EXPECT_TRUE(read.ok);
  EXPECT_EQ(read.bytes.size(), size);
  EXPECT_EQ(read.bytes.capacity(), size + 1);
}

// Time spent waiting for room in the memory budget is not reading time.
TEST(LocalFile, TimeHeldBackForRoomDoesNotCount) {
  TempDir dir;
  const std::string url = "file://" + dir.File("page.html", "<title>held</title>");
  LocalFile file(url, 1 << 20, Clock::now() + std::chrono::milliseconds(200));
  const auto start = Clock::now();
  while (Clock::now() - start < std::chrono::milliseconds(400)) {
    ASSERT_EQ(file.Read([](std::size_t) { return false; }), LocalFile::Step::kHeldBack);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const FetchResult r = ReadWhole(file);
  EXPECT_TRUE(r.ok) << r.error_text;
  EXPECT_EQ(r.bytes, "<title>held</title>");
  // Time not held back still counts.
  LocalFile late(url, 1 << 20, Clock::now() - std::chrono::milliseconds(1));
  EXPECT_EQ(ReadWhole(late).error, FetchError::kTimeout);
  // Once room is given, the time from then on counts again.
  const std::string big = "file://" + dir.File("big.html", std::string(8 * LocalFile::kPiece, 'b'));
  LocalFile slow(big, 64u << 20, Clock::now() + std::chrono::milliseconds(100));
  ASSERT_EQ(slow.Read([](std::size_t) { return false; }), LocalFile::Step::kHeldBack);
  LocalFile::Step step = LocalFile::Step::kMore;
  for (int i = 0; i < 8 && step == LocalFile::Step::kMore; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    step = slow.Read([](std::size_t) { return true; });
  }
  ASSERT_EQ(step, LocalFile::Step::kDone);
  EXPECT_EQ(slow.result().error, FetchError::kTimeout);
}

// The address's path is percent-decoded, and one that decodes to a NUL names no file:
// it never opens the file named by the part before the NUL.
TEST(LocalFile, ThePathIsDecodedWhole) {
  TempDir dir;
  const auto far = Clock::now() + std::chrono::hours(1);
  dir.File("a b%.html", "<title>spaced</title>");
  LocalFile spaced("file://" + dir.path() + "/a%20b%25.html", 1 << 20, far);
  EXPECT_EQ(ReadWhole(spaced).bytes, "<title>spaced</title>");
  dir.File("a", "<title>other</title>");
  LocalFile nul("file://" + dir.path() + "/a%00b", 1 << 20, far);
  const FetchResult r = ReadWhole(nul);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, FetchError::kFile);
  EXPECT_EQ(r.bytes, "");
}

}  // namespace
}  // namespace orvanel
