// The progress line of orvanel-extract: what it says, how often, and that it is wiped.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <thread>

#include "cli/Progress.h"

namespace orvanel {
namespace {

class ExtractProgressTest : public ::testing::Test {
 protected:
  ~ExtractProgressTest() override { ::close(fd_); }
  // What was written since the last call.
  std::string Written() {
    std::string text(4096, '\0');
    const ssize_t n = ::pread(fd_, text.data(), text.size(), read_);
    text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    read_ += static_cast<off_t>(text.size());
    return text;
  }
  // Past the five-times-a-second limit on redrawing.
  static void NextFrame() { std::this_thread::sleep_for(std::chrono::milliseconds(210)); }
  int fd_ = ::memfd_create("err", MFD_CLOEXEC);
  off_t read_ = 0;
  MessageStream err_{fd_};
};

TEST_F(ExtractProgressTest, SaysWhatIsDoneOfWhatIsKnownAndWhatIsLeftOnceAllIsKnown) {
  Progress progress(err_, true);
  NextFrame();
  const auto drawn = std::chrono::steady_clock::now();
  progress.Update(5, 10, false, 1);
  std::string line = Written();
  EXPECT_EQ(line.rfind("\r\033[K5/10+  ", 0), 0u) << line;
  EXPECT_NE(line.find("/s  1 failed  ? left"), std::string::npos) << line;
  progress.Update(6, 10, false, 1);
  line = Written();
  // Too soon to be drawn again, unless this machine stalled for a fifth of a second.
  if (std::chrono::steady_clock::now() - drawn < std::chrono::milliseconds(200)) {
    EXPECT_EQ(line, "");
  }
  NextFrame();
  progress.Update(6, 10, true, 2);
  line = Written();
  EXPECT_EQ(line.rfind("\r\033[K6/10  ", 0), 0u) << line;
  EXPECT_NE(line.find("/s  2 failed  "), std::string::npos) << line;
  EXPECT_EQ(line.substr(line.size() - 6), "s left") << line;
  EXPECT_EQ(line.find('?'), std::string::npos) << line;
  progress.Clear();
  EXPECT_EQ(Written(), "\r\033[K");
  progress.Clear();  // nothing drawn since
  EXPECT_EQ(Written(), "");
}

TEST_F(ExtractProgressTest, NotShownIsNeverDrawn) {
  Progress progress(err_, false);
  NextFrame();
  progress.Update(1, 2, true, 0);
  progress.Clear();
  EXPECT_EQ(Written(), "");
}

}  // namespace
}  // namespace orvanel
