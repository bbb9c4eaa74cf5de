// The program on a real X server (Xvfb), driven through real X input (xdotool): the titles
// the window system shows are exactly the program's own, with nothing added. Every wait is
// for the window itself, bounded generously, so that a busy machine only makes it slower.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "Subprocess.h"
#include "TempDir.h"
#include "XServer.h"

namespace orvanel {
namespace {

using namespace orvanel::testing;

// The main window is the one of the form's size; the boxes are smaller.
bool IsMainWindow(const XServer& x, const std::string& id) {
  return x.XDoTool({"getwindowgeometry", id}).find("1064x456") != std::string::npos;
}

bool Visible(const XServer& x, const std::string& id) {
  const std::string ids = "\n" + x.XDoTool({"search", "--onlyvisible", "--name", "."});
  return ids.find("\n" + id + "\n") != std::string::npos;
}

// Answers the box `id` with Return, by real key presses, until it is gone.
bool Answer(const XServer& x, const std::string& id) {
  return WaitFor([&] {
    if (!Visible(x, id)) return true;
    x.XDoTool({"windowfocus", id});
    x.XDoTool({"key", "Return"});
    return WaitFor([&] { return !Visible(x, id); }, std::chrono::seconds(5));
  });
}

// Start-up cannot read the settings (a folder stands in their place): it reports each
// failed step in a box titled "Application Error", and the option it cannot save in a box
// titled with the program's name. The boxes come one after the other, before the window.
TEST(WindowTitles, TheFailureBoxIsTitledExactlyApplicationError) {
  XServer x;
  if (!x.ok()) GTEST_SKIP() << "needs Xvfb and xdotool (scripts/orvanel.sh installs them)";
  TempDir config;
  std::filesystem::create_directory(config.path() + "/Dravikton.ini");
  const pid_t program = StartInBackground(
      {BinaryDir() + "/orvanel"},
      {"DISPLAY=" + x.display(), "QT_QPA_PLATFORM=xcb", "XDG_CONFIG_HOME=" + config.path(),
       "XDG_CACHE_HOME=" + config.path() + "/cache"});
  std::vector<std::string> titles;
  std::set<std::string> answered;
  bool main_window_shown = false;
  const bool done = WaitFor([&] {
    const auto id = x.FindWindow("^(Application Error|Orvanel)$");
    if (!id || answered.count(*id)) return false;
    if (IsMainWindow(x, *id)) return main_window_shown = true;
    titles.push_back(x.XDoTool({"getwindowname", *id}));
    answered.insert(*id);
    EXPECT_TRUE(Answer(x, *id)) << "the box " << titles.back() << " did not close";
    return false;
  });
  StopProcess(program);
  EXPECT_TRUE(done && main_window_shown) << "start-up did not end with its window shown";
  const std::string failure = "Application Error\n";
  EXPECT_EQ(titles, (std::vector<std::string>{failure, failure, failure, failure, failure,
                                              "Orvanel\n", failure}));
}

}  // namespace
}  // namespace orvanel
